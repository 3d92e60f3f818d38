#pragma once

#include <QString>

// One log file per run for support: the versions, the HID DFU library in use (or why none
// loaded), each state change, every line the process prints (the library's error lines among
// them) and the outcome, each line with its local time and UTC offset, in the order they came.
//
// Made by main() before the application object, one per process. It goes to
// $XDG_STATE_HOME/kerno-tindal2-update (~/.local/state when unset), a folder of ours (0700,
// never a link) holding files of ours (0600, never through a link). The newest kKeptRuns logs
// by modification time are kept, and any log still held by a running updater. A log stops
// growing at capBytes, with one line saying so; the outcome still goes in. A log that cannot
// be written is skipped: it never stops an update.
//
// Printed lines are copied by a process of its own, forked before any thread: the last words
// of a crash still reach the terminal and the log.
class SupportLog {
public:
    static constexpr int kKeptRuns = 10;
    static qint64 capBytes; // 4 MiB

    // Closed standard streams are first reopened on /dev/null, so that no file opened later
    // takes their place.
    SupportLog(const QString& firmwareVersion, const QString& firmwareName);
    // Records "closed" unless an outcome came first, then puts the streams back.
    ~SupportLog();
    SupportLog(const SupportLog&) = delete;
    SupportLog& operator=(const SupportLog&) = delete;

    static QString folder();
    // This run's log; empty when none is written.
    static QString fileName();

    // Without a log in the process these do nothing.
    static void stateEntered(const QString& state);
    static void note(const QString& text);
    // done, failure, signal...: the first outcome counts; details are indented below it.
    static void outcome(const QString& what, const QString& details = QString());
    // An outcome before a hard exit.
    static void end(const QString& what);

private:
    void write(const QByteArray& text);
    void stop();

    QString path;
    int logFd = -1;
    int notesFd = -1; // to the copier, which answers each note once it is written
    int originals[2] = {-1, -1};
    long long copier = -1; // its process id
    bool outcomeWritten = false;
};

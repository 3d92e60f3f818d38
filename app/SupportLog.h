#pragma once

#include <QFile>
#include <QString>

#include <memory>

class OutputTee;

// One log file per run for support: the versions, the HID DFU library in use,
// each state change, every line the process prints (the library's error lines
// among them) and the outcome. It goes to $XDG_STATE_HOME/kerno-tindal2-update
// (~/.local/state when unset) and the last kKeptRuns files are kept. A log that
// cannot be written is skipped: it never stops an update.
class SupportLog {
public:
    static constexpr int kKeptRuns = 10;

    SupportLog(const QString& firmwareVersion, const QString& firmwareName);
    // Records "closed" unless an outcome came first.
    ~SupportLog();

    static QString folder();

    void stateEntered(const QString& state);
    void note(const QString& text);
    // done, failure, signal...: the first outcome counts; details are indented below it.
    void outcome(const QString& what, const QString& details = QString());
    // An outcome before a hard exit.
    void end(const QString& what);

private:
    void write(const QByteArray& text);

    QFile file;
    bool outcomeWritten = false;
    std::unique_ptr<OutputTee> tee;
};

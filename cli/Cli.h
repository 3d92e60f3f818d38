// What the commands of kerno-dfu share: exit statuses, options, output.
#pragma once

#include "HidDfu.h"

#include <QJsonObject>
#include <QString>
#include <QVector>

namespace cli {

// Documented in --help and in the man page.
enum Exit {
    kDone = 0,        // everything asked for was done
    kFailed = 1,      // an update or restart failed (with --all: at least one)
    kUsage = 2,       // wrong command line
    kNoSpeaker = 3,   // none, several without --device/--all, or it cannot be opened
    kFileRefused = 4, // the file may not be written
    kOutputLost = 5,  // standard output or error could not be written (the rest was done)
    kSignalBase = 128 // + the signal's number: stopped by Ctrl+C, SIGTERM or SIGHUP
};

struct Options {
    bool json = false;     // one JSON object per line
    bool terminal = false; // standard output is a terminal: progress bars
    int waitSeconds = 0;   // how long to wait for a speaker to appear
    QString device;        // --device PATH
    bool all = false;      // --all
};

struct Speaker {
    QString path, serial;
    int mode = HIDDFU_MODE_UPGRADE;
};

// File names are bytes: an argument's bytes that are not UTF-8 are kept one
// by one as the lone surrogates U+DC80..U+DCFF, and given back as they were.
QString argumentText(const char* bytes);
QByteArray argumentBytes(const QString& text);

// Device and file texts reach a terminal: no control characters, no lone surrogates.
QString printable(const QString& text);
QString modeName(int mode);
void printText(const QString& text);       // standard output, as it is
void printLine(const QString& line);       // standard output
void printError(const QString& line);      // standard error, prefixed with the program's name
void printJson(const QJsonObject& object); // one line on standard output

// Before anything opens a file: closed standard streams are reopened on
// /dev/null, so no file of ours becomes descriptor 1 or 2, and output due on
// a closed one counts as failed.
void openStandardStreams();
// --json for the whole run: the errors and the exit status end in the summary.
void setJson(bool json);
void addToSummary(const QJsonObject& fields);
// Every run ends here: the JSON summary, and a failed output told on the
// other stream. Returns the exit status.
int finish(int exit);

// The loaded library is the virtual speaker (it alone exports hidDfuVirtualSpeaker).
bool virtualSpeaker();

// Checks a file the way flash will write it; the placeholder only to the
// virtual speaker. Fills info; why says what is refused.
bool checkFile(const QString& path, hidDfuFileInfo& info, QString& why);

// The speakers present, waiting up to options.waitSeconds for at least one
// (for the one of --device); a caught signal ends the wait.
QVector<Speaker> listSpeakers(const Options& options);

// The speakers a command acts on: --device, --all, or the only one present.
// Prints why and sets exit when there is none to act on.
QVector<Speaker> chooseSpeakers(const Options& options, int& exit);

int runList(const Options& options);
int runInfo(const Options& options, const QString& file);
int runCheck(const Options& options, const QString& file);
int runFlash(const Options& options, const QString& file); // empty file: reset only

} // namespace cli

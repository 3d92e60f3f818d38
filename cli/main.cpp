// kerno-dfu: updates Kerno# Tindal 2 speakers from scripts, support desks and
// factory lines, on the same HID DFU library as the window.
#include "Cli.h"

#include "SignalWatcher.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

const char kCommands[] = R"(
Commands:
  list          The speakers in upgrade mode (USB 0a12:fffe), one per line:
                path, serial number, mode (upgrade, in-use, no-access).
  info FILE     What a DFU file holds: size, suffix, CRC, target device,
                version text, placeholder or not.
  check FILE    Whether flash would write FILE: only the exit status and one
                line.
  flash FILE    Writes FILE to the speaker, waits for the speaker's check of
                it, restarts it. With several speakers present, name one with
                --device or take them all, in parallel, with --all.
  reset         Restarts a speaker in upgrade mode into its application.

Exit status:
  0    done: every speaker updated or restarted, the file may be written
  1    an update or restart failed (with --all: at least one of them)
  2    wrong command line
  3    no speaker, several without --device or --all, or it cannot be opened
  4    the file is refused: missing, not a regular file, damaged, for another
       device, or the placeholder image for a real speaker
  5    standard output or error could not be written (full, closed, a broken
       pipe), though all else was done; the other stream says so
  128+N  stopped by signal N (130: Ctrl+C, 143: SIGTERM, 129: SIGHUP); a
       transfer under way is cancelled cleanly: run the update again; a second
       signal ends the program at once
)";

int usage(const QString& why) {
    cli::printError(why + "; see kerno-dfu --help");
    return cli::kUsage;
}

// Before the parser has spoken: a wrong command line is told in JSON too.
bool wantsJson(const QStringList& arguments) {
    const int end = arguments.indexOf(QStringLiteral("--"));
    return arguments.mid(0, end).contains(QStringLiteral("--json"));
}

int run(const QStringList& arguments) {
    cli::setJson(wantsJson(arguments));
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Updates the firmware of Kerno# Tindal 2 speakers in upgrade mode."));
    const QCommandLineOption help({"h", "help"}, QStringLiteral("Shows this help."));
    const QCommandLineOption version({"v", "version"}, QStringLiteral("Shows the version."));
    const QCommandLineOption device("device", QStringLiteral("The speaker at PATH (as listed)."),
                                    QStringLiteral("PATH"));
    const QCommandLineOption all("all", QStringLiteral("Every speaker present, in parallel."));
    const QCommandLineOption json("json", QStringLiteral("One JSON object per line."));
    const QCommandLineOption wait("wait",
                                  QStringLiteral("Waits up to SECONDS for a speaker to appear."),
                                  QStringLiteral("SECONDS"), QStringLiteral("0"));
    const QCommandLineOption record(
        "record", QStringLiteral("Records every report to and from the speaker in FILE (with "
                                 "--all, FILE.2 for the second, and so on)."),
        QStringLiteral("FILE"));
    const QCommandLineOption blankSerial(
        "blank-serial", QStringLiteral("Leaves the speaker's serial number out of the record."));
    parser.addOptions({help, version, device, all, json, wait, record, blankSerial});
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("list, info, check, flash or reset."),
                                 QStringLiteral("command [FILE]"));
    if (!parser.parse(arguments))
        return usage(parser.errorText());
    cli::setJson(parser.isSet(json));
    if (parser.isSet(help)) {
        const QString text = parser.helpText() + '\n' + QString::fromLatin1(kCommands).trimmed();
        if (parser.isSet(json))
            cli::printJson({{"help", text}});
        else
            cli::printLine(text);
        return cli::kDone;
    }
    if (parser.isSet(version) && parser.isSet(json)) {
        cli::printJson({{"version", QCoreApplication::applicationVersion()},
                        {"virtualSpeaker", cli::virtualSpeaker()}});
        return cli::kDone;
    }
    if (parser.isSet(version)) {
        cli::printLine(QStringLiteral("kerno-dfu %1%2")
                           .arg(QCoreApplication::applicationVersion(),
                                cli::virtualSpeaker() ? QStringLiteral(" (virtual speaker library)")
                                                      : QString()));
        return cli::kDone;
    }

    cli::Options options;
    options.json = parser.isSet(json);
    options.terminal = isatty(STDOUT_FILENO);
    options.device = parser.value(device);
    options.all = parser.isSet(all);
    bool number = false;
    options.waitSeconds = parser.value(wait).toInt(&number);
    if (!number || options.waitSeconds < 0 || options.waitSeconds > 86400)
        return usage(QStringLiteral("--wait takes seconds, 0 to 86400"));

    const QStringList args = parser.positionalArguments();
    const QString command = args.value(0);
    const bool takesFile = command == "info" || command == "check" || command == "flash";
    const bool takesSpeaker = command == "flash" || command == "reset";
    if (command.isEmpty())
        return usage(QStringLiteral("no command"));
    if (!takesFile && command != "list" && command != "reset")
        return usage(QStringLiteral("unknown command '%1'").arg(cli::printable(command)));
    if (args.size() != (takesFile ? 2 : 1))
        return usage(takesFile ? QStringLiteral("%1 takes one FILE").arg(command)
                               : QStringLiteral("%1 takes no argument").arg(command));
    if ((options.all || parser.isSet(device)) && !takesSpeaker)
        return usage(QStringLiteral("--device and --all are for flash and reset"));
    if (options.all && parser.isSet(device))
        return usage(QStringLiteral("--device and --all exclude each other"));
    if (parser.isSet(device) && options.device.isEmpty())
        return usage(QStringLiteral("--device takes a PATH"));
    if ((parser.isSet(record) || parser.isSet(blankSerial)) && !takesSpeaker)
        return usage(QStringLiteral("--record and --blank-serial are for flash and reset"));
    if (parser.isSet(record) && parser.value(record).isEmpty())
        return usage(QStringLiteral("--record takes a FILE"));
    // The library records whatever device it opens while these are set.
    if (parser.isSet(record))
        qputenv("KERNO_DFU_RECORD", cli::argumentBytes(parser.value(record)));
    if (parser.isSet(blankSerial))
        qputenv("KERNO_DFU_RECORD_BLANK_SERIAL", "1");

    if (command == "list")
        return cli::runList(options);
    if (command == "info")
        return cli::runInfo(options, args[1]);
    if (command == "check")
        return cli::runCheck(options, args[1]);
    return cli::runFlash(options, command == "flash" ? args[1] : QString());
}

} // namespace

int main(int argc, char** argv) {
    cli::openStandardStreams();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kerno-dfu"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KERNO_DFU_VERSION));
    // A closed pipe must not kill the program in the middle of a transfer.
    std::signal(SIGPIPE, SIG_IGN);
    new SignalWatcher(&app);
    QStringList arguments; // not QCoreApplication::arguments(): it loses what is not UTF-8
    for (int i = 0; i < argc; ++i)
        arguments << cli::argumentText(argv[i]);
    return cli::finish(run(arguments));
}

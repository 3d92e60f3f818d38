// kerno-dfu end to end: the real binary, the real library, virtual speakers.
#include "DfuFixtures.h"

#include <QtTest>

#include <csignal>
#include <fstream>
#include <sys/stat.h>

using fixtures::dfuFile;

class TestKernoDfu : public QObject {
    Q_OBJECT
    QTemporaryDir dir;
    const std::vector<std::uint8_t> good = dfuFile();
    const std::string badName = dir.path().toStdString() + "/bad\xff"; // not UTF-8

private slots:
    void initTestCase() { std::ofstream(badName).write((const char*)good.data(), good.size()); }
    void cleanupTestCase() { ::unlink(badName.c_str()); } // QTemporaryDir cannot remove it

    void command_data() {
        // KERNO_VIRTUAL_SPEAKER; "hardware": the linked library
        QTest::addColumn<QString>("speakers");
        QTest::addColumn<QStringList>("args"); // FILE stands for a file named by the row
        QTest::addColumn<int>("signal");       // sent once a transfer shows
        QTest::addColumn<int>("exit");
        QTest::addColumn<QStringList>("says"); // patterns, each found in stdout+stderr
        QTest::addColumn<QString>("dumps");    // the speakers that received the image
        // Appended to "exec kerno-dfu ARGS" in sh: redirections, a file name that is not UTF-8
        QTest::addColumn<QString>("shell");
        auto row = [](const char* name, const char* speakers, const QStringList& args, int exit,
                      const QStringList& says, const char* dumps = "", int signal = 0,
                      const char* shell = "") {
            QTest::newRow(name) << speakers << args << signal << exit << says << dumps << shell;
        };
        row("list none", "fail=connect", {"list", "--json"}, 3,
            {"\\A\\{\"event\":\"summary\",\"exit\":3\\}\nlibHidDfu: virtual speaker"});
        row("info", "", {"info", "good"}, 0,
            {"size +2516 bytes", "CRC +0x[0-9a-f]{8} \\(correct\\)", "target +0a12:fffe",
             "version +KERNO TEST IMAGE\n", "placeholder +no"});
        row("check, one line", "", {"check", "good"}, 0,
            {"\\A/tmp/hiddfu-test-\\w+: firmware for 0a12:fffe, version \"KERNO TEST "
             "IMAGE\"\n\\z"});
        row("check damaged", "", {"check", "damaged"}, 4,
            {"\\Arefused: /tmp/hiddfu-test-\\w+: CRC mismatch[^\n]*\n\\z"});
        row("check a pipe", "", {"check", "fifo"}, 4, {"fifo is not a regular file \\(-3\\)"});
        row("placeholder to the virtual speaker", "", {"check", "placeholder"}, 0,
            {"placeholder: virtual speaker only"});
        row("placeholder refused before any speaker", "hardware", {"flash", "placeholder"}, 4,
            {"\\Akerno-dfu: refused: [^\n]*placeholder image, not firmware[^\n]*\n\\z"});
        row("all, one fails", "count=3;2:fail=chunk:1", {"flash", "--all", "good"}, 1,
            {"virtual:1 +VIRTUAL-1 +updated\n",
             "virtual:2 +VIRTUAL-2 +failed \\(-8\\): chunk 1 of 3 failed.*errWRITE",
             "virtual:3 +VIRTUAL-3 +updated\n"},
            "1 3");
        row("one named", "count=2", {"flash", "--device", "virtual:2", "good"}, 0,
            {"virtual:2: writing +\\d+ %", "virtual:2: restarting\nvirtual:2: updated\n"}, "2");
        // In parallel: the second speaker is under way before the first is done.
        row("json, all at once", "count=2", {"flash", "--all", "--json", "good"}, 0,
            {"(?m)^\\{\"bytesPerSecond\":\\d+,\"device\":\"virtual:1\",\"event\":\"progress\",",
             "\"virtual:2\",\"event\":\"progress\"[^$]*\"virtual:1\",\"event\":\"restarting\"",
             "\"event\":\"updated\"",
             "(?m)^\\{\"event\":\"summary\",\"exit\":0,\"failed\":0,.*\"updated\":2\\}$"},
            "1 2");
        row("restart alone", "", {"reset"}, 0, {"restarting", "restarted"});
        row("no speaker at that path", "", {"reset", "--device", "virtual:2"}, 3,
            {"no speaker in upgrade mode at virtual:2"});
        row("Ctrl+C", "chunk-ms=20", {"flash", "big"}, 130,
            {"(?m)^kerno-dfu: interrupted: 1 speaker"
             "\\(s\\) stopped before the end of their update; run the update again$",
             "stopped"},
            "", SIGINT);
        row("terminal closed", "chunk-ms=20", {"flash", "--json", "big"}, 129, {"\"exit\":129"}, "",
            SIGHUP);
        // Replayed in the rows after, as the recorded speaker, without its serial.
        row("record a session", "", {"flash", "--record", "recording", "--blank-serial", "good"}, 0,
            {"virtual:1 +VIRTUAL-1 +updated"}, "1");
        row("replayed", "replay=recording", {"flash", "good"}, 0, {"virtual:1 +updated\n"});
        row("unknown command", "", {"frobnicate"}, 2, {"unknown command 'frobnicate'"});
        row("--all for list", "", {"list", "--all"}, 2, {"--device and --all are for flash"});
        // --json: JSON lines on every path, the last one the summary (checked for every row)
        row("check json", "", {"check", "--json", "good"}, 0, {"\"writable\":true"});
        row("version json", "", {"--version", "--json"}, 0, {"\"version\":\"\\d"});
        row("info json, missing file", "", {"info", "--json", "missing"}, 4,
            {"\"error\":\"refused: cannot open [^\n]*No such file"});
        row("flash json, no speaker", "fail=connect", {"flash", "--json", "good"}, 3,
            {"\"error\":\"no speaker in upgrade mode"});
        row("usage error json", "", {"list", "--json", "--nope"}, 2, {"Unknown option 'nope'"});
        row("signal while waiting", "appear-after-ms=60000",
            {"flash", "--json", "--wait", "60", "good"}, 143,
            {"\\A(?![\\s\\S]*no speaker)", "\"error\":\"stopped \\(signal 15\\) while waiting"}, "",
            SIGTERM);
        // Output that cannot be written: a failure, told on the other stream
        row("list, stdout full", "", {"list"}, 5,
            {"(?m)^kerno-dfu: cannot write to standard output: No space left on device$"}, "", 0,
            ">/dev/full");
        row("check, stdout closed", "", {"check", "good"}, 5,
            {"cannot write to standard output: Bad file descriptor"}, "", 0, ">&-");
        // Else the signal watcher's socket pair becomes 1 and 2: a library line reads as a signal
        row("all three closed", "appear-after-ms=300", {"list", "--wait", "9"}, 5, {}, "", 0,
            "<&- >&- 2>&-");
        row("info, stderr full", "", {"info", "missing"}, 4,
            {"\\Akerno-dfu: cannot write to standard error: No space left on device\n\\z"}, "", 0,
            "2>/dev/full");
        // Also the speaker waited for, appearing
        row("waited for, stderr full", "appear-after-ms=400", {"flash", "--wait", "9", "good"}, 5,
            {"updated\nkerno-dfu: cannot write to standard error: No space left on device\n\\z"},
            "1", 0, "2>/dev/full");
        row("flash json, stdout full", "", {"flash", "--json", "good"}, 5,
            {"cannot write to standard output"}, "1", 0, ">/dev/full");
        row("file name not UTF-8", "", {"flash"}, 0, {"updated"}, "1", 0, "$(printf 'bad\\377')");
    }

    void command() {
        QFETCH(QString, speakers);
        QFETCH(QStringList, args);
        QFETCH(int, signal);
        QFETCH(QString, shell);
        const QString dump = dir.filePath(QTest::currentDataTag());
        const std::map<QString, std::vector<std::uint8_t>> files = {
            {"good", good},
            {"damaged", fixtures::flip(good, 100, 1)},
            {"placeholder", dfuFile({2500, 0xFFFF, 0xFFFF, hiddfu::kPlaceholderMark})},
            {"big", dfuFile({300 * 1017})}};
        std::list<fixtures::TempFile> temps;
        for (QString& arg : args)
            if (files.count(arg))
                arg = QString::fromStdString(temps.emplace_back(files.at(arg)).path);
            else if (arg == "fifo")
                QVERIFY(!mkfifo(qPrintable(dir.filePath(arg)), 0600));
        QProcess run;
        run.setWorkingDirectory(dir.path()); // where relative names are: missing, fifo, recording
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("LD_LIBRARY_PATH", speakers == "hardware" ? LINKED_DIR : VIRTUAL_DIR);
        env.insert("KERNO_VIRTUAL_SPEAKER",
                   "appear-after-ms=0;chunk-ms=1;manifest-ms=20;dump=" + dump + ";" + speakers);
        run.setProcessEnvironment(env);
        run.start("/bin/sh", QStringList{"-c", "exec \"$0\" \"$@\" " + shell, KERNO_DFU} + args);
        QVERIFY(run.waitForStarted());
        QByteArray out;
        while (signal && !out.contains("writing") && !out.contains("progress") &&
               !out.contains("waiting") && run.waitForReadyRead(5000))
            out += run.readAllStandardOutput();
        if (signal && run.processId() > 0) // 0 once ended: kill(0) would hit our own group
            ::kill(run.processId(), signal);
        QVERIFY(run.waitForFinished(30000));
        out += run.readAllStandardOutput();
        const QString all = out + run.readAllStandardError();
        QTEST(run.exitCode(), "exit");
        QFETCH(QStringList, says);
        for (const QString& pattern : says)
            QVERIFY2(all.contains(QRegularExpression(pattern)),
                     qPrintable(pattern + " not in:\n" + all));
        if (args.contains("--json") && !shell.startsWith('>')) { // JSON lines, the summary last
            const QList<QByteArray> lines = out.trimmed().split('\n');
            for (const QByteArray& line : lines)
                QVERIFY2(QJsonDocument::fromJson(line).isObject(), line.constData());
            const QJsonObject summary = QJsonDocument::fromJson(lines.last()).object();
            QCOMPARE(summary.value("event").toString(), QString("summary"));
            QCOMPARE(summary.value("exit").toInt(-1), run.exitCode());
        }
        QStringList dumped; // one speaker's dump has no number
        for (const QString n : {"1", "2", "3"})
            if (QFile(dump + "." + n).size() == 2500 || (n == "1" && QFile(dump).size() == 2500))
                dumped << n;
        QTEST(dumped.join(' '), "dumps");
    }
};

QTEST_GUILESS_MAIN(TestKernoDfu)

#include "test_kerno_dfu.moc"

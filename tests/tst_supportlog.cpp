// The support log: what one run leaves in it, the last ten runs kept, and an
// update that goes on when no log can be written.
#include "DialogAccess.h"
#include "FakeHidDfu.h"
#include "UnifiedHidAPI.h"

#include <QtTest>

#include <cstdio>

class SupportLogTest : public QObject {
    Q_OBJECT

private slots:
    void oneRun_data() {
        QTest::addColumn<int>("upgradeStatus");
        QTest::addColumn<bool>("toTheEnd");
        QTest::addColumn<bool>("writable");
        QTest::addColumn<QStringList>("expected");
        const QStringList all = {"^firmware: V027 2017/03/13 \\(V027.dfu\\)$",
                                 "^\\d\\d:\\d\\d:\\d\\d\\.\\d{3} state ID_WELCOME_INIT$",
                                 " stderr: libHidDfu: a line of the library$",
                                 " stderr: libHidDfu: a line of the library \\(2 more times\\)$"};
        QTest::newRow("done") << 0 << true << true
                              << all + QStringList{" state ID_UPGRADING$", " outcome: done$"};
        QTest::newRow("failure")
            << -5 << true << true
            << all + QStringList{" stdout: \\[\\[HID error\\]\\] .*\\(Upgrade\\):Upgrade failed",
                                 " outcome: failure$",
                                 "^    n°1 : KernoTindalUpdateDlg\\(419\\) :\\s+Failed to start "
                                 "upgrade : -5 \\(File format is invalid \\(-5\\)\\)$"};
        QTest::newRow("closed") << 0 << false << true << all + QStringList{" outcome: closed$"};
        QTest::newRow("unwritable folder") << 0 << true << false << QStringList();
    }
    void oneRun() {
        QFETCH(int, upgradeStatus);
        QFETCH(bool, toTheEnd);
        QFETCH(bool, writable);
        QFETCH(QStringList, expected);
        QTemporaryDir home;
        qputenv("XDG_STATE_HOME", home.path().toUtf8());
        // Twelve earlier runs, or a file where the folder should be.
        const QString folder = home.path() + "/kerno-tindal2-update";
        QDir().mkpath(writable ? folder : home.path());
        for (int i = 10; i < (writable ? 22 : 0); ++i)
            QFile(folder + QString("/run-20170313-0000%1.log").arg(i)).open(QIODevice::WriteOnly);
        QFile(writable ? QString() : folder).open(QIODevice::WriteOnly);

        FakeHidDfu::install().upgradeStatus = upgradeStatus;
        FakeHidDfu::script().progress = {50, 100};
        connectTickCounter = 3;
        auto dialog = std::make_unique<KernoTindalUpdateDlg>();
        KernoTindalUpdateDlgTest m(*dialog);
        m.stopStepTimer();
        std::fputs("libHidDfu: a line of the library\n"
                   "libHidDfu: a line of the library\nlibHidDfu: a line of the library\n",
                   stderr);
        m.step();
        if (toTheEnd) {
            m.welcomeGoNext();
            m.step(7);
            m.hitTimeoutBeforeReset();
            m.hitTimeoutBeforeCheckStatus();
            m.step();
        }
        QCOMPARE(m.currentPage() == m.donePage(), upgradeStatus == 0 && toTheEnd);
        dialog.reset();
        FakeHidDfu::uninstall();
        UnifiedHidAPI::releaseInstance();

        const QStringList runs = QDir(folder).entryList(QDir::Files, QDir::Name);
        QCOMPARE(runs.size(), writable ? 10 : 0);
        QVERIFY(!writable || runs.first() == "run-20170313-000013.log");
        QFile log(folder + "/" + runs.value(9));
        const QString text = log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : "";
        for (const QString& line : expected)
            QVERIFY2(QRegularExpression(line, QRegularExpression::MultilineOption)
                         .match(text)
                         .hasMatch(),
                     qPrintable(line + " not in:\n" + text));
    }
};

QTEST_MAIN(SupportLogTest)
#include "tst_supportlog.moc"

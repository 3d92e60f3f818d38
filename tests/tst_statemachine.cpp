// The update flow, stepped tick by tick against a scripted library.
#include "DialogAccess.h"
#include "FakeHidDfu.h"
#include "UnifiedHidAPI.h"

#include <QtTest>

#include <memory>

class StateMachineTest : public QObject {
    Q_OBJECT

    std::unique_ptr<KernoTindalUpdateDlg> dialog;
    std::unique_ptr<KernoTindalUpdateDlgTest> m;

    // Fresh dialog, fresh library script, machine on the welcome page.
    FakeHidDfu& start() {
        FakeHidDfu& fake = FakeHidDfu::install();
        UnifiedHidAPI::releaseInstance();
        connectTickCounter = 3;
        dialog = std::make_unique<KernoTindalUpdateDlg>();
        m = std::make_unique<KernoTindalUpdateDlgTest>(*dialog);
        m->stopStepTimer();
        return fake;
    }

    // From the welcome page to UPGRADING, with the first attempt accepted.
    void runToUpgrading() {
        m->step();
        m->welcomeGoNext();
        m->step(4);
        QCOMPARE(m->currentState(), m->UPGRADING());
    }

    // Feeds readings until the machine has entered UPGRADED.
    void runToUpgraded(FakeHidDfu& fake) {
        fake.progress = {50, 100};
        runToUpgrading();
        m->step(3);
        QCOMPARE(m->currentState(), m->UPGRADED());
    }

private slots:
    void cleanup() {
        m.reset();
        dialog.reset();
        FakeHidDfu::uninstall();
        UnifiedHidAPI::releaseInstance();
    }

    // Must stay first: the allocator counts for the whole process.
    void identifiersAreOneToTwentyFour() {
        start();
        QList<qint32> expected;
        for (int id = 1; id <= 24; ++id)
            expected << id;
        QCOMPARE(m->allIds(), expected);
        QCOMPARE(m->RESETED(), 17);
        QCOMPARE(m->DFU_ERROR(), 23);
    }

    void normalRun() {
        FakeHidDfu& fake = start();
        QCOMPARE(m->currentPage()->objectName(), QString("page"));
        QCOMPARE(m->currentState(), m->WELCOME_INIT_ENTER());

        m->step();
        QCOMPARE(m->currentPage(), m->welcomePage());
        m->step(5); // nothing happens until Ready is pressed
        QCOMPARE(m->currentState(), m->WELCOME_INIT());

        m->welcomeGoNext();
        m->step();
        QCOMPARE(m->currentState(), m->NOT_CONNECTED());
        QCOMPARE(m->currentPage(), m->connectPage());
        QCOMPARE(fake.connectCalls, 0);

        m->step(); // first tick tries at once
        QCOMPARE(fake.connectCalls, 1);
        QCOMPARE(fake.connectIds, (QList<quint16>{0x0a12, 0xfffe}));
        QCOMPARE(m->currentState(), m->NOT_CONNECTED_EXIT());

        m->step(); // progress page, then the upgrade with the temporary file
        QCOMPARE(m->currentPage(), m->progressPage());
        QCOMPARE(fake.upgradeCalls, 1);
        QCOMPARE(QString::fromUtf8(fake.upgradePath), m->dfuData().tempFileName());
        QCOMPARE(m->currentState(), m->CONNECTED_EXIT());
        QCOMPARE(fake.progressCalls, 0);

        m->step();
        QCOMPARE(m->currentState(), m->UPGRADING());

        fake.progress = {42, 98, 99, 99, 100};
        m->step();
        QCOMPARE(m->progressValue(), 42);
        m->step();
        QCOMPARE(m->progressValue(), 98);
        QCOMPARE(m->currentPage(), m->progressPage());
        m->step();
        QCOMPARE(m->currentPage(), m->lastPercentPage());
        QCOMPARE(m->progressValue(), 99);
        m->step();
        QCOMPARE(m->currentPage(), m->lastPercentPage());
        m->step();
        QCOMPARE(m->currentState(), m->UPGRADING_EXIT());
        QCOMPARE(m->progressValue(), 100);
        QCOMPARE(fake.progressCalls, 5);

        m->step();
        QCOMPARE(m->currentState(), m->UPGRADED());
        QCOMPARE(m->currentPage(), m->lastPercentPage());
        QVERIFY(m->timerBeforeReset().isActive());
        QCOMPARE(m->timerBeforeReset().interval(), 1000);
        QVERIFY(m->timerUpgradedTooLong().isActive());
        QCOMPARE(m->timerUpgradedTooLong().interval(), 20000);

        // The two one-second timers run for real: reset, then the status check.
        QTRY_COMPARE_WITH_TIMEOUT(fake.resetCalls, 1, 3000);
        QTRY_COMPARE_WITH_TIMEOUT(m->currentState(), m->UPGRADED_EXIT(), 3000);
        QVERIFY(!m->timerUpgradedTooLong().isActive());
        m->step();
        QCOMPARE(m->currentState(), m->RESETED());
        QCOMPARE(m->currentPage(), m->donePage());
        QCOMPARE(fake.disconnectCalls, 0);
        QCOMPARE(m->errorContext().count(QStringLiteral("n°")), 0);
    }

    void refusedConnectionRetriesEveryFourthTick() {
        FakeHidDfu& fake = start();
        fake.connectStatus = -2;
        m->step();
        m->welcomeGoNext();
        m->step();
        QList<int> attemptTicks;
        for (int tick = 1; tick <= 13; ++tick) {
            const int before = fake.connectCalls;
            m->step();
            if (fake.connectCalls > before)
                attemptTicks << tick;
        }
        QCOMPARE(attemptTicks, (QList<int>{1, 5, 9, 13}));
        QCOMPARE(m->currentState(), m->NOT_CONNECTED());
        QCOMPARE(m->currentPage(), m->connectPage());

        // The instance in between is fresh: the next success is not masked.
        fake.connectStatus = 0;
        m->step(4);
        QCOMPARE(m->currentState(), m->NOT_CONNECTED_EXIT());
    }

    void upgradeThatCannotStart() {
        FakeHidDfu& fake = start();
        fake.upgradeStatus = -3;
        m->step();
        m->welcomeGoNext();
        m->step(3);
        QCOMPARE(m->currentState(), m->CONNECTED_EXIT());
        QCOMPARE(fake.disconnectCalls, 0);
        m->step();
        QCOMPARE(m->currentState(), m->DFU_ERROR());
        QCOMPARE(m->currentPage(), m->failedPage());
        QCOMPARE(fake.disconnectCalls, 1);
        const QString context = m->errorContext();
        QCOMPARE(context.count(QStringLiteral("n°")), 1);
        QVERIFY2(context.contains(QString::fromUtf8("n°1 : KernoTindalUpdateDlg(419) :  "
                                                    "Failed to start upgrade : -3 (Failed to "
                                                    "open file (-3))")),
                 qPrintable(context));
        m->step(10); // final
        QCOMPARE(m->currentState(), m->DFU_ERROR());
        QCOMPARE(fake.disconnectCalls, 1);
        QCOMPARE(fake.progressCalls, 0);
    }

    void readingsFromHundredUpCountAsFinished() {
        for (int reading : {100, 101, 128, 255, 0x1FF, -1}) {
            FakeHidDfu& fake = start();
            fake.progress = {42, reading};
            runToUpgrading();
            m->step(2);
            QVERIFY2(m->currentState() == m->UPGRADING_EXIT(), qPrintable(QString::number(reading)));
            QCOMPARE(m->progressValue(), 100);
            cleanup();
        }
        // Low byte 99 of a larger value is 99, not finished.
        FakeHidDfu& fake = start();
        fake.progress = {0x163};
        runToUpgrading();
        m->step();
        QCOMPARE(m->currentState(), m->UPGRADING());
        QCOMPARE(m->currentPage(), m->lastPercentPage());
    }

    void jumpPastLastPercentKeepsProgressPage() {
        FakeHidDfu& fake = start();
        fake.progress = {42, 100};
        runToUpgrading();
        m->step(3);
        QCOMPARE(m->currentState(), m->UPGRADED());
        QCOMPARE(m->currentPage(), m->progressPage());
    }

    void lastPercentPageShownAgainOnlyWhenHidden() {
        FakeHidDfu& fake = start();
        fake.progress = {99};
        runToUpgrading();
        m->step();
        QCOMPARE(m->currentPage(), m->lastPercentPage());
        m->stack()->setCurrentWidget(m->failedPage()); // as the shortcut does
        m->step();
        QCOMPARE(m->currentPage(), m->lastPercentPage());
    }

    void failingResetGivesLine517() {
        FakeHidDfu& fake = start();
        fake.resetStatus = -9;
        runToUpgraded(fake);
        m->hitTimeoutBeforeReset();
        QCOMPARE(fake.resetCalls, 1);
        QVERIFY(m->timerBeforeCheckStatus().isActive());
        m->hitTimeoutBeforeCheckStatus();
        QVERIFY(!m->timerUpgradedTooLong().isActive());
        m->step();
        QCOMPARE(m->currentState(), m->DFU_ERROR());
        QCOMPARE(m->currentPage(), m->failedPage());
        QCOMPARE(fake.disconnectCalls, 1);
        QVERIFY(m->errorContext().contains(
            QString::fromUtf8("n°1 : KernoTindalUpdateDlg(517) :  UHIDAPI is in error")));
        QVERIFY(!m->errorContext().contains("(525)"));
    }

    void guardGivesLine525AndLateCheckIsIgnored() {
        FakeHidDfu& fake = start();
        runToUpgraded(fake);
        m->hitTimeoutBeforeReset(); // a reset that takes the whole guard time
        m->hitTimeoutUpgradedTooLong();
        QVERIFY(!m->timerBeforeCheckStatus().isActive());
        m->step();
        QCOMPARE(m->currentState(), m->DFU_ERROR());
        QVERIFY(m->errorContext().contains(QString::fromUtf8(
            "n°1 : KernoTindalUpdateDlg(525) :  Upgrade done, but problem with reset or API")));

        // A status check that still comes must not turn the failure into success.
        m->hitTimeoutBeforeCheckStatus();
        m->hitTimeoutBeforeReset();
        m->step(3);
        QCOMPARE(m->currentState(), m->DFU_ERROR());
        QCOMPARE(m->currentPage(), m->failedPage());
        QCOMPARE(fake.resetCalls, 1);
        QCOMPARE(m->errorContext().count(QStringLiteral("n°")), 1);
    }

    void strayReadyPressIsIgnored() {
        FakeHidDfu& fake = start();
        fake.progress = {30};
        runToUpgrading();
        const int connects = fake.connectCalls;
        m->welcomeGoNext(); // the welcome page brought back by its shortcut
        m->step(5);
        QCOMPARE(m->currentState(), m->UPGRADING());
        QCOMPARE(fake.connectCalls, connects);
        QCOMPARE(fake.upgradeCalls, 1);
    }

    void networkErrorStateShowsItsPage() {
        start();
        m->currentState() = m->NETWORK_ERROR_ENTER();
        m->step();
        QCOMPARE(m->currentState(), m->NETWORK_ERROR());
        QCOMPARE(m->currentPage(), m->networkErrorPage());
        m->step(3);
        QCOMPARE(m->currentState(), m->NETWORK_ERROR());
    }

    void chosenFirmwareIsUsedUntilConnected() {
        FakeHidDfu& fake = start();
        m->firmwarePath() = QString::fromUtf8("/home/élise/Téléchargements/V028.dfu");
        runToUpgrading();
        QCOMPARE(fake.upgradePath, QString::fromUtf8("/home/élise/Téléchargements/V028.dfu").toUtf8());
    }
};

QTEST_MAIN(StateMachineTest)
#include "tst_statemachine.moc"

// The last-error record, its code table, and the device access layer over a
// scripted library.
#include "CHidDfuErrorMsg.h"
#include "FakeHidDfu.h"
#include "UnifiedHidAPI.h"

#include <QTemporaryFile>
#include <QtTest>

#include <cstdio>
#include <unistd.h>

namespace {

// Runs `work` with the process's standard output sent to a file; returns what it wrote.
template <typename Work> QByteArray captureStdout(Work work) {
    QTemporaryFile sink;
    if (!sink.open())
        return "cannot capture";
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    dup2(sink.handle(), STDOUT_FILENO);
    work();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    sink.seek(0);
    return sink.readAll();
}

} // namespace

class DeviceLayerTest : public QObject {
    Q_OBJECT

private slots:
    void init() {
        UnifiedHidAPI::releaseInstance();
        FakeHidDfu::install();
    }
    void cleanup() {
        UnifiedHidAPI::releaseInstance();
        FakeHidDfu::uninstall();
    }

    void codeTable_data() {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << 0 << "No error, no message (0)";
        QTest::newRow("-1") << -1 << "Invalid sequence (hidDfuConnect must be called first) (-1)";
        QTest::newRow("-2") << -2 << "Failed to connect to device (-2)";
        QTest::newRow("-3") << -3 << "Failed to open file (-3)";
        QTest::newRow("-4") << -4 << "Failed to write to file (-4)";
        QTest::newRow("-5") << -5 << "File format is invalid (-5)";
        QTest::newRow("-6") << -6 << "File CRC is incorrect (-6)";
        QTest::newRow("-7") << -7 << "File read failed (-7)";
        QTest::newRow("-8") << -8 << "Upgrade failed (-8)";
        QTest::newRow("-9") << -9 << "Device reset failed (-9)";
        QTest::newRow("-10") << -10 << "Out of memory (-10)";
        QTest::newRow("-11") << -11 << "Invalid parameter (-11)";
        QTest::newRow("-12") << -12 << "Driver operation failed (-12)";
        QTest::newRow("-13") << -13 << "Operation failed to start (-13)";
        QTest::newRow("-14") << -14 << "Busy, operation in progress (-14)";
        QTest::newRow("-15") << -15 << "Failed to clear device status (-15)";
        QTest::newRow("-16") << -16 << "Device firmware is corrupted (-16)";
        QTest::newRow("-20") << -20 << "Unknown error (-20)";
        QTest::newRow("gap -17") << -17 << "Unknown EHidDufError value : -17";
        QTest::newRow("gap -19") << -19 << "Unknown EHidDufError value : -19";
        QTest::newRow("positive") << 3 << "Unknown EHidDufError value : 3";
        QTest::newRow("beyond") << -21 << "Unknown EHidDufError value : -21";
    }
    void codeTable() {
        QFETCH(int, code);
        QFETCH(QString, text);
        QCOMPARE(CHidDfuErrorMsg::codeToString(code), text);
    }

    void recordingForms() {
        CHidDfuErrorMsg record;
        QCOMPARE(record.code, 0);
        QVERIFY(record.message().isEmpty());

        QCOMPARE(record.setError(-9, "HidDfu/Win/UnifiedHidAPI", 51, "resetDevice"), -9);
        QCOMPARE(record.message(),
                 QString("HidDfu/Win/UnifiedHidAPI:51:(resetDevice):Device reset failed (-9)"));

        // Details that end with a blank keep it: two blanks stand before "[".
        record.setError(-20, "f", 7, "op", "Cannot disconnect from device ");
        QCOMPARE(record.message(),
                 QString("f:7:(op):Cannot disconnect from device  [Unknown error (-20)]"));
        QCOMPARE(record.code, -20);
    }

    void standardOutputLine() {
        CHidDfuErrorMsg record;
        const QByteArray out = captureStdout([&] {
            record.setError(-5, "fichier", 3, "opération", "détails");
            record.setError(0, "quiet", 1, "none");
        });
        // Only failures are printed, in UTF-8, one line each.
        QCOMPARE(out, QString("[[HID error]] fichier:3:(opération):détails [File format is "
                              "invalid (-5)]\n")
                          .toUtf8());
        QCOMPARE(record.code, 0);
        QCOMPARE(record.message(), QString("quiet:1:(none):No error, no message (0)"));
    }

    void instanceLifecycle() {
        UnifiedHidAPI* first = UnifiedHidAPI::getInstance();
        QCOMPARE(UnifiedHidAPI::getInstance(), first);
        FakeHidDfu::script().connectStatus = -2;
        first->ConnectDevice(0x0a12, 0xfffe);
        QVERIFY(first->isInError());
        UnifiedHidAPI::releaseInstance();
        UnifiedHidAPI::releaseInstance(); // nothing left: a no-op
        QVERIFY(!UnifiedHidAPI::getInstance()->isInError());
    }

    void connectRefused() {
        FakeHidDfu& fake = FakeHidDfu::script();
        fake.connectStatus = -12;
        UnifiedHidAPI* api = UnifiedHidAPI::getInstance();
        // The library's own status comes back; the record always says -2.
        QCOMPARE(api->ConnectDevice(0x0a12, 0xfffe), -12);
        QCOMPARE(fake.connectIds, (QList<quint16>{0x0a12, 0xfffe}));
        QCOMPARE(api->errorRecord.code, -2);
        QCOMPARE(api->errorRecord.message(),
                 QString("HidDfu/Win/UnifiedHidAPI:11:(ConnectDevice):Cannot connect to device "
                         "a12/fffe [Failed to connect to device (-2)]"));
    }

    void disconnectFailed() {
        FakeHidDfu::script().disconnectStatus = -1;
        UnifiedHidAPI* api = UnifiedHidAPI::getInstance();
        QCOMPARE(api->DisconnectDevice(), -1);
        QCOMPARE(api->errorRecord.code, -20);
        QCOMPARE(api->errorRecord.message(),
                 QString("HidDfu/Win/UnifiedHidAPI:21:(DisconnectDevice):Cannot disconnect from "
                         "device  [Unknown error (-20)]"));
    }

    void upgradeAndReset() {
        FakeHidDfu& fake = FakeHidDfu::script();
        UnifiedHidAPI* api = UnifiedHidAPI::getInstance();

        fake.upgradeStatus = -3;
        QCOMPARE(api->Upgrade("/tmp/x.dfu", true), -3);
        QCOMPARE(fake.resetCalls, 0); // no reset after a failed start
        QCOMPARE(api->errorRecord.message(),
                 QString("HidDfu/Win/UnifiedHidAPI:31:(Upgrade):Upgrade failed (-8)"));

        UnifiedHidAPI::releaseInstance();
        api = UnifiedHidAPI::getInstance();
        fake.upgradeStatus = 0;
        fake.resetStatus = -7;
        QCOMPARE(api->Upgrade("/tmp/x.dfu", true), -7);
        QCOMPARE(fake.resetCalls, 1);
        QCOMPARE(api->errorRecord.code, -9);
        QCOMPARE(api->errorRecord.message(),
                 QString("HidDfu/Win/UnifiedHidAPI:51:(resetDevice):Device reset failed (-9)"));

        // A later success leaves the earlier failure in the record.
        fake.resetStatus = 0;
        QCOMPARE(api->Upgrade("/tmp/x.dfu", false), 0);
        QCOMPARE(fake.resetCalls, 1);
        QVERIFY(api->isInError());

        api->resetError();
        QVERIFY(!api->isInError());
        QCOMPARE(api->errorRecord.message(), QString("OK, reseted"));
    }

    void pathReachesLibraryAsUtf8() {
        FakeHidDfu& fake = FakeHidDfu::script();
        const QString path = QString::fromUtf8("/tmp/mise à jour/énorme€.dfu");
        QCOMPARE(UnifiedHidAPI::getInstance()->Upgrade(path, false), 0);
        QCOMPARE(fake.upgradePath, path.toUtf8());
    }

    void progressKeepsLowByte() {
        FakeHidDfu::script().progress = {42, 0x163, -1};
        UnifiedHidAPI* api = UnifiedHidAPI::getInstance();
        QCOMPARE(api->getProgress(), quint8(42));
        QCOMPARE(api->getProgress(), quint8(0x63));
        QCOMPARE(api->getProgress(), quint8(255));
        QVERIFY(!api->isInError());
    }

    void withoutLibraryEveryCallIsRefused() {
        FakeHidDfu::uninstall();
        // Nothing named HidDfu lies in the test's search path.
        QVERIFY(!HidDfuLibrary::load());
        QVERIFY(!HidDfuLibrary::errorString().isEmpty());
        UnifiedHidAPI* api = UnifiedHidAPI::getInstance();
        QCOMPARE(api->ConnectDevice(0x0a12, 0xfffe), -20);
        QCOMPARE(api->errorRecord.code, -2);
        QCOMPARE(api->Upgrade("/tmp/x.dfu", false), -20);
        QCOMPARE(api->resetDevice(), -20);
        QCOMPARE(api->DisconnectDevice(), -20);
        QCOMPARE(api->errorRecord.code, -20);
        QCOMPARE(api->getProgress(), quint8(0));
    }
};

QTEST_GUILESS_MAIN(DeviceLayerTest)
#include "tst_devicelayer.moc"

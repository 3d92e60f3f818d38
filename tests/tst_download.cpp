// The network code against a real HTTP server and proxy on 127.0.0.1: the latest-firmware
// download page and the crawl's theme tune.

#include "FirmwareImage.h"
#include "HidDfuDllInitFailedDlg.h"
#include "PageDownloadLatestDfuForm.h"
#include "Tune.h"
#include "TuneServer.h"

#include <QSoundEffect>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

using Page = PageDownloadLatestDfuForm;

class TestDownload : public QObject {
    Q_OBJECT
    QTemporaryDir tmp;
    ProxySettings settings;
    std::unique_ptr<Page> page;
    QStringList told;

    // What a caller sees of one download: "failed", "dfu" for the image under its final name in
    // our folder, or else the name it was given. Refused addresses fail before any request.
    QString fetch(const QUrl& url) {
        QSignalSpy end(page->findChild<QNetworkAccessManager*>(), &QNetworkAccessManager::finished);
        told.clear();
        page->setDownloadUrl(url);
        page->startDownload();
        const bool ended = !told.isEmpty() || QTest::qWaitFor([&] { return end.count() == 1; });
        return ended ? told.join(' ') : "(no end)";
    }
    const QByteArray image{reinterpret_cast<const char*>(kFirmwareImage), int(kFirmwareImageSize)};
    // Replies by path: the image, whole or cut short, and what is no image; /huge is more than
    // any image, of a size still to come, which only a cap ends.
    QHash<QString, QByteArray> answers() const {
        const QByteArray dfu = TuneServer::reply(200, image), x((16 << 20) + 1, 'x');
        return {{"/image", dfu},
                {"/cut", dfu.left(1000)},
                {"/held", {}},
                {"/text", TuneServer::reply(200, "image")},
                {"/moved", TuneServer::reply(302, {}, "Location: /image\r\n")},
                {"/away", TuneServer::reply(302, {}, "Location: http://kerno.example/image\r\n")},
                {"/huge", "HTTP/1.1 200 X\r\nContent-Length: 99999999\r\n\r\n" + x}};
    }

private slots:
    void init() {
        std::signal(SIGXFSZ, SIG_IGN);
        qRegisterMetaType<QNetworkReply*>();
        qputenv("TMPDIR", QFile::encodeName(tmp.path()));
        page.reset(new Page(&settings, nullptr));
        connect(page.get(), &Page::downloadFailed, this, [this] { told << "failed"; });
        connect(page.get(), &Page::downloadSuccess, this, [this](const QString& name) {
            QFile file(name);
            const QRegularExpression ours("^" + QRegularExpression::escape(tmp.path()) +
                                          "/KernoTindal2-MiseAJour\\.dfu\\.\\w{6}$");
            const bool dfu = ours.match(name).hasMatch() && file.open(QIODevice::ReadOnly);
            told << (dfu && file.readAll() == image ? "dfu" : name);
        });
    }

    // What the page works out alone: its address, on one site with the tune's, https as the
    // failure dialog's tests check; the percentages of what has come.
    void addressesAndPercentages() {
        const QUrl site = HidDfuDllInitFailedDlg::downloadSiteUrl();
        QCOMPARE(page->downloadUrl(), site.resolved(QUrl("KernoTindal2LastUpdate.dfu")));
        QCOMPARE(Tune::defaultSource(), site.resolved(QUrl("star-wars-theme-song.wav")));
        QSignalSpy progress(page.get(), &Page::progress);
        for (const auto& call : QList<QPair<qint64, qint64>>{
                 {512, 1024}, {1023, 1024}, {3LL << 31, 4LL << 31}, {700, -1}, {0, 0}})
            QMetaObject::invokeMethod(page.get(), "downloadProgress", Q_ARG(qint64, call.first),
                                      Q_ARG(qint64, call.second));
        QCOMPARE(QList<QVariantList>(progress), (QList<QVariantList>{{50}, {99}, {75}}));
    }

    void download() {
        TuneServer server(answers());
        QSignalSpy progress(page.get(), &Page::progress);
        QCOMPARE(fetch(server.url("/image")), QStringLiteral("dfu"));
        QCOMPARE(progress.value(progress.count() - 1), QVariantList{100});
        QCOMPARE(fetch(server.url("/moved")), QStringLiteral("dfu"));     // http on the loopback
        const QStringList held = QDir(tmp.path()).entryList(QDir::Files); // the first released
        QCOMPARE(held.size(), 1);
        // None replaces the image held; a cut one several times, as the network layer sometimes
        // retries and then ends quietly.
        for (const char* bad : {"/text", "/huge", "/cut", "/cut", "/cut", "/cut"})
            QCOMPARE(fetch(server.url(bad)), QStringLiteral("failed"));
        QCOMPARE(QDir(tmp.path()).entryList(QDir::Files), held);
        page->doneWithTempFile(), page->doneWithTempFile(); // a second time is harmless
        const rlimit full{1 << 16, RLIM_INFINITY}, unlimited{RLIM_INFINITY, RLIM_INFINITY};
        setrlimit(RLIMIT_FSIZE, &full);
        QCOMPARE(fetch(server.url("/image")), QStringLiteral("failed"));
        setrlimit(RLIMIT_FSIZE, &unlimited);
        // Through the proxy, with the credentials not to be sent, then sent.
        settings.hostName = "127.0.0.1", settings.port = quint16(server.url({}).port());
        settings.enabled = true, settings.user = "atelier", settings.password = "m0t-de-passe";
        QCOMPARE(fetch(server.url("/image")), QStringLiteral("failed"));
        settings.authenticate = true;
        QCOMPARE(fetch(server.url("/image")), QStringLiteral("dfu"));
        // Plain http elsewhere is neither followed nor asked, though the proxy would answer.
        QCOMPARE(fetch(server.url("/away")), QStringLiteral("failed"));
        QCOMPARE(fetch(QUrl("http://kerno.example/image")), QStringLiteral("failed"));
        settings.enabled = false;
        QCOMPARE(fetch(server.url("/image")), QStringLiteral("dfu"));
        QCOMPARE(server.paths().last(), QStringLiteral("/image"));
        // Destroyed while downloading: nothing more told, nothing left.
        page->setDownloadUrl(server.url("/held"));
        page->startDownload();
        page.reset();
        QCOMPARE(told, QStringList{"dfu"});
        QVERIFY(QDir(tmp.path()).isEmpty());
    }

    // Silence beyond the bound fails the download; a slow one that keeps coming does not. A row:
    // the path, the pause in ms, the size of the pieces between pauses, what the caller is told.
    void silence_data() {
        QTest::addColumn<QString>("row");
        QTest::newRow("accepts, never answers") << "/held 0 0 failed";
        QTest::newRow("a byte now and then") << "/image 2000 1 failed";
        QTest::newRow("slow, never silent long") << "/image 100 65536 dfu";
    }
    void silence() {
        QFETCH(QString, row);
        const QStringList f = row.split(' ');
        TuneServer server(answers(), f[1].toInt(), f[2].toInt());
        page->setSilenceLimit(1000); // the image comes in 13 pieces, 1.2 s in all
        QCOMPARE(fetch(server.url(f[0])), f[3]);
    }

    // Fetched and looped on play, silent on stop and while unreachable; the audio backend's
    // warnings pass once while a tune lives, all of them after.
    void tune() {
        static int warnings = 0;
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString&) {
            warnings += type == QtWarningMsg;
        });
        TuneServer server;
        auto tune = std::make_unique<Tune>();
        tune->setSource(server.url("/star-wars-theme-song.wav"));
        Tune::soundOutputPresent = [] { return false; };
        tune->play(); // nothing to hear it on: not fetched
        QVERIFY(!tune->effect());
        Tune::soundOutputPresent = [] { return true; };
        tune->play();
        QTRY_COMPARE(server.paths(), QStringList{"/star-wars-theme-song.wav"});
        const QSoundEffect* effect = tune->effect(); // queued without a sound server
        QVERIFY(effect->isPlaying() && effect->loopCount() == QSoundEffect::Infinite);
        tune->stop();
        QVERIFY(!effect->isPlaying());
        tune->play();
        QVERIFY(effect->isPlaying());
        tune->setSource(QUrl("http://127.0.0.1:1/"));
        QTRY_COMPARE(effect->status(), QSoundEffect::Error);
        QVERIFY(!effect->isPlaying());
        qWarning("QAudio: one"), qWarning("QAudio: two");
        tune.reset(); // the previous handler back
        qWarning("QAudio: three");
        QCOMPARE(warnings, 2);
    }
};

QTEST_MAIN(TestDownload)
#include "tst_download.moc"

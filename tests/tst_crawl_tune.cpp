// The crawl's theme tune, fetched from a loopback HTTP server.

#include "AnimatedPhrasesChoc_SW.h"
#include "TuneServer.h"

#include <QSoundEffect>
#include <QtTest>

namespace {

QtMessageHandler testHandler = nullptr;
int audioWarnings = 0;

// Counts what the audio backend lets through to the log.
void countingHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg &&
        (message.contains(QLatin1String("Pulse")) || message.startsWith(QLatin1String("QSoundEffect")) ||
         message.startsWith(QLatin1String("QAudio"))))
        ++audioWarnings;
    testHandler(type, context, message);
}

bool playingOrFailed(const QSoundEffect* tune) {
    // Without a sound server the play request stays queued; a decoding failure
    // is the other outcome that keeps the crawl running silently.
    return tune->isPlaying() || tune->status() == QSoundEffect::Error;
}

} // namespace

class tst_CrawlTune : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { testHandler = qInstallMessageHandler(countingHandler); }
    void productionAddress();
    void startFetchesAndLoops();
    void unreachableTuneStaysSilent();
    void atMostOneWarning() { QVERIFY2(audioWarnings <= 1, qPrintable(QString::number(audioWarnings))); }
};

void tst_CrawlTune::productionAddress() {
    const QUrl url = AnimatedPhrasesChoc_SW::defaultThemeSource();
    QCOMPARE(url.scheme(), QStringLiteral("http"));
    QCOMPARE(url.path(), QStringLiteral("/star-wars-theme-song.wav"));
    QVERIFY(!url.host().isEmpty());
    AnimatedPhrasesChoc_SW crawl;
    QCOMPARE(crawl.themeSource(), url);
    QVERIFY(!crawl.themeTune());  // nothing fetched or played before start()
    crawl.stop();
}

void tst_CrawlTune::startFetchesAndLoops() {
    TuneServer server;
    AnimatedPhrasesChoc_SW crawl;
    crawl.setThemeSource(server.url(QStringLiteral("/star-wars-theme-song.wav")));
    crawl.start();
    QTRY_COMPARE(server.paths(), QStringList{QStringLiteral("/star-wars-theme-song.wav")});
    const QSoundEffect* tune = crawl.themeTune();
    QVERIFY(tune);
    QCOMPARE(tune->loopCount(), int(QSoundEffect::Infinite));
    QVERIFY(playingOrFailed(tune));
    QVERIFY(crawl.isRunning());

    crawl.stop();
    QVERIFY(!tune->isPlaying());
    QVERIFY(!crawl.isRunning());

    crawl.start();  // restarts the tune
    QVERIFY(playingOrFailed(tune));
    QCOMPARE(tune->loopCount(), int(QSoundEffect::Infinite));
    crawl.stop();
    QVERIFY(!tune->isPlaying());
}

void tst_CrawlTune::unreachableTuneStaysSilent() {
    AnimatedPhrasesChoc_SW crawl;
    {
        TuneServer gone;  // a loopback port that nobody listens on any more
        crawl.setThemeSource(gone.url(QStringLiteral("/star-wars-theme-song.wav")));
    }
    crawl.resize(300, 120);
    crawl.setPhrases({QStringLiteral("a")});
    crawl.grab();  // lays the text out
    crawl.start();
    QTRY_VERIFY(crawl.currentOffset() > 3);  // the crawl moves regardless
    crawl.stop();
    QVERIFY(!crawl.themeTune()->isPlaying());
}

QTEST_MAIN(tst_CrawlTune)
#include "tst_crawl_tune.moc"

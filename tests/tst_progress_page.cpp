// The progress page: its widgets, its three phrase modes and its progress slots.

#include "AnimatedPhrasesChoc.h"
#include "AnimatedPhrasesChoc_SW.h"
#include "AnimatedSequence.h"
#include "CircularProgressWidget.h"
#include "PageDfuProgressForm.h"
#include "PhrasesChoc.h"
#include "TuneServer.h"

#include <QAbstractEventDispatcher>
#include <QSoundEffect>
#include <QtTest>

class tst_ProgressPage : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup() { delete page; }
    void widgetsAndStacking();
    void onePhraseTimer();
    void phraseTicksWrap();
    void progressEdges();
    void modesResumeAndSilence();
    void resetKeepsTheCrawl();

private:
    QList<QAbstractEventDispatcher::TimerInfo> pageTimers() const {
        return QAbstractEventDispatcher::instance()->registeredTimers(page);
    }
    void tickPhrase() {
        const auto timers = pageTimers();
        QTimerEvent event(timers.isEmpty() ? 0 : timers.at(0).timerId);
        QCoreApplication::sendEvent(page, &event);
    }
    bool tunePlaying() const {
        const QSoundEffect* tune = crawl->themeTune();
        return tune && (tune->isPlaying() || tune->status() == QSoundEffect::Error);
    }

    TuneServer server;
    PageDfuProgressForm* page = nullptr;
    QLabel* label = nullptr;
    AnimatedPhrasesChoc* scroller = nullptr;
    AnimatedPhrasesChoc_SW* crawl = nullptr;
    CircularProgressWidget* circle = nullptr;
};

void tst_ProgressPage::init() {
    page = new PageDfuProgressForm(nullptr);
    label = page->findChild<QLabel*>(QStringLiteral("pPhrasesChoc"));
    scroller = page->findChild<AnimatedPhrasesChoc*>(QStringLiteral("pAnimPhrasesChoc"));
    crawl = page->findChild<AnimatedPhrasesChoc_SW*>(QStringLiteral("pAnimPhrasesChocSW"));
    circle = page->findChild<CircularProgressWidget*>(QStringLiteral("pCircularProgress"));
    QVERIFY(label && scroller && crawl && circle);
    crawl->setThemeSource(server.url(QStringLiteral("/star-wars-theme-song.wav")));
}

void tst_ProgressPage::widgetsAndStacking() {
    QCOMPARE(page->objectName(), QStringLiteral("PageDfuProgressForm"));
    QStringList stacking;
    for (QObject* child : page->children())
        if (child->isWidgetType())
            stacking << child->objectName();
    QCOMPARE(stacking, QStringList({"pAnim", "pCircularProgress", "pPhrasesChoc", "pAnimPhrasesChoc",
                                    "pAnimPhrasesChocSW"}));
    QCOMPARE(crawl->geometry(), QRect(20, 381, 761, 120));
    QCOMPARE(label->text(), QStringLiteral("Phrases choc normale"));
    QCOMPARE(circle->value(), 0);
    QVERIFY(!page->findChild<AnimatedSequence*>(QStringLiteral("pAnim"))->isRunning());
    QVERIFY(!label->isHidden());
    QVERIFY(scroller->isHidden() && crawl->isHidden());
}

void tst_ProgressPage::onePhraseTimer() {
    QCOMPARE(pageTimers().size(), 1);
    for (int i = 0; i < 5; ++i)
        page->setNoScroll();
    QCOMPARE(pageTimers().size(), 1);
    QCOMPARE(pageTimers().at(0).interval, 2500);
    page->setNormalScroll();
    QCOMPARE(pageTimers().size(), 0);
    page->setStarWarsScroll();
    page->setStarWarsScroll();
    QCOMPARE(pageTimers().size(), 0);
    page->setNoScroll();
    QCOMPARE(pageTimers().size(), 1);
}

void tst_ProgressPage::phraseTicksWrap() {
    const QStringList& table = phrasesChoc();
    QTimerEvent foreign(pageTimers().at(0).timerId + 1000);
    QCoreApplication::sendEvent(page, &foreign);
    QCOMPARE(label->text(), QStringLiteral("Phrases choc normale"));
    tickPhrase();
    QCOMPARE(label->text(), table.at(0));
    tickPhrase();
    QCOMPARE(label->text(), table.at(1));
    for (int i = 2; i < table.size(); ++i)
        tickPhrase();
    QCOMPARE(label->text(), table.last());
    tickPhrase();
    QCOMPARE(label->text(), table.at(0));
    page->setNoScroll();  // a new timer, the index carries on
    tickPhrase();
    QCOMPARE(label->text(), table.at(1));
}

void tst_ProgressPage::progressEdges() {
    page->setProgress(40);
    QCOMPARE(circle->value(), 40);
    page->setProgress(150);
    page->setProgress(-1);
    QCOMPARE(circle->value(), 40);
    page->setProgress(100);
    page->progressUp();
    QCOMPARE(circle->value(), 100);
    page->setProgress(0);
    page->progressDn();
    QCOMPARE(circle->value(), 0);
    page->progressUp();
    page->progressUp();
    page->progressDn();
    QCOMPARE(circle->value(), 1);
}

void tst_ProgressPage::modesResumeAndSilence() {
    page->show();
    QVERIFY(QTest::qWaitForWindowExposed(page));
    page->setNormalScroll();
    QVERIFY(!scroller->isHidden() && label->isHidden() && crawl->isHidden());
    QTRY_VERIFY(scroller->currentOffset() >= 3);

    page->setStarWarsScroll();
    const int stoppedAt = scroller->currentOffset();
    QVERIFY(scroller->isHidden() && !crawl->isHidden());
    QVERIFY(tunePlaying());
    QTRY_VERIFY(crawl->currentOffset() >= 3);  // time passes for the crawl only
    QCOMPARE(scroller->currentOffset(), stoppedAt);

    page->setNormalScroll();
    QVERIFY(!crawl->isRunning());
    QVERIFY(!crawl->themeTune()->isPlaying());
    QCOMPARE(scroller->currentOffset(), stoppedAt);
    QTRY_VERIFY(scroller->currentOffset() > stoppedAt);

    page->setStarWarsScroll();
    QVERIFY(tunePlaying());
    page->setNoScroll();
    QVERIFY(!crawl->themeTune()->isPlaying());
    QVERIFY(!scroller->isRunning() && !crawl->isRunning());
}

void tst_ProgressPage::resetKeepsTheCrawl() {
    page->setStarWarsScroll();
    page->setProgress(50);
    page->reset();
    QCOMPARE(circle->value(), 0);
    QVERIFY(page->findChild<AnimatedSequence*>(QStringLiteral("pAnim"))->isRunning());
    QVERIFY(crawl->isRunning());
    QVERIFY(tunePlaying());
    QCOMPARE(pageTimers().size(), 0);
}

QTEST_MAIN(tst_ProgressPage)
#include "tst_progress_page.moc"

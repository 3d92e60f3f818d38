// The welcome, connect, last-percent and done pages: their forms, their behaviour through
// a run, and what they show at known points of that run.

#include "AnimatedSequence.h"
#include "BitmapPushButton.h"
#include "CircularProgressWidget.h"
#include "PageConnectAndDfuForm.h"
#include "PageDfuDoneForm.h"
#include "PageDfuLastPercentForm.h"
#include "PageWelcomeForm.h"
#include "tst_art_support.h"

#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

// Stands in for the main dialog, which the welcome page wires its firmware button to.
class FakeDialog : public QWidget {
    Q_OBJECT
public:
    int choices = 0;
public slots:
    void choseFirmware(bool) { ++choices; }
};

class ArtPagesTest : public QObject {
    Q_OBJECT

private slots:
    void welcomeForm();
    void welcomeReadyButtonThroughARunAndASecondReset();
    void welcomeScreenshots();
    void welcomeRelaysEveryClickAndShowsTheFirmwareName();
    void connectPageHoldsItsPicture();
    void lastPercentSwingsOverItsBackground();
    void doneFormAndQuitButton();
    void doneScreenshot();
};

namespace {

QStringList childNames(QWidget* page) {
    QStringList names;
    for (QObject* child : page->children())
        if (child->isWidgetType())
            names << child->objectName();
    return names;
}

template <typename T> T* child(QWidget* page, const char* name) {
    T* found = page->findChild<T*>(QLatin1String(name));
    if (!found)
        qFatal("no child %s", name);
    return found;
}

// Teal of the lit step dot, sampled right of its centre, off its highlight.
bool dotLit(const QImage& shot, int step) {
    return art::near(shot.pixel(371 + 22 * step, 585), art::kTeal, 40);
}

const QRect kAboveButton(0, 0, 801, 500);

} // namespace

void ArtPagesTest::welcomeForm() {
    FakeDialog dialog;
    PageWelcomeForm page(&dialog);
    auto* ready = child<BitmapPushButton>(&page, "pReadyBtn");
    auto* change = child<QPushButton>(&page, "pChangeFirmwarePB");
    QVERIFY(!child<AnimatedSequence>(&page, "pAnim")->isRunning());
    QVERIFY(ready->isHidden());
    // Screen readers name the picture-only buttons.
    QCOMPARE(ready->accessibleName(), QStringLiteral("Suivant"));
    QVERIFY(child<CircularProgressWidget>(&page, "pCirProgTest")->isHidden());
    QVERIFY(change->isHidden());
    // The hidden button still reaches the dialog's chooser.
    change->click();
    QCOMPARE(dialog.choices, 1);
}

void ArtPagesTest::welcomeReadyButtonThroughARunAndASecondReset() {
    FakeDialog dialog;
    PageWelcomeForm page(&dialog);
    auto* anim = child<AnimatedSequence>(&page, "pAnim");
    auto* ready = child<BitmapPushButton>(&page, "pReadyBtn");
    QSignalSpy finished(anim, &AnimatedSequence::finished);
    // The button's state at each start of the sequence.
    QList<bool> hiddenAtTicks;
    connect(anim, &AnimatedSequence::starting, [&] { hiddenAtTicks << ready->isHidden(); });

    page.reset();
    QVERIFY(anim->isRunning());
    QVERIFY(ready->isHidden());
    QVERIFY(art::tick(anim, 2)); // the hold is over, the fade begins
    QVERIFY(ready->isHidden());
    QVERIFY(art::tick(anim, 15)); // the fade is complete, one interval to go
    QVERIFY(ready->isHidden());
    QVERIFY(finished.wait(5000));
    QVERIFY(!ready->isHidden());
    QVERIFY(!anim->isRunning());

    // Restarting shows the pictures again but the button stays.
    page.reset();
    QVERIFY(anim->isRunning());
    QVERIFY(!ready->isHidden());
    QVERIFY(art::tick(anim, 3));
    QVERIFY(!ready->isHidden());
    QVERIFY(finished.wait(5000));
    QCOMPARE(finished.count(), 2);
    QVERIFY(!ready->isHidden());
    QCOMPARE(hiddenAtTicks, (QList<bool>{true, false}));
}

void ArtPagesTest::welcomeScreenshots() {
    FakeDialog dialog;
    dialog.resize(801, 601);
    PageWelcomeForm page(&dialog);
    page.setGeometry(0, 0, 801, 601);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    auto* anim = child<AnimatedSequence>(&page, "pAnim");

    page.reset();
    const QImage first = page.grab().toImage().convertToFormat(QImage::Format_ARGB32);
    art::keepScreenshot(first, QStringLiteral("welcome-before-ready"));
    QVERIFY(art::maxDifference(first, art::composed(":/Pages2/0-fond", ":/Pages2/1-accueil-1"), kAboveButton) <= 1);
    QVERIFY(dotLit(first, 0));
    QVERIFY(!dotLit(first, 1));
    QVERIFY(!art::near(first.pixel(400, 529), art::kTeal, 40)); // no button yet

    QSignalSpy finished(anim, &AnimatedSequence::finished);
    QVERIFY(finished.wait(5000));
    QTRY_VERIFY(art::near(page.grab().toImage().pixel(400, 529), art::kTeal, 10));
    const QImage last = page.grab().toImage().convertToFormat(QImage::Format_ARGB32);
    art::keepScreenshot(last, QStringLiteral("welcome-ready"));
    QVERIFY(art::maxDifference(last, art::composed(":/Pages2/0-fond", ":/Pages2/2-accueil-2"), kAboveButton) <= 1);
    // The button: teal outline, black inside, its lettering white.
    QVERIFY(art::near(last.pixel(340, 548), QColor(0, 0, 0), 0));
    int white = 0;
    for (int x = 363; x < 441; ++x)
        for (int y = 540; y < 558; ++y)
            white += art::near(last.pixel(x, y), QColor(255, 255, 255), 10);
    QVERIFY(white > 60);
}

void ArtPagesTest::welcomeRelaysEveryClickAndShowsTheFirmwareName() {
    FakeDialog dialog;
    PageWelcomeForm page(&dialog);
    auto* ready = child<BitmapPushButton>(&page, "pReadyBtn");
    ready->show();
    QSignalSpy goNext(&page, &PageWelcomeForm::goNext);
    QTest::mouseClick(ready, Qt::LeftButton);
    QTest::mouseClick(ready, Qt::LeftButton);
    QCOMPARE(goNext.count(), 2);

    auto* version = child<QLabel>(&page, "pFwVersionLbl");
    page.setFwName(QStringLiteral("V027 2017/03/13"));
    QCOMPARE(version->text(), QStringLiteral("V027 2017/03/13"));
    page.setFwName(QString());
    QCOMPARE(version->text(), QString());
}

void ArtPagesTest::connectPageHoldsItsPicture() {
    PageConnectAndDfuForm page(nullptr);
    QCOMPARE(page.objectName(), QStringLiteral("PageConnectAndDfuForm"));
    QCOMPARE(childNames(&page), QStringList{"pAnim"});
    auto* anim = child<AnimatedSequence>(&page, "pAnim");
    QCOMPARE(anim->geometry(), QRect(0, 0, 801, 601));
    QCOMPARE(anim->minimumSize(), QSize(801, 601));
    QVERIFY(!anim->isRunning());

    page.resize(801, 601);
    page.reset();
    page.reset();
    QCOMPARE(QAbstractEventDispatcher::instance()->registeredTimers(anim).size(), 1);
    QCOMPARE(art::runningInterval(anim), 2000);
    const QImage shot = page.grab().toImage().convertToFormat(QImage::Format_ARGB32);
    art::keepScreenshot(shot, QStringLiteral("connect"));
    const QImage expected = art::composed(":/Pages2/0-fond", ":/Pages2/3-reconnaissance");
    QCOMPARE(art::maxDifference(shot, expected, shot.rect()), 0);
    QVERIFY(dotLit(shot, 1));
    QVERIFY(!dotLit(shot, 0) && !dotLit(shot, 2));

    // However long the wait, the picture is the same.
    QSignalSpy finished(anim, &AnimatedSequence::finished);
    QVERIFY(art::tick(anim));
    QCOMPARE(art::maxDifference(page.grab().toImage().convertToFormat(QImage::Format_ARGB32), expected, shot.rect()), 0);
    QVERIFY(art::tick(anim));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(art::maxDifference(page.grab().toImage().convertToFormat(QImage::Format_ARGB32), expected, shot.rect()), 0);
}

void ArtPagesTest::lastPercentSwingsOverItsBackground() {
    PageDfuLastPercentForm page(nullptr);
    QCOMPARE(page.objectName(), QStringLiteral("PageDfuLastPercentForm"));
    QCOMPARE(childNames(&page), QStringList{"pAnim"});
    auto* anim = child<AnimatedSequence>(&page, "pAnim");
    QCOMPARE(anim->geometry(), QRect(0, 0, 801, 601));
    QVERIFY(!anim->isRunning());
    page.resize(801, 601);

    // Which ring picture is on screen: the outer ring's pixel tells 1, 2 and 3 apart.
    auto shownRing = [&](const QImage& shot) {
        for (int ring = 1; ring <= 3; ++ring) {
            const QString name = QStringLiteral(":/Pages2/%1").arg(ring == 1 ? "8-99-1" : ring == 2 ? "9-99-2" : "10-99-3");
            if (art::maxDifference(shot, art::composed(":/Pages2/0-fond-99", name), shot.rect()) <= 1)
                return ring;
        }
        return 0;
    };
    auto shot = [&] { return page.grab().toImage().convertToFormat(QImage::Format_ARGB32); };

    QSignalSpy starting(anim, &AnimatedSequence::starting);
    QSignalSpy finished(anim, &AnimatedSequence::finished);
    page.reset();
    QCOMPARE(art::runningInterval(anim), 12);
    const QImage first = shot();
    art::keepScreenshot(first, QStringLiteral("last-percent-1"));
    QCOMPARE(shownRing(first), 1);
    QVERIFY(dotLit(first, 3));
    QVERIFY(art::near(first.pixel(401, 235), art::kTeal, 10)); // the power symbol behind

    // Each step: 10 ticks of fade, one more to move on. 1, 2, 3, 2, 1, then around again.
    QList<int> swing;
    for (int step = 0; step < 5; ++step) {
        QVERIFY(art::tick(anim, 10));
        swing << shownRing(shot());
        if (step == 1)
            art::keepScreenshot(shot(), QStringLiteral("last-percent-3"));
        QVERIFY(art::tick(anim));
    }
    QCOMPARE(swing, (QList<int>{2, 3, 2, 1, 2}));
    QCOMPARE(starting.count(), 2);
    QCOMPARE(finished.count(), 1);
    QVERIFY(anim->isRunning());

    // Reset in the middle of a swing: back to the first step, pictures 1 then 2.
    QVERIFY(art::tick(anim, 14));
    page.reset();
    QCOMPARE(shownRing(shot()), 1);
    QVERIFY(art::tick(anim, 10));
    QCOMPARE(shownRing(shot()), 2);

    // And it keeps going on real time.
    QVERIFY(starting.wait(5000));
    QVERIFY(anim->isRunning());
}

void ArtPagesTest::doneFormAndQuitButton() {
    PageDfuDoneForm page(nullptr);
    QCOMPARE(page.objectName(), QStringLiteral("PageDfuDoneForm"));
    // Raised after creation: the picture, then the button on top.
    QCOMPARE(childNames(&page), (QStringList{"pAnim", "pBitmapQuitBtn"}));
    auto* quit = child<BitmapPushButton>(&page, "pBitmapQuitBtn");
    QVERIFY(!quit->isHidden());
    QCOMPARE(quit->accessibleName(), QStringLiteral("Quitter"));

    QSignalSpy doQuit(&page, &PageDfuDoneForm::doQuit);
    QTest::mouseClick(quit, Qt::LeftButton);
    QTest::mouseClick(quit, Qt::LeftButton);
    QCOMPARE(doQuit.count(), 2);
    // Before any reset as after: the button does not wait for the pictures.
    page.reset();
    QVERIFY(!quit->isHidden());
    quit->click();
    QCOMPARE(doQuit.count(), 3);
}

void ArtPagesTest::doneScreenshot() {
    PageDfuDoneForm page(nullptr);
    page.resize(801, 601);
    page.show();
    QVERIFY(QTest::qWaitForWindowExposed(&page));
    auto* anim = child<AnimatedSequence>(&page, "pAnim");
    QSignalSpy finished(anim, &AnimatedSequence::finished);
    page.reset();
    QVERIFY(finished.wait(5000));
    const QImage shot = page.grab().toImage().convertToFormat(QImage::Format_ARGB32);
    art::keepScreenshot(shot, QStringLiteral("done"));

    const QImage end = art::composed(":/Pages2/0-fond", ":/Pages2/11-fin");
    QVERIFY(art::maxDifference(shot, end, QRect(0, 0, 801, 352)) <= 1);
    // "Enjoy !" in white letters above the ring.
    int white = 0;
    for (int y = 185; y < 255; ++y)
        for (int x = 270; x < 530; ++x)
            white += art::near(shot.pixel(x, y), QColor(255, 255, 255), 10);
    QVERIFY2(white > 2000, qPrintable(QString::number(white)));
    // The button's open ring lies over the picture: teal at its bottom and sides, open at the top.
    QVERIFY(art::near(shot.pixel(400, 453), art::kTeal, 12));
    QVERIFY(art::near(shot.pixel(354, 407), art::kTeal, 12));
    QVERIFY(art::near(shot.pixel(446, 407), art::kTeal, 12));
    QVERIFY(!art::near(shot.pixel(400, 361), art::kTeal, 60));
    QVERIFY(dotLit(shot, 3));
}

QTEST_MAIN(ArtPagesTest)
#include "tst_art_pages.moc"

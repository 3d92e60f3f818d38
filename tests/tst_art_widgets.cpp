// The frame sequence, the circular progress and the bitmap button, through their signals,
// their timers and the pixels they paint.

#include "AnimatedSequence.h"
#include "BitmapPushButton.h"
#include "CircularProgressWidget.h"
#include "tst_art_support.h"

#include <QPaintEvent>
#include <QPropertyAnimation>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtMath>
#include <QtTest>

class ArtWidgetsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    // frame sequence
    void stepDerivesIntervalAndOpacityStep();
    void oneTickStepStartsThenFinishesAfterTwoIntervals();
    void oneTickStepRunsOnRealTime();
    void loopWrapsWithStartingThenFinished();
    void stopIsSilentAndKeepsTheLastFrame();
    void restartBeginsAtTheFirstStep();
    void crossfadeHalfwayShowsBothAtHalfOpacity();
    void nonLoopingRunEndsOnItsLastPicture();
    void emptyPathMeansTheDefaultBackdrop();
    void backgroundIsReplacedAndCutToTheCanvas();
    void canvasStartsTransparent();
    void ticksRepaintOnlyTheStepPictures();

    // circular progress
    void spansAreTruncatedTowardZero_data();
    void spansAreTruncatedTowardZero();
    void valuesOutsideTheRangeAreIgnored();
    void rangeSettersDoNotClamp();
    void emptyRangeZeroesTheSpanWithoutRepaint();
    void secondValueRetargetsTheRunningAnimation();
    void arcIsTheOnlyThingPainted();

    // bitmap button
    void buttonPaintsOnlyItsPictureClipped();
    void buttonWithoutPictureIsInvisibleButClickable();

private:
    QString picture(const QString& name, const QColor& color, const QRect& area = QRect(0, 0, 801, 601),
                    const QSize& size = QSize(801, 601));
    QTemporaryDir dir;
};

void ArtWidgetsTest::initTestCase() {
    QVERIFY(dir.isValid());
}

// Records the rectangles that paint events ask for.
class PaintRects : public QObject {
public:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint)
            region += static_cast<QPaintEvent*>(event)->region();
        return false;
    }
    QRegion region;
};

void ArtWidgetsTest::ticksRepaintOnlyTheStepPictures() {
    const QRect left(10, 20, 100, 50), right(500, 300, 60, 40);
    const QString a = picture("partial-a", Qt::red, left);
    const QString b = picture("partial-b", Qt::blue, right);
    AnimatedSequence anim;
    anim.resize(801, 601);
    anim.sequence.append(CrossfadeStep(a, 3600000, 2, a));
    anim.sequence.append(CrossfadeStep(b, 3600000, 2, b));
    anim.show();
    QVERIFY(QTest::qWaitForWindowExposed(&anim));
    anim.start();
    QCoreApplication::processEvents();
    PaintRects painted;
    anim.installEventFilter(&painted);

    QVERIFY(art::tick(&anim));
    QCoreApplication::processEvents();
    QCOMPARE(painted.region, QRegion(left));

    // Moving to the next step repaints where its pictures are too.
    painted.region = QRegion();
    QVERIFY(art::tick(&anim, 2));
    QCoreApplication::processEvents();
    QCOMPARE(painted.region, QRegion(left) + right);

    // A new background takes the whole frame at the next tick.
    anim.setBackground(b);
    painted.region = QRegion();
    QVERIFY(art::tick(&anim));
    QCoreApplication::processEvents();
    QCOMPARE(painted.region, QRegion(anim.rect()));
}

// A picture of one colour over `area`, transparent elsewhere.
QString ArtWidgetsTest::picture(const QString& name, const QColor& color, const QRect& area, const QSize& size) {
    QImage image(size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter(&image).fillRect(area, color);
    const QString path = dir.filePath(name + QStringLiteral(".png"));
    image.save(path);
    return path;
}

void ArtWidgetsTest::stepDerivesIntervalAndOpacityStep() {
    const CrossfadeStep step(QStringLiteral("a"), 250, 15, QStringLiteral("b"));
    QCOMPARE(step.from, QStringLiteral("a"));
    QCOMPARE(step.to, QStringLiteral("b"));
    QCOMPARE(step.interval, 16);
    QCOMPARE(step.opacityStep, 1.0 / 15);
    QCOMPARE(CrossfadeStep(QString(), 5, 10, QString()).interval, 0);
    const CrossfadeStep none;
    QVERIFY(none.from.isEmpty() && none.to.isEmpty());
    QCOMPARE(none.duration, 0);

    CrossfadeSequence sequence;
    QVERIFY(!sequence.loop());
    sequence.setLoop(true);
    QVERIFY(sequence.loop());
}

void ArtWidgetsTest::oneTickStepStartsThenFinishesAfterTwoIntervals() {
    AnimatedSequence anim;
    // Far longer than the test: only the ticks delivered here move it.
    anim.sequence.append(CrossfadeStep(QString(), 3600000, 1, QString()));
    QSignalSpy starting(&anim, &AnimatedSequence::starting);
    QSignalSpy finished(&anim, &AnimatedSequence::finished);

    anim.start();
    QCOMPARE(starting.count(), 1);
    QVERIFY(anim.isRunning());
    QCOMPARE(art::runningInterval(&anim), 3600000);

    QVERIFY(art::tick(&anim));
    QCOMPARE(finished.count(), 0);
    QVERIFY(anim.isRunning());
    QVERIFY(art::tick(&anim));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(starting.count(), 1);
    QVERIFY(!anim.isRunning());
    QCOMPARE(art::runningTimer(&anim), 0);

    // A foreign timer's events are not ticks.
    anim.start();
    QTimerEvent foreign(anim.startTimer(3600000));
    QCoreApplication::sendEvent(&anim, &foreign);
    QCoreApplication::sendEvent(&anim, &foreign);
    QCOMPARE(finished.count(), 1);
    anim.killTimer(foreign.timerId());
}

void ArtWidgetsTest::oneTickStepRunsOnRealTime() {
    AnimatedSequence anim;
    anim.sequence.append(CrossfadeStep(QString(), 30, 1, QString()));
    QSignalSpy starting(&anim, &AnimatedSequence::starting);
    QSignalSpy finished(&anim, &AnimatedSequence::finished);
    anim.start();
    QCOMPARE(starting.count(), 1);
    QCOMPARE(QAbstractEventDispatcher::instance()->registeredTimers(&anim).first().timerType, Qt::CoarseTimer);
    QVERIFY(finished.wait(5000));
    QCOMPARE(finished.count(), 1);
    QVERIFY(!anim.isRunning());
}

void ArtWidgetsTest::loopWrapsWithStartingThenFinished() {
    AnimatedSequence anim;
    anim.sequence.setLoop(true);
    anim.sequence.append(CrossfadeStep(QString(), 3600000, 2, QString()));
    anim.sequence.append(CrossfadeStep(QString(), 7200000, 3, QString()));
    QStringList order;
    connect(&anim, &AnimatedSequence::starting, [&] { order << "starting"; });
    connect(&anim, &AnimatedSequence::finished, [&] { order << "finished"; });

    anim.start();
    QVERIFY(art::tick(&anim, 3)); // first step: 2 ticks + 1
    QCOMPARE(art::runningInterval(&anim), 2400000);
    QCOMPARE(order, QStringList{"starting"});
    QVERIFY(art::tick(&anim, 4)); // second step: 3 ticks + 1, then the wrap
    QCOMPARE(order, (QStringList{"starting", "starting", "finished"}));
    QVERIFY(anim.isRunning());
    QCOMPARE(art::runningInterval(&anim), 1800000);
    QVERIFY(art::tick(&anim, 7));
    QCOMPARE(order, (QStringList{"starting", "starting", "finished", "starting", "finished"}));
}

void ArtWidgetsTest::stopIsSilentAndKeepsTheLastFrame() {
    AnimatedSequence anim;
    anim.resize(801, 601);
    anim.sequence.append(CrossfadeStep(picture("red", Qt::red), 3600000, 4, picture("blue", Qt::blue)));
    QSignalSpy starting(&anim, &AnimatedSequence::starting);
    QSignalSpy finished(&anim, &AnimatedSequence::finished);
    anim.start();
    QVERIFY(art::tick(&anim));
    const QImage frame = art::paintedAlone(&anim);
    anim.stop();
    QVERIFY(!anim.isRunning());
    QCOMPARE(art::runningTimer(&anim), 0);
    QCOMPARE(starting.count(), 1);
    QCOMPARE(finished.count(), 0);
    QCOMPARE(art::paintedAlone(&anim), frame);
    anim.stop();
    QCOMPARE(finished.count(), 0);
}

void ArtWidgetsTest::restartBeginsAtTheFirstStep() {
    AnimatedSequence anim;
    anim.resize(801, 601);
    const QString red = picture("red", Qt::red), green = picture("green", Qt::green),
                  blue = picture("blue", Qt::blue);
    anim.setBackground(picture("black", Qt::black));
    anim.sequence.append(CrossfadeStep(red, 3600000, 2, green));
    anim.sequence.append(CrossfadeStep(green, 3600000, 2, blue));
    anim.start();
    QVERIFY(art::tick(&anim, 4)); // halfway through the second step: green, then blue, at half
    QVERIFY(art::near(art::paintedAlone(&anim).pixel(10, 10), QColor(0, 64, 128), 2));
    anim.start();
    QVERIFY(art::near(art::paintedAlone(&anim).pixel(10, 10), Qt::red, 0));
    QCOMPARE(QAbstractEventDispatcher::instance()->registeredTimers(&anim).size(), 1);
    QVERIFY(art::tick(&anim));
    QVERIFY(art::near(art::paintedAlone(&anim).pixel(10, 10), QColor(64, 128, 0), 2));
}

void ArtWidgetsTest::crossfadeHalfwayShowsBothAtHalfOpacity() {
    AnimatedSequence anim;
    anim.resize(801, 601);
    anim.setBackground(picture("bg", QColor(0, 0, 255)));
    // `from` covers the left half, `to` the right half; the middle column strip has neither.
    anim.sequence.append(CrossfadeStep(picture("left", QColor(255, 0, 0), QRect(0, 0, 300, 601)), 3600000, 2,
                                       picture("right", QColor(0, 255, 0), QRect(501, 0, 300, 601))));
    anim.start();
    QVERIFY(art::tick(&anim));
    const QImage frame = art::paintedAlone(&anim);
    QVERIFY2(art::near(frame.pixel(100, 300), QColor(128, 0, 127), 2), qPrintable(art::describe(frame.pixel(100, 300))));
    QVERIFY2(art::near(frame.pixel(700, 300), QColor(0, 128, 127), 2), qPrintable(art::describe(frame.pixel(700, 300))));
    QVERIFY(art::near(frame.pixel(400, 300), QColor(0, 0, 255), 0));

    // With our own pictures: the welcome fade at its middle tick.
    AnimatedSequence welcome;
    welcome.resize(801, 601);
    welcome.sequence.append(CrossfadeStep(QStringLiteral(":/Pages2/1-accueil-1"), 3600000, 2,
                                          QStringLiteral(":/Pages2/2-accueil-2")));
    welcome.start();
    QVERIFY(art::tick(&welcome));
    QImage expected(801, 601, QImage::Format_ARGB32_Premultiplied);
    {
        QPainter painter(&expected);
        painter.drawImage(0, 0, QImage(QStringLiteral(":/Pages2/0-fond")));
        painter.setOpacity(0.5);
        painter.drawImage(0, 0, QImage(QStringLiteral(":/Pages2/1-accueil-1")));
        painter.drawImage(0, 0, QImage(QStringLiteral(":/Pages2/2-accueil-2")));
    }
    QVERIFY(art::maxDifference(art::paintedAlone(&welcome), expected.convertToFormat(QImage::Format_ARGB32),
                               QRect(0, 0, 801, 601)) <= 2);
}

void ArtWidgetsTest::nonLoopingRunEndsOnItsLastPicture() {
    AnimatedSequence anim;
    anim.resize(801, 601);
    anim.sequence.append(CrossfadeStep(picture("red", Qt::red), 20, 2, picture("blue", Qt::blue)));
    anim.show();
    QVERIFY(QTest::qWaitForWindowExposed(&anim));
    QSignalSpy finished(&anim, &AnimatedSequence::finished);
    anim.start();
    QVERIFY(finished.wait(5000));
    QTRY_VERIFY(art::near(anim.grab().toImage().pixel(50, 50), Qt::blue, 0));
    QVERIFY(art::near(art::paintedAlone(&anim).pixel(50, 50), Qt::blue, 0));
}

void ArtWidgetsTest::emptyPathMeansTheDefaultBackdrop() {
    AnimatedSequence anim;
    anim.resize(801, 601);
    anim.setBackground(picture("bg", Qt::magenta));
    anim.sequence.append(CrossfadeStep(QString(), 3600000, 4, picture("clear", Qt::transparent)));
    anim.start();
    const QImage backdrop = QImage(QStringLiteral(":/Pages2/0-fond")).convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(art::maxDifference(art::paintedAlone(&anim), backdrop, QRect(0, 0, 801, 601)), 0);

    // As the `to` picture too, and as the widget's own background.
    AnimatedSequence other;
    other.resize(801, 601);
    other.sequence.append(CrossfadeStep(picture("clear", Qt::transparent), 3600000, 1, QString()));
    other.start();
    QVERIFY(art::tick(&other));
    QCOMPARE(art::maxDifference(art::paintedAlone(&other), backdrop, QRect(0, 0, 801, 601)), 0);
}

void ArtWidgetsTest::backgroundIsReplacedAndCutToTheCanvas() {
    AnimatedSequence anim;
    anim.resize(900, 700);
    const QString clear = picture("clear", Qt::transparent);
    anim.sequence.append(CrossfadeStep(clear, 3600000, 4, clear));
    anim.start();
    anim.setBackground(picture("big", Qt::yellow, QRect(0, 0, 900, 700), QSize(900, 700)));
    QVERIFY(art::tick(&anim));
    const QImage after = art::paintedAlone(&anim);
    QVERIFY(art::near(after.pixel(800, 600), Qt::yellow, 0));
    QCOMPARE(qAlpha(after.pixel(801, 300)), 0);
    QCOMPARE(qAlpha(after.pixel(300, 601)), 0);
}

void ArtWidgetsTest::canvasStartsTransparent() {
    AnimatedSequence anim(QStringLiteral("TextLabel"));
    anim.resize(801, 601);
    const QImage image = art::paintedAlone(&anim);
    for (int y = 0; y < 601; y += 7)
        for (int x = 0; x < 801; x += 7)
            QCOMPARE(qAlpha(image.pixel(x, y)), 0);
}

void ArtWidgetsTest::spansAreTruncatedTowardZero_data() {
    QTest::addColumn<int>("minimum");
    QTest::addColumn<int>("maximum");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("span");
    QTest::newRow("1 %") << 0 << 100 << 1 << -54;
    QTest::newRow("33 %") << 0 << 100 << 33 << -1795;
    QTest::newRow("half") << 0 << 100 << 50 << -2720;
    QTest::newRow("full") << 0 << 100 << 100 << -5440;
    QTest::newRow("minimum") << 0 << 100 << 0 << 0;
    QTest::newRow("offset range") << 10 << 20 << 13 << -1632;
    QTest::newRow("third") << 0 << 3 << 1 << -1813;
}

void ArtWidgetsTest::spansAreTruncatedTowardZero() {
    QFETCH(int, minimum);
    QFETCH(int, maximum);
    QFETCH(int, value);
    QFETCH(int, span);
    CircularProgressWidget progress;
    progress.setRange(minimum, maximum);
    progress.setValue(value);
    QCOMPARE(progress.value(), value);
    QTRY_COMPARE(progress.spanAngle(), span);
    auto* animation = progress.findChild<QPropertyAnimation*>();
    QVERIFY(animation);
    QCOMPARE(animation->propertyName(), QByteArray("spanAngle"));
    QCOMPARE(animation->duration(), 40);
    QCOMPARE(animation->easingCurve().type(), QEasingCurve::Linear);
    QCOMPARE(progress.sizeHint(), QSize(125, 125));
}

void ArtWidgetsTest::valuesOutsideTheRangeAreIgnored() {
    CircularProgressWidget progress;
    progress.setRange(0, 100);
    progress.setValue(40);
    QTRY_COMPARE(progress.spanAngle(), -2176);
    auto* animation = progress.findChild<QPropertyAnimation*>();
    progress.setValue(101);
    progress.setValue(-1);
    QCOMPARE(progress.value(), 40);
    QCOMPARE(animation->state(), QAbstractAnimation::Stopped);
    QCOMPARE(animation->endValue().toInt(), -2176);
    QCOMPARE(progress.spanAngle(), -2176);
}

void ArtWidgetsTest::rangeSettersDoNotClamp() {
    CircularProgressWidget progress;
    progress.setRange(0, 100);
    progress.setValue(100);
    progress.setMaximum(50);
    QCOMPARE(progress.value(), 100);
    QTRY_COMPARE(progress.spanAngle(), -10880);
    progress.setMinimum(100);
    progress.setMaximum(200);
    QTRY_COMPARE(progress.spanAngle(), 0);
    progress.setMinimum(-100);
    QTRY_COMPARE(progress.spanAngle(), -3626);
}

// Counts the paints a widget receives.
class PaintCounter : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        paints += event->type() == QEvent::Paint;
        return false;
    }
};

void ArtWidgetsTest::emptyRangeZeroesTheSpanWithoutRepaint() {
    CircularProgressWidget progress;
    progress.resize(125, 125);
    progress.setRange(0, 100);
    progress.setValue(50);
    progress.show();
    QVERIFY(QTest::qWaitForWindowExposed(&progress));
    QTRY_COMPARE(progress.spanAngle(), -2720);
    QTRY_COMPARE(progress.findChild<QPropertyAnimation*>()->state(), QAbstractAnimation::Stopped);
    QCoreApplication::processEvents();

    PaintCounter counter;
    progress.installEventFilter(&counter);
    progress.setRange(5, 5);
    QCOMPARE(progress.spanAngle(), 0);
    QCoreApplication::processEvents();
    QCOMPARE(counter.paints, 0);
    QCOMPARE(progress.findChild<QPropertyAnimation*>()->state(), QAbstractAnimation::Stopped);
    progress.setRange(5, 4);
    QCOMPARE(progress.spanAngle(), 0);
    progress.setSpanAngle(-100);
    QTRY_VERIFY(counter.paints > 0);
}

void ArtWidgetsTest::secondValueRetargetsTheRunningAnimation() {
    CircularProgressWidget progress;
    progress.setRange(0, 100);
    auto* animation = progress.findChild<QPropertyAnimation*>();
    progress.setValue(50);
    QCOMPARE(animation->state(), QAbstractAnimation::Running);
    QTRY_VERIFY(progress.spanAngle() < 0); // on its way
    const int midway = progress.spanAngle();
    progress.setValue(100);
    QCOMPARE(animation->startValue().toInt(), midway);
    QCOMPARE(animation->endValue().toInt(), -5440);
    QCOMPARE(animation->state(), QAbstractAnimation::Running);
    QTRY_COMPARE(progress.spanAngle(), -5440);
}

void ArtWidgetsTest::arcIsTheOnlyThingPainted() {
    CircularProgressWidget progress;
    progress.setText(QStringLiteral("TextLabel"));
    progress.setFrameShape(QFrame::Box);
    progress.resize(125, 125);
    progress.setRange(0, 100);
    progress.setValue(50);
    QTRY_COMPARE(progress.spanAngle(), -2720);
    const QImage half = art::paintedAlone(&progress);
    art::keepScreenshot(half, QStringLiteral("circular-progress-50"));

    // Pen centre line: radius 51.5 around (62, 62); the half arc runs from just right of
    // twelve o'clock clockwise down to six o'clock.
    const QPointF centre(62.5, 62.5);
    auto at = [&](const QImage& image, double degrees, double radius) {
        const double a = qDegreesToRadians(degrees);
        return image.pixel(int(centre.x() + radius * qCos(a)), int(centre.y() - radius * qSin(a)));
    };
    for (double degrees : {70.0, 30.0, 0.0, -45.0, -80.0})
        QVERIFY2(qAlpha(at(half, degrees, 51.5)) == 255, qPrintable(QString::number(degrees)));
    for (double degrees : {100.0, 135.0, 180.0, 225.0, -100.0})
        QCOMPARE(qAlpha(at(half, degrees, 51.5)), 0);
    // Nothing off the ring: no frame, no text, no fill.
    for (int y = 0; y < 125; ++y)
        for (int x = 0; x < 125; ++x) {
            const double r = QLineF(centre, QPointF(x + 0.5, y + 0.5)).length();
            if (r < 47 || r > 56)
                QCOMPARE(qAlpha(half.pixel(x, y)), 0);
        }
    // The gradient: light at three o'clock is a quarter of the way from the dark end.
    const QRgb east = at(half, 0.0, 51.5);
    QVERIFY2(art::near(east, QColor(11, 90, 92), 6), qPrintable(art::describe(east)));

    // A full arc is dark where it starts and teal where it ends, both near twelve o'clock.
    progress.setValue(100);
    QTRY_COMPARE(progress.spanAngle(), -5440);
    const QImage full = art::paintedAlone(&progress);
    QVERIFY2(qGreen(at(full, 72.0, 51.5)) < 80, qPrintable(art::describe(at(full, 72.0, 51.5))));
    QVERIFY2(art::near(at(full, 108.0, 51.5), art::kTeal, 12), qPrintable(art::describe(at(full, 108.0, 51.5))));
    QCOMPARE(qAlpha(at(full, 90.0, 51.5)), 0); // the gap
}

void ArtWidgetsTest::buttonPaintsOnlyItsPictureClipped() {
    BitmapPushButton button(QStringLiteral("never drawn"));
    button.resize(137, 40);
    button.setPixmap(dir.filePath("nothing-here.png"));
    QImage image = art::paintedAlone(&button);
    for (int y = 0; y < 40; y += 3)
        for (int x = 0; x < 137; x += 3)
            QCOMPARE(qAlpha(image.pixel(x, y)), 0);

    button.setPixmap(picture("red-button", Qt::red, QRect(0, 0, 138, 41), QSize(138, 41)));
    button.setPixmap(QStringLiteral(":/Buttons/btnReady"));
    image = art::paintedAlone(&button);
    const QImage expected = QImage(QStringLiteral(":/Buttons/btnReady")).convertToFormat(QImage::Format_ARGB32).copy(0, 0, 137, 40);
    QCOMPARE(art::maxDifference(image, expected, QRect(0, 0, 137, 40)), 0);

    // The same in every state.
    button.setDown(true);
    button.setEnabled(false);
    QCOMPARE(art::maxDifference(art::paintedAlone(&button), expected, QRect(0, 0, 137, 40)), 0);
}

void ArtWidgetsTest::buttonWithoutPictureIsInvisibleButClickable() {
    BitmapPushButton button(QIcon(), QStringLiteral("text"));
    button.resize(50, 30);
    QSignalSpy clicked(&button, &QPushButton::clicked);
    const QImage image = art::paintedAlone(&button);
    for (int y = 0; y < 30; ++y)
        for (int x = 0; x < 50; ++x)
            QCOMPARE(qAlpha(image.pixel(x, y)), 0);
    QTest::mouseClick(&button, Qt::LeftButton);
    button.setFocus();
    QTest::keyClick(&button, Qt::Key_Space);
    QCOMPARE(clicked.count(), 2);
}

QTEST_MAIN(ArtWidgetsTest)
#include "tst_art_widgets.moc"

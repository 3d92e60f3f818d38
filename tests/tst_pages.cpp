// Pictures, animated widgets and pages, through the pixels they paint, the texts they show
// and the signals they send.

#include "AnimatedPhrasesChoc.h"
#include "AnimatedPhrasesChoc_SW.h"
#include "AnimatedSequence.h"
#include "BitmapPushButton.h"
#include "CircularProgressWidget.h"
#include "HidDfuDllInitFailedDlg.h"
#include "PageConnectAndDfuForm.h"
#include "PageDfuDoneForm.h"
#include "PageDfuFailedForm.h"
#include "PageDfuLastPercentForm.h"
#include "PageDfuProgressForm.h"
#include "PageWelcomeForm.h"
#include "PhrasesChoc.h"
#include "Startup.h"
#include "Tune.h"

#include <QtTest>
#include <QtWidgets>

namespace {

const QColor kTeal(17, 180, 183), kGold(220, 182, 81);
// A page (welcome, connect, last percent, done, progress, failure), ticks after a reset, its
// timer interval, its pictures ("background from to", under Pages2) and the opacity of `from`.
using Frame = std::tuple<int, int, int, QString, double>;

// The one timer an object runs; id 0 and interval -1 when it runs none or several.
QAbstractEventDispatcher::TimerInfo timerOf(QObject* object) {
    const auto timers = QAbstractEventDispatcher::instance()->registeredTimers(object);
    return timers.size() == 1 ? timers[0] : QAbstractEventDispatcher::TimerInfo(0, -1, {});
}

// Ticks without the event loop, so that real timers cannot race the frames checked between;
// each tick follows an event of another timer, which must change nothing.
bool tick(QObject* object, int count = 1) {
    for (; count > 0 && timerOf(object).timerId; --count) {
        QTimerEvent other(timerOf(object).timerId + 1), event(timerOf(object).timerId);
        QCoreApplication::sendEvent(object, &other);
        QCoreApplication::sendEvent(object, &event);
    }
    return count <= 0;
}

// What a widget and its visible children paint, over nothing.
QImage painted(QWidget* widget) {
    QImage image(widget->size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    widget->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image.convertToFormat(QImage::Format_ARGB32);
}

// The pixels of `area` (the whole image when empty) that pass `test`.
int count(const QImage& image, const std::function<bool(QRgb)>& test, const QRegion& area = {}) {
    int n = 0;
    const QRect box = area.isEmpty() ? image.rect() : area.boundingRect();
    for (int y = box.top(); y <= box.bottom(); ++y)
        for (int x = box.left(); x <= box.right(); ++x)
            n += (area.isEmpty() || area.contains(QPoint(x, y))) && test(image.pixel(x, y));
    return n;
}
const auto inked = [](QRgb p) { return qAlpha(p) > 0; };

bool near(QRgb p, const QColor& c, int tolerance = 2) {
    return qAbs(qRed(p) - c.red()) <= tolerance && qAbs(qGreen(p) - c.green()) <= tolerance &&
           qAbs(qBlue(p) - c.blue()) <= tolerance && qAbs(qAlpha(p) - c.alpha()) <= tolerance;
}
const auto gold = [](QRgb p) { return near(p, kGold); };

// Whether two pictures match within two per channel over `area`.
bool same(const QImage& a, const QImage& b, const QRect& area) {
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (!near(a.pixel(x, y), QColor::fromRgba(b.pixel(x, y))))
                return false;
    return true;
}

// The pictures of `frame` over each other as the frame sequence composes them, `from` at
// `opacity` and `to` at the rest.
QImage composed(const QString& frame, double opacity) {
    QImage image(801, 601, QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&image);
    for (int i = 0; i < 3; ++i) {
        painter.setOpacity(QList<double>{1, opacity, 1 - opacity}[i]);
        painter.drawImage(0, 0, QImage(":/Pages2/" + frame.section(' ', i, i)));
    }
    return image.convertToFormat(QImage::Format_ARGB32);
}

// The sum of the absolute differences of red, green and blue averaged over each 32 x 32 block:
// the largest of these means.
double blockDifference(const QImage& a, const QImage& b) {
    const int side = 32;
    double worst = 0;
    for (int top = 0; top < a.height(); top += side)
        for (int left = 0; left < a.width(); left += side) {
            const QRect block = QRect(left, top, side, side) & a.rect();
            qint64 sum = 0;
            for (int y = block.top(); y <= block.bottom(); ++y)
                for (int x = block.left(); x <= block.right(); ++x) {
                    const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
                    sum += qAbs(qRed(p) - qRed(q)) + qAbs(qGreen(p) - qGreen(q)) +
                           qAbs(qBlue(p) - qBlue(q));
                }
            worst = qMax(worst, double(sum) / (block.width() * block.height()));
        }
    return worst;
}

// Sharpness: the mean gradient magnitude of the grey levels, |right - here| + |below - here|.
double meanGradient(const QImage& image) {
    qint64 sum = 0;
    for (int y = 0; y + 1 < image.height(); ++y)
        for (int x = 0; x + 1 < image.width(); ++x) {
            const int here = qGray(image.pixel(x, y));
            sum += qAbs(qGray(image.pixel(x + 1, y)) - here) +
                   qAbs(qGray(image.pixel(x, y + 1)) - here);
        }
    return double(sum) / ((image.width() - 1) * (image.height() - 1));
}

// Where an animator's band wraps once laid out with these phrases.
const auto limitOf = [](auto* animator, const QStringList& phrases) {
    animator->setPhrases(phrases);
    painted(animator);
    return animator->offsetLimit();
};

// Frames of a whole cycle and the wrap that differ between an animator ticking its way along and
// one hidden and shown before each frame, which then draws from text rendered afresh at that row.
template <class Animator> int strayFrames() {
    QWidget page;
    QList<Animator*> pair{new Animator(&page), new Animator(&page)};
    for (Animator* animator : pair) {
        animator->setGeometry(20, 381, 761, 120);
        animator->setFont(QFont("Arial", 24));
        animator->setPhrases(QVector<QString>(8, "HHHHHHHH HHHH HH").toList());
    }
    page.show();
    int stray = painted(pair[0]) != painted(pair[1]); // laid out
    pair[0]->start(), pair[1]->start();
    for (int offset = 0; offset <= pair[0]->offsetLimit() + 2; ++offset) {
        pair[1]->hide(), pair[1]->show();
        stray += painted(pair[0]) != painted(pair[1]);
        tick(pair[0]), tick(pair[1]);
    }
    return stray;
}

} // namespace

Q_DECLARE_METATYPE(Frame)

class PagesTest : public QObject {
    Q_OBJECT
    QList<QUrl> opened;
    // Screenshots of the pages, the 1x ones taken by the run at scale 1, the 2x ones by the
    // run at scale 2, which compares them.
    const QDir shots{QCoreApplication::applicationDirPath() + "/screenshots"};

public:
    static void initMain() { Startup::enableHighDpi(); }

public slots:
    void openUrl(const QUrl& url) { opened << url; } // the desktop's browser

private slots:
    // Path (under Pages2 unless a directory is named), size (801 x 601 unless given) and a pixel
    // that tells the picture apart.
    void catalogue_data() {
        QTest::addColumn<QString>("picture");
        for (const char* picture :
             {"icons/transparent-125.125 125x125 62,62 #00000000",
              "icons/kernoIcon 1024x1024 512,512 #194548", "Buttons/btnReady 138x41 61,14 #ffffff",
              "Buttons/btnDone 111x110 55,101 #11b4b7", "0-fond 415,585 #0c1011",
              "0-fond-0-98 415,585 #11b4b7", "0-fond-99 401,235 #11b4b7",
              "1-accueil-1 210,405 #ffffff", "2-accueil-2 597,288 #13afb2",
              "3-reconnaissance 393,585 #11b4b7", "4-telechargement-1 415,585 #11b4b7",
              "5-telechargement-2 415,585 #11b4b7", "6-telechargement-3 415,585 #11b4b7",
              "7-telechargement-4 415,585 #11b4b7", "8-99-1 493,261 #0a2f31",
              "9-99-2 493,261 #0d7173", "10-99-3 493,261 #11b4b7", "11-fin 400,220 #ffffff"})
            QTest::newRow(picture) << QString(picture);
    }

    // 8-bit RGBA pictures under exact paths, each also at twice its size; the backgrounds opaque.
    void catalogue() {
        QFETCH(QString, picture);
        QStringList f = picture.split(QRegularExpression("[ x,]"));
        if (f.size() == 4) // a page
            f = QStringList{f[0], "801", "601"} + f.mid(1);
        const QString path = (f[0].contains('/') ? ":/" : ":/Pages2/") + f[0];
        const QImage image(path);
        QVERIFY(QResource(path).isValid() && image.format() == QImage::Format_ARGB32);
        QCOMPARE(image.size(), QSize(f[1].toInt(), f[2].toInt()));
        QCOMPARE(QImage(path + "@2x").size(), image.size() * 2);
        QVERIFY(near(image.pixel(f[3].toInt(), f[4].toInt()), QColor(f[5]), 3));
        QCOMPARE(count(image, [](QRgb p) { return qAlpha(p) < 255; }) == 0, path.contains("fond"));
    }

    // The wrap of a looping sequence says starting then finished; a running sequence restarts
    // at its first frame; stop() keeps the frame, silently. An empty path is the backdrop, a
    // background larger than the canvas is cut to it.
    void sequence() {
        AnimatedSequence anim;
        anim.resize(900, 700);
        anim.setBackground(":/icons/kernoIcon");
        anim.sequence.setLoop(true);
        anim.sequence.append(CrossfadeStep(":/icons/transparent-125.125", 7200000, 1, ""));
        QStringList heard;
        connect(&anim, &AnimatedSequence::starting, [&] { heard << "starting"; });
        connect(&anim, &AnimatedSequence::finished, [&] { heard << "finished"; });
        anim.start();
        auto first = [&] { return near(painted(&anim).pixel(800, 600), kTeal); }; // background
        QVERIFY(first() && !qAlpha(painted(&anim).pixel(850, 500)));
        QVERIFY(tick(&anim) && same(painted(&anim), QImage(":/Pages2/0-fond"), {0, 0, 801, 601}));
        QVERIFY(tick(&anim) && heard.join(' ') == "starting starting finished" && first());
        QVERIFY(tick(&anim) && !first());
        anim.start();
        QVERIFY(timerOf(&anim).interval == 7200000 && first());
        anim.stop();
        QVERIFY(first() && !tick(&anim) && heard.count("finished") == 1);
    }

    void arcSpans_data() {
        QTest::addColumn<QList<int>>("calls"); // the value, the maximum, the minimum; the span
        QTest::newRow("2 %, truncated toward zero") << QList<int>{2, 100, 0, -108};
        QTest::newRow("full") << QList<int>{100, 100, 0, -5440};
        QTest::newRow("offset range") << QList<int>{13, 20, 10, -1632};
        QTest::newRow("range narrowed, value kept") << QList<int>{100, 50, 0, -10880};
        QTest::newRow("above the range, ignored") << QList<int>{101, 100, 0, 0};
        QTest::newRow("below the range, ignored") << QList<int>{-1, 100, 0, 0};
    }

    void arcSpans() {
        QFETCH(QList<int>, calls);
        CircularProgressWidget progress;
        progress.setValue(calls[0]);
        progress.setMaximum(calls[1]);
        progress.setMinimum(calls[2]);
        QTRY_VERIFY(!progress.findChild<QPropertyAnimation*>()->state()); // the glide stopped
        QCOMPARE(progress.spanAngle(), calls[3]);
    }

    // Half an arc clockwise from 80°, darkest at its start, and nothing else: no frame, no text.
    void arcIsAllThatIsPainted() {
        CircularProgressWidget progress;
        progress.setText("TextLabel");
        progress.setFrameShape(QFrame::Box);
        progress.resize(125, 125);
        progress.setValue(50);
        QTRY_COMPARE(progress.spanAngle(), -2720);
        const QImage half = painted(&progress);
        // Along the pen's centre line, counter-clockwise from 3 o'clock.
        auto at = [&](double degrees, double r = 51.5) {
            return half.pixel((QLineF::fromPolar(r, degrees).p2() + QPointF(62.5, 62.5)).toPoint());
        };
        for (int degrees : {70, 30, 0, -45, -86, 87, 135, 180, 225, -97})
            QCOMPARE(qAlpha(at(degrees)), degrees > 75 || degrees < -90 ? 0 : 255);
        // A quarter of the way from the dark end at 3 o'clock; the pen 6 pixels wide.
        QVERIFY(near(at(0), QColor(11, 90, 92), 6) && !qAlpha(at(0, 56.5)));
        QCOMPARE(count(half, inked, QRect(0, 0, 55, 125)), 0); // no text, no frame
        progress.setValue(100);                                // glides from where it was
        QCOMPARE(progress.findChild<QPropertyAnimation*>()->startValue().toInt(), -2720);
        progress.setRange(5, 5);
        QCOMPARE(progress.spanAngle(), 0);
    }

    void pages_data() {
        QTest::addColumn<Frame>("frame");
        const auto row = [](const char* name, const Frame& frame) { QTest::newRow(name) << frame; };
        row("welcome", {0, 0, 1000, "0-fond 1-accueil-1 1-accueil-1", 1});
        row("welcome: fade", {0, 7, 16, "0-fond 1-accueil-1 2-accueil-2", 10 / 15.});
        row("connect", {1, 0, 2000, "0-fond 3-reconnaissance 3-reconnaissance", 1});
        row("last %: 1 to 2", {2, 5, 12, "0-fond-99 8-99-1 9-99-2", .5});
        row("last %: 2 to 3", {2, 16, 12, "0-fond-99 9-99-2 10-99-3", .5});
        row("last %: 3 to 2", {2, 27, 12, "0-fond-99 10-99-3 9-99-2", .5});
        row("last %: 2 to 1", {2, 38, 12, "0-fond-99 9-99-2 8-99-1", .5});
        row("last %: again", {2, 49, 12, "0-fond-99 8-99-1 9-99-2", .5});
        row("done", {3, 0, 250, "0-fond 11-fin 11-fin", 1});
        row("progress", {4, 0, 100, "0-fond-0-98 4-telechargement-1 5-telechargement-2", 1});
        row("progress 2", {4, 305, 100, "0-fond-0-98 5-telechargement-2 6-telechargement-3", 0});
        row("failure", {5, 0, -1, "", 1});
    }

    // Each page's pictures on screen some ticks after a reset (the second restarts the first),
    // repainted where they change.
    void pages() {
        QFETCH(Frame, frame);
        const auto& [page, ticks, interval, pictures, opacity] = frame;
        PageWelcomeForm welcome(nullptr);
        PageConnectAndDfuForm connect(nullptr);
        PageDfuLastPercentForm last(nullptr);
        PageDfuDoneForm done(nullptr);
        PageDfuProgressForm progress(nullptr);
        PageDfuFailedForm failed(nullptr); // text only
        failed.resize(801, 601);
        failed.appendErrorDesc("KernoTindalUpdateDlg", 517, "UHIDAPI is in error");
        auto* shown =
            QList<StackPageWidget*>{&welcome, &connect, &last, &done, &progress, &failed}[page];
        auto* anim = shown->findChild<AnimatedSequence*>();
        const QList<QWidget*> children = shown->findChildren<QWidget*>();
        QList<bool> wasShown;
        for (QWidget* child : children)
            wasShown << !child->isHidden();
        shown->show();
        QVERIFY(QTest::qWaitForWindowExposed(shown));
        shown->reset(), shown->reset();
        for (int i = 0; anim && i <= ticks; ++i) { // repainted between ticks, without the timers
            for (QWidget* child : shown->findChildren<QWidget*>()) // the pictures alone
                child->setVisible(child == anim);
            QCoreApplication::sendPostedEvents(shown, QEvent::UpdateRequest);
            QVERIFY(i == ticks || tick(anim));
        }
        const QImage screen = shown->screen()->grabWindow(shown->winId()).toImage();
        QCOMPARE(anim ? timerOf(anim).interval : -1, interval);
        for (int i = 0; i < children.size(); ++i) // the whole page, the arc half drawn
            children[i]->setVisible(wasShown[i]);
        progress.findChild<CircularProgressWidget*>()->setSpanAngle(-2720);
        const QImage whole = shown->grab(QRect(0, 0, 801, 601)).toImage();
        const QString shot = shots.filePath(QString(QTest::currentDataTag()).replace(' ', '_'));
        if (shown->devicePixelRatioF() == 1) {
            QVERIFY(!anim || same(screen, composed(pictures, opacity), anim->rect()));
            QVERIFY(QDir().mkpath(shots.path()) && whole.save(shot + ".png"));
            return;
        }
        // Twice the size: halved, the page at 1x everywhere (measured 2.8 to 11.4 with pictures,
        // 34.7 for text alone, black on white); its mean gradient well above that of the 1x
        // page blown up (measured 1.48 to 1.65 times with pictures; 1.14 to 1.22 with the 1x
        // pictures stretched; 1.22 for text alone).
        QVERIFY(whole.save(shot + "@2x.png"));
        const QImage at1x(shot + ".png");
        QCOMPARE(whole.size(), at1x.size() * 2);
        const double difference = blockDifference(
            whole.scaled(at1x.size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation), at1x);
        const double sharper =
            meanGradient(whole) / meanGradient(at1x.scaled(whole.size(), Qt::IgnoreAspectRatio,
                                                           Qt::SmoothTransformation));
        QVERIFY2(anim ? difference < 20 && sharper > 1.3 : difference < 40 && sharper > 1.1,
                 qPrintable(QString("difference %1, sharper by %2").arg(difference).arg(sharper)));
    }

    // Bitmap buttons draw nothing but their picture, clipped, in any state, and a ring while
    // focused; they take clicks without one, Enter and Space; the welcome button shows at the
    // end of the pictures, the done one at once.
    void buttons() {
        BitmapPushButton bare(nullptr);
        bare.resize(137, 40);
        QSignalSpy clicked(&bare, &QPushButton::clicked);
        QTest::mouseClick(&bare, Qt::LeftButton);
        QVERIFY(clicked.count() == 1 && count(painted(&bare), inked) == 0);
        for (auto k : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space, Qt::Key_Escape})
            QTest::keyClick(&bare, k);
        QTest::keyClick(&bare, Qt::Key_Return, Qt::ControlModifier);
        bare.show();
        QApplication::setActiveWindow(&bare);
        bare.setFocus();
        QVERIFY(clicked.count() == 4 && bare.hasFocus());
        const QImage ring = painted(&bare); // white over dark, on all four sides
        const auto white = [](QRgb p) { return qGray(p) > 200; };
        QVERIFY(count(ring, white, QRect(0, 0, 137, 5)) > 20 &&
                count(ring, inked, QRect(0, 35, 137, 5)) > 100 &&
                count(ring, inked, QRect(22, 5, 93, 30)) == 0);
        QVERIFY(count(ring, inked, QRect(0, 0, 5, 40)) && count(ring, inked, QRect(132, 0, 5, 40)));
        bare.clearFocus();
        bare.setPixmap(":/Buttons/btnReady");
        bare.setDown(true);
        QVERIFY(same(painted(&bare), QImage(":/Buttons/btnReady"), bare.rect()));
        PageWelcomeForm welcome(nullptr);
        PageDfuDoneForm done(nullptr);
        auto readyShown = [&] { return near(painted(&welcome).pixel(400, 529), kTeal, 12); };
        welcome.reset();
        QVERIFY(tick(welcome.findChild<AnimatedSequence*>(), 17) && !readyShown());
        QVERIFY(tick(welcome.findChild<AnimatedSequence*>()) && readyShown());
        welcome.reset(); // the pictures again; the button stays
        QSignalSpy goNext(&welcome, &PageWelcomeForm::goNext),
            doQuit(&done, &PageDfuDoneForm::doQuit);
        for (QWidget* page : QList<QWidget*>{&welcome, &welcome, &done, &done})
            QTest::mouseClick(page->findChild<BitmapPushButton*>(), Qt::LeftButton);
        QVERIFY(readyShown() && goNext.count() == 2 && doQuit.count() == 2);
        QVERIFY(near(painted(&done).pixel(400, 453), kTeal, 12)); // the open ring
        QVERIFY(!welcome.findChild<QPushButton*>("pChangeFirmwarePB")->isVisibleTo(&welcome));
    }

    // The phrase area in each of its modes, the percentage, and the two phrase animators.
    void progressPage() {
        using P = PageDfuProgressForm;
        P page(nullptr);
        auto* label = page.findChild<QLabel*>("pPhrasesChoc");
        auto* scroller = page.findChild<AnimatedPhrasesChoc*>("pAnimPhrasesChoc");
        auto* crawl = page.findChild<AnimatedPhrasesChoc_SW*>("pAnimPhrasesChocSW");
        page.findChild<Tune*>()->setSource(QUrl("http://127.0.0.1:1/theme.wav")); // nobody there
        // The phrases in turn every 2.5 s after the designed text, the same place in the table
        // after a new timer.
        QVERIFY(timerOf(&page).interval == 2500 && label->text() == "Phrases choc normale");
        QVERIFY(tick(&page, phrasesChoc().size() + 1) && label->text() == phrasesChoc()[0]);
        page.setNoScroll();
        QVERIFY(tick(&page) && label->text() == phrasesChoc()[1]);
        painted(scroller); // laid out: the whole table
        QVERIFY(scroller->offsetLimit() > 1000);
        // The scroller: white text, not the gold of its style, rising from below the band to
        // above it a pixel every 50 ms, then again; entries join with four line breaks.
        QCOMPARE(limitOf(scroller, {"a", "", "b"}), limitOf(scroller, {"a\n\n\n\n\n\n\n\nb"}));
        int limit = limitOf(scroller, {"HHHH"});
        scroller->start();
        QVERIFY(timerOf(scroller).interval == 50 && !count(painted(scroller), inked));
        QVERIFY(tick(scroller, 110) &&
                count(painted(scroller), [](QRgb p) { return p == 0xffffffff; }));
        QVERIFY(tick(scroller, limit - 110) && !count(painted(scroller), inked));
        QVERIFY(scroller->currentOffset() == limit && tick(scroller) && !scroller->currentOffset());
        // The crawl: entries join with one line break; gold text in perspective, fading into the
        // page background over the band's upper half.
        QCOMPARE(limitOf(crawl, {"a", "", "b"}), limitOf(crawl, {"a\n\nb"}));
        limit = limitOf(crawl, {"HHHHHHHH", "HHHHHHHH"});
        const QImage band = painted(crawl);
        QCOMPARE(band.copy(0, 0, 761, 1), QImage(":/Pages2/0-fond").copy(20, 381, 761, 1));
        QVERIFY(qAlpha(band.pixel(700, 1)) == 250 && qAlpha(band.pixel(700, 59)) == 4);
        // Where the band's lower left corner lands in perspective.
        const QTransform perspective = AnimatedPhrasesChoc_SW::crawlTransform(761);
        QVERIFY(QLineF(perspective.map(QPointF(0, 119)), {-200.15, 113.55}).length() < 0.1);
        const int wide = 0.6 * QFontMetrics(crawl->font()).horizontalAdvance("HHHHHHHH");
        const QRect lower(0, 60, 761, 60);
        QVERIFY(count(band, gold, QRect(380 - wide, 60, 9, 60)) &&
                count(band, gold, QRect(371 + wide, 60, 9, 60)));
        crawl->start();
        QVERIFY(timerOf(crawl).interval == 50 && tick(crawl, limit));
        QVERIFY(!count(painted(crawl), inked, lower) && tick(crawl) && !crawl->currentOffset());
        // Bits: label, scroller, crawl shown; scroller, crawl running; one phrase timer.
        auto mode = [&] {
            return label->isVisibleTo(&page) | scroller->isVisibleTo(&page) << 1 |
                   crawl->isVisibleTo(&page) << 2 | scroller->isRunning() << 3 |
                   crawl->isRunning() << 4 | bool(timerOf(&page).timerId) << 5;
        };
        const int still = 0b100001, scrolls = 0b001010, crawls = 0b010100;
        const QList<void (P::*)()> calls = {
            &P::setNormalScroll, &P::setStarWarsScroll, &P::setNormalScroll, &P::setNoScroll,
            &P::setNoScroll,     &P::setStarWarsScroll, &P::reset,           &P::setNoScroll};
        const QList<int> modes = {scrolls, crawls, scrolls, still, still, crawls, crawls, still};
        for (int i = 0; i < calls.size(); ++i) {
            (page.*calls[i])();
            QVERIFY(mode() == modes[i] && (!scroller->isRunning() || tick(scroller, 3)));
        }
        QCOMPARE(scroller->currentOffset(), 6); // went on where it stopped
        // The text is drawn a part at a time as the band moves on; the frames do not show where.
        QCOMPARE(strayFrames<AnimatedPhrasesChoc>(), 0);
        QCOMPARE(strayFrames<AnimatedPhrasesChoc_SW>(), 0);
    }

    // The texts the pages draw fit their boxes at the font resolution this run has (CTest runs
    // this again at 96 to 192 dpi and at scale 2): the version label, every phrase of the table,
    // the failure page's lines.
    void textFits() {
        const auto fits = [](QLabel* label, const QString& text) {
            const QFontMetrics metrics = label->fontMetrics();
            const QRect box = label->contentsRect();
            return metrics.height() <= box.height() &&
                   metrics.horizontalAdvance(text) <= box.width();
        };
        PageWelcomeForm welcome(nullptr);
        auto* version = welcome.findChild<QLabel*>("pFwVersionLbl");
        QVERIFY(fits(version, "V017"));
        for (const char* text : {"V027 2017/03/13", "V017"}) {
            welcome.setFwName(text);
            QVERIFY2(fits(version, text), qPrintable(version->font().toString()));
        }
        QVERIFY(version->fontMetrics().height() >= 12); // shrunk no further than it needs
        PageDfuProgressForm progress(nullptr);
        auto* label = progress.findChild<QLabel*>("pPhrasesChoc");
        const QStringList& table = phrasesChoc(); // entries and blanks, and the heading's place
        for (const QString& phrase : table)
            QVERIFY2(fits(label, phrase), qPrintable(phrase));
        QVERIFY(table.size() == 172 && table.count(QString()) == 52);
        QVERIFY(table[0] == "#Ouvrez grand les oreilles" && table[1] == "#Jamais sans ma Tindal 2");
        QVERIFY(table[8].endsWith("écoutent Kerno#") && table[110] == "Genre des phrases choc");
        // No-break spaces before French punctuation, curly apostrophes, UTF-8, 73 characters at
        // most.
        QVERIFY(table.filter(QRegularExpression(" [?!:;»](\\s|$)|« |'|\uFFFD|^.{74}")).isEmpty());
        // The failure page's lines: numbered, kept on reset, their descriptions grey rich text.
        PageDfuFailedForm failed(nullptr);
        failed.resize(801, 601);
        failed.appendErrorDesc("", 1, "<b>MMMMMMMM</b> é à ç");
        failed.reset();
        for (int line = 2; line <= 12; ++line)
            failed.appendErrorDesc("KernoTindalUpdateDlg", line,
                                   "Upgrade done, but problem "
                                   "with reset or API: a line long enough to wrap in the box");
        failed.show();
        QVERIFY(QTest::qWaitForWindowExposed(&failed));
        for (QLabel* box : failed.findChildren<QLabel*>())
            QVERIFY2(box->sizeHint().height() <= box->height(), qPrintable(box->text()));
        auto* context = failed.findChild<QPlainTextEdit*>();
        QVERIFY(context->horizontalScrollBar()->maximum() == 0 && // wrapped, ten lines in view
                context->viewport()->height() >= 10 * context->fontMetrics().lineSpacing());
        const QTextDocument* doc = context->document();
        QCOMPARE(doc->findBlockByNumber(1).text(), "n°1 : (1) : \u00a0MMMMMMMM é à ç");
        QVERIFY(doc->findBlockByNumber(2).text().startsWith("n°2 : KernoTindalUpdateDlg(2) : "));
        QCOMPARE(doc->find("à").charFormat().foreground().color(), QColor("#808080"));
        QCOMPARE(doc->find("MMMMMMMM").charFormat().fontWeight(), int(QFont::Bold));
    }

    // An apology, and a link that opens the home page as often as it is pressed.
    void initFailureDialog() {
        QDesktopServices::setUrlHandler("https", this, "openUrl");
        HidDfuDllInitFailedDlg dialog(nullptr);
        const QString apology = dialog.findChild<QLabel*>("label")->text();
        QVERIFY(apology.contains(
            ">Désolé, un problème est survenu lors de l'initialisation de l'application.<"));
        QVERIFY(apology.contains(
            ">Veuilez la télécharger à nouveau en cliquant sur le bouton ci dessous :<"));
        dialog.show();
        for (int i = 0; i < 2; ++i)
            QTest::mouseClick(dialog.findChild<QCommandLinkButton*>(), Qt::LeftButton);
        QVERIFY(opened.size() == 2 && opened[0] == opened[1] && opened[0].path().size() <= 1);
        QVERIFY(dialog.isVisible()); // still open
    }
};

QTEST_MAIN(PagesTest)
#include "tst_pages.moc"

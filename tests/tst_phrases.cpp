// The phrase table and the two animators that scroll it.

#include "AnimatedPhrasesChoc.h"
#include "AnimatedPhrasesChoc_SW.h"
#include "PhrasesChoc.h"
#include "TuneServer.h"

#include <QMoveEvent>
#include <QPainter>
#include <QRegularExpression>
#include <QTimerEvent>
#include <QtTest>

namespace {

// Exposes the animators' state and ticks them without waiting for the timer.
struct Scroller : AnimatedPhrasesChoc {
    using AnimatedPhrasesChoc::pixRect;
    using AnimatedPhrasesChoc::text;
    void tick(int n = 1) {
        for (int i = 0; i < n; ++i) {
            QTimerEvent event(timerId);
            timerEvent(&event);
        }
    }
};

struct Crawl : AnimatedPhrasesChoc_SW {
    using AnimatedPhrasesChoc_SW::background;
    using AnimatedPhrasesChoc_SW::fadeImage;
    using AnimatedPhrasesChoc_SW::pixmap;
    using AnimatedPhrasesChoc_SW::text;
    void tick(int n = 1) {
        for (int i = 0; i < n; ++i) {
            QTimerEvent event(timerId);
            timerEvent(&event);
        }
    }
};

QImage render(QWidget& widget, QColor fill = Qt::transparent) {
    QImage image(widget.size(), QImage::Format_ARGB32);
    image.fill(fill);
    widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

bool isTransparent(const QImage& image) {
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) != 0)
                return false;
    return true;
}

// Columns of row y whose pixel is the colour c (within 2 per channel).
QList<int> columnsOf(const QImage& image, int y, QColor c) {
    QList<int> xs;
    for (int x = 0; x < image.width(); ++x) {
        const QRgb p = image.pixel(x, y);
        if (qAbs(qRed(p) - c.red()) <= 2 && qAbs(qGreen(p) - c.green()) <= 2 &&
            qAbs(qBlue(p) - c.blue()) <= 2 && qAlpha(p) == 255)
            xs << x;
    }
    return xs;
}

const QColor kGold(220, 182, 81);

} // namespace

class tst_Phrases : public QObject {
    Q_OBJECT
private slots:
    void tableStructure();
    void tableTypography();
    void scrollerJoinsAndCycles();
    void scrollerDrawsWhiteText();
    void crawlJoinsAndCycles();
    void crawlTransform();
    void fadeOverlay();
    void crawlDrawsGoldInPerspective();
};

void tst_Phrases::tableStructure() {
    const QStringList& t = phrasesChoc();
    QCOMPARE(t.size(), 172);
    QCOMPARE(t.count(QString()), 52);
    int longest = 0, leadingSpaces = 0;
    for (const QString& s : t) {
        longest = qMax(longest, s.size());
        leadingSpaces += s.startsWith(QLatin1Char(' '));
    }
    QCOMPARE(longest, 73);
    QCOMPARE(leadingSpaces, 2);
    QVERIFY(t.contains(QStringLiteral("#Ouvrez grand les oreilles")));
    QVERIFY(t.contains(QStringLiteral("#Jamais sans ma Tindal 2")));
    QCOMPARE(t.at(110), QStringLiteral("Genre des phrases choc"));
    QVERIFY(t.at(8).endsWith(QLatin1String("Kerno#")));

    // Groups as (first index, length), and the blank runs between them.
    QList<QPair<int, int>> groups, gaps;
    for (int i = 0; i < t.size();) {
        const bool blank = t.at(i).isEmpty();
        int j = i;
        while (j < t.size() && t.at(j).isEmpty() == blank)
            ++j;
        (blank ? gaps : groups) << qMakePair(i, j - i);
        i = j;
    }
    const QList<int> sizes = {9, 13, 8, 1, 1, 1, 2, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 6,
                              8, 7, 1, 1, 5, 4, 2, 4, 3, 2, 1, 1, 5, 1, 1, 2, 3, 3, 5, 1};
    QList<int> actual;
    for (const auto& g : groups)
        actual << g.second;
    QCOMPARE(actual, sizes);
    QCOMPARE(groups.at(6).first, 45);
    QCOMPARE(groups.at(20).first, 76);
    QCOMPARE(groups.last().first + groups.last().second, 172);
    QList<int> gapSizes;
    for (const auto& g : gaps)
        gapSizes << g.second;
    QCOMPARE(gapSizes.mid(0, 3), QList<int>({3, 3, 3}));
    QCOMPARE(gapSizes.count(1), gaps.size() - 5);
    QCOMPARE(gapSizes.at(19), 3);  // before the crawl
    QCOMPARE(gapSizes.at(25), 2);  // before the heading

    for (int i = 76; i <= 107; ++i)
        QVERIFY2(t.at(i).size() <= 33, qPrintable(t.at(i)));
}

void tst_Phrases::tableTypography() {
    // French punctuation takes a no-break space, apostrophes are curly.
    const QRegularExpression plainSpaceBefore(QStringLiteral(" [?!:;»](\\s|$)|« "));
    for (const QString& s : phrasesChoc()) {
        QVERIFY2(!plainSpaceBefore.match(s).hasMatch(), qPrintable(s));
        QVERIFY2(!s.contains(QLatin1Char('\'')), qPrintable(s));
        QVERIFY2(!s.contains(QChar::ReplacementCharacter), qPrintable(s));
    }
    QVERIFY(phrasesChoc().join(QString()).contains(QStringLiteral("é")));
}

void tst_Phrases::scrollerJoinsAndCycles() {
    Scroller w;
    w.setPhrases({QStringLiteral("a"), QString(), QStringLiteral("b")});
    QCOMPARE(w.text, QStringLiteral("a\n\n\n\n\n\n\n\nb"));

    w.resize(200, 50);
    w.setPhrases({QStringLiteral("HHHH")});
    render(w);
    const int limit = w.offsetLimit();
    QVERIFY(limit > 50 + 10);
    QCOMPARE(w.pixRect.height(), limit + 50);

    w.start();
    w.tick(limit);
    QCOMPARE(w.currentOffset(), limit);
    w.tick();
    QCOMPARE(w.currentOffset(), 0);
    w.tick(7);
    w.stop();
    QVERIFY(!w.isRunning());
    w.start();
    QCOMPARE(w.currentOffset(), 7);
    QTRY_VERIFY(w.currentOffset() > 7);  // the real timer moves it too

    // A resize keeps the old layout until the next setPhrases.
    w.resize(300, 80);
    render(w);
    QCOMPARE(w.offsetLimit(), limit);
    w.setPhrases({QStringLiteral("HHHH")});
    render(w);
    QCOMPARE(w.offsetLimit(), limit + 30);
    QCOMPARE(w.currentOffset(), 0);
}

void tst_Phrases::scrollerDrawsWhiteText() {
    QWidget page;
    page.setStyleSheet(QStringLiteral("color: rgb(220, 182, 81);"));
    Scroller* w = new Scroller;
    w->setParent(&page);
    w->setGeometry(0, 0, 200, 50);
    w->setFont(QFont(QStringLiteral("Arial"), 18));
    w->setPhrases({QStringLiteral("HHHH")});

    QVERIFY(isTransparent(render(*w)));  // blank band above the text
    w->start();
    w->tick(50);  // the text's top now sits at the top edge
    const QImage shown = render(*w);
    int white = 0, coloured = 0;
    for (int y = 0; y < shown.height(); ++y)
        for (int x = 0; x < shown.width(); ++x) {
            const QRgb p = shown.pixel(x, y);
            white += p == qRgba(255, 255, 255, 255);
            coloured += qRed(p) != qBlue(p);
        }
    QVERIFY(white > 20);
    QCOMPARE(coloured, 0);
    w->tick(w->offsetLimit() - 50);
    QVERIFY(isTransparent(render(*w)));  // blank band below the text

    w->setPhrases({});
    for (int i = 0; i < 3; ++i, w->tick(20))
        QVERIFY(isTransparent(render(*w)));
}

void tst_Phrases::crawlJoinsAndCycles() {
    TuneServer server;
    Crawl w;
    w.setThemeSource(server.url(QStringLiteral("/star-wars-theme-song.wav")));
    w.setPhrases({QStringLiteral("a"), QString(), QStringLiteral("b")});
    QCOMPARE(w.text, QStringLiteral("a\n\nb"));
    w.resize(300, 120);
    render(w);
    const int limit = w.offsetLimit();
    QVERIFY(limit > 120);
    w.start();
    w.tick(limit);
    QCOMPARE(w.currentOffset(), limit);
    w.tick();
    QCOMPARE(w.currentOffset(), 0);
    w.stop();
    w.stop();  // silences also with no timer
    QVERIFY(!w.isRunning());
}

void tst_Phrases::crawlTransform() {
    const QTransform t = AnimatedPhrasesChoc_SW::crawlTransform(761);
    for (int y : {0, 60, 119})
        QCOMPARE(t.map(QPointF(380, y)).x(), 380.0);
    QCOMPARE(t.map(QPointF(0, 0)), QPointF(0.2 * 380, 0));
    const QPointF bottomLeft = t.map(QPointF(0, 119));
    QVERIFY(qAbs(bottomLeft.y() - 0.5 * 119 / (1 - 0.004 * 119)) < 1e-9);
    QVERIFY(qAbs((380 - bottomLeft.x()) / 380 - 1.527) < 0.01);  // wider than the band
}

void tst_Phrases::fadeOverlay() {
    // A background whose pixels tell where they come from.
    QImage background(801, 601, QImage::Format_ARGB32);
    for (int y = 0; y < 601; ++y)
        for (int x = 0; x < 801; ++x)
            background.setPixel(x, y, qRgb(x % 256, y % 256, 77));
    QWidget page;
    page.resize(801, 601);
    Crawl* w = new Crawl;
    w->background = background;
    w->setParent(&page);
    w->setGeometry(20, 381, 761, 120);
    page.show();  // delivers the first move event

    QCOMPARE(w->fadeImage.size(), QSize(761, 60));
    QCOMPARE(w->fadeImage.format(), QImage::Format_ARGB32);
    QCOMPARE(qAlpha(w->fadeImage.pixel(0, 0)), 255);
    QCOMPARE(qAlpha(w->fadeImage.pixel(5, 1)), 250);
    QCOMPARE(qAlpha(w->fadeImage.pixel(760, 59)), 4);
    for (int y = 1; y < 60; ++y) {
        QVERIFY(qAlpha(w->fadeImage.pixel(100, y)) < qAlpha(w->fadeImage.pixel(100, y - 1)));
        QCOMPARE(qAlpha(w->fadeImage.pixel(0, y)), qAlpha(w->fadeImage.pixel(760, y)));
    }
    QCOMPARE(w->fadeImage.pixel(0, 0) & 0xFFFFFF, background.pixel(20, 381) & 0xFFFFFF);
    QCOMPARE(w->fadeImage.pixel(760, 59) & 0xFFFFFF, background.pixel(780, 440) & 0xFFFFFF);

    w->move(30, 300);
    QCOMPARE(w->fadeImage.pixel(0, 0) & 0xFFFFFF, background.pixel(30, 300) & 0xFFFFFF);
    w->resize(761, 100);  // a resize alone keeps the overlay
    QCOMPARE(w->fadeImage.height(), 60);

    // The top row of the band is the background itself.
    w->setPhrases({QStringLiteral("HHHH")});
    const QImage shown = render(*w, Qt::black);
    QCOMPARE(shown.pixel(10, 0), background.pixel(40, 300) | 0xFF000000);

    // The real overlay comes from the plain backdrop, when the artwork is there.
    const QImage backdrop(QStringLiteral(":/Pages2/0-fond"));
    if (backdrop.isNull()) {
        qInfo("artwork not present: overlay source not checked");
        return;
    }
    Crawl* real = new Crawl;
    real->setParent(&page);
    real->setGeometry(20, 381, 761, 120);
    real->show();
    QCOMPARE(real->fadeImage.pixel(3, 2) & 0xFFFFFF, backdrop.pixel(23, 383) & 0xFFFFFF);
    QCOMPARE(real->fadeImage.pixel(700, 50) & 0xFFFFFF, backdrop.pixel(720, 431) & 0xFFFFFF);
}

void tst_Phrases::crawlDrawsGoldInPerspective() {
    QWidget page;
    page.setStyleSheet(QStringLiteral("color: rgb(10, 200, 10);"));
    page.resize(801, 601);
    Crawl* w = new Crawl;
    w->background = QImage();  // no overlay: the whole band is visible
    w->setParent(&page);
    w->setGeometry(20, 381, 761, 120);
    w->setFont(QFont(QStringLiteral("Arial"), 24));
    w->setPhrases({QStringLiteral("HHHHHHHH"), QStringLiteral("HHHHHHHH")});
    const QImage shown = render(*w, Qt::black);

    // Offset 0: half a band of blank above the first line, which lands near
    // row 40 after the transform; the second line fills the lower part.
    for (int y = 0; y < 36; ++y)
        QVERIFY2(columnsOf(shown, y, kGold).isEmpty(), qPrintable(QString::number(y)));
    QList<int> upper, lower;
    for (int y = 40; y < 78; ++y)
        upper += columnsOf(shown, y, kGold);
    for (int y = 82; y < 116; ++y)
        lower += columnsOf(shown, y, kGold);
    QVERIFY(!upper.isEmpty());
    QVERIFY(!lower.isEmpty());
    std::sort(upper.begin(), upper.end());
    std::sort(lower.begin(), lower.end());
    // Same line, drawn wider lower down, both centred on the middle column.
    QVERIFY(lower.last() - lower.first() > (upper.last() - upper.first()) * 1.1);
    QVERIFY(qAbs((upper.first() + upper.last()) / 2 - 380) <= 3);
    QVERIFY(qAbs((lower.first() + lower.last()) / 2 - 380) <= 3);
    for (int y = 0; y < shown.height(); ++y)
        QVERIFY(columnsOf(shown, y, QColor(10, 200, 10)).isEmpty());

    // The band matches a painter drawing the same window under the transform.
    w->start();
    w->tick(57);
    const QImage moved = render(*w, Qt::black);
    QImage expected(w->size(), QImage::Format_ARGB32);
    expected.fill(Qt::black);
    {
        QPainter painter(&expected);
        painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
        painter.setTransform(AnimatedPhrasesChoc_SW::crawlTransform(w->width()));
        const QRect window(0, 57, w->width(), w->height());
        painter.drawImage(QRect(QPoint(0, 0), window.size()), w->pixmap, window);
    }
    int lit = 0, off = 0;
    for (int y = 0; y < moved.height(); ++y)
        for (int x = 0; x < moved.width(); ++x) {
            const QRgb a = moved.pixel(x, y), b = expected.pixel(x, y);
            lit += qGreen(b) > 100;
            off += qAbs(qRed(a) - qRed(b)) + qAbs(qGreen(a) - qGreen(b)) + qAbs(qBlue(a) - qBlue(b)) > 90;
        }
    QVERIFY(lit > 1000);
    QVERIFY2(off < lit / 50, qPrintable(QStringLiteral("%1 of %2").arg(off).arg(lit)));
}

QTEST_MAIN(tst_Phrases)
#include "tst_phrases.moc"

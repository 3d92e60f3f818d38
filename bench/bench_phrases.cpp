// Frame costs of the two phrase animators, and the crawl's fade overlay built
// with direct pixel writes against one antialiased point drawing per pixel.

#include "AnimatedPhrasesChoc.h"
#include "AnimatedPhrasesChoc_SW.h"
#include "PhrasesChoc.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <QTimerEvent>

#include <cstdio>

namespace {

template <class Animator>
struct Ticking : Animator {
    void tick() {
        QTimerEvent event(this->timerId);
        this->timerEvent(&event);
    }
    const auto& textPicture() const { return this->strip; }
};

template <class Animator>
void benchAnimator(const char* name, Animator& w, int frames) {
    QImage target(w.size(), QImage::Format_ARGB32_Premultiplied);
    QElapsedTimer clock;
    clock.start();
    w.render(&target, QPoint(), QRegion(), QWidget::DrawChildren);  // lays the text out
    const double layoutMs = clock.nsecsElapsed() / 1e6;
    w.start();
    clock.restart();
    for (int i = 0; i < frames; ++i) {
        w.tick();
        w.render(&target, QPoint(), QRegion(), QWidget::DrawChildren);
    }
    const double frameMs = clock.nsecsElapsed() / 1e6 / frames;
    w.stop();
    std::printf("%-28s first paint (layout) %8.2f ms   frame %7.3f ms   %5.2f %% of a core at 20 fps\n",
                name, layoutMs, frameMs, frameMs * 20 / 10);
}

// The overlay as a painter would draw it: one point per pixel.
QImage fadeByPoints(const QImage& fadeSource) {
    QImage fade(fadeSource.size(), QImage::Format_ARGB32);
    fade.fill(Qt::transparent);
    QPainter painter(&fade);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing |
                           QPainter::SmoothPixmapTransform);
    const int h2 = fadeSource.height();
    for (int y = 0; y < h2; ++y) {
        const double a = double(h2 - y) / h2;
        for (int x = 0; x < fadeSource.width(); ++x) {
            QColor c = fadeSource.pixelColor(x, y);
            c.setAlpha(int(a * 255));
            painter.setPen(c);
            painter.drawPoint(x, y);
        }
    }
    return fade;
}

template <class F>
double perCallMs(F f, int runs) {
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < runs; ++i)
        f();
    return clock.nsecsElapsed() / 1e6 / runs;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    const int frames = 400;

    QWidget page;
    page.resize(801, 601);
    auto* scroller = new Ticking<AnimatedPhrasesChoc>;
    scroller->setParent(&page);
    scroller->setGeometry(0, 391, 801, 110);
    scroller->setFont(QFont(QStringLiteral("Arial"), 18));
    scroller->setPhrases(phrasesChoc());
    auto* crawl = new Ticking<AnimatedPhrasesChoc_SW>;
    crawl->setParent(&page);
    crawl->setGeometry(20, 381, 761, 120);
    crawl->setFont(QFont(QStringLiteral("Arial"), 24));
    crawl->setPhrases(phrasesChoc());

    std::printf("phrase table: %d entries, scroller limit and crawl limit follow the layout\n",
                phrasesChoc().size());
    benchAnimator("scroller (801 x 110)", *scroller, frames);
    benchAnimator("crawl (761 x 120)", *crawl, frames);
    std::printf("scroller limit %d px, crawl limit %d px\n", scroller->offsetLimit(),
                crawl->offsetLimit());

    // The same crawl frames drawn by a painter under the projective transform, from the
    // strip of text picture that the crawl holds.
    QImage target(crawl->size(), QImage::Format_ARGB32_Premultiplied);
    const QTransform transform = AnimatedPhrasesChoc_SW::crawlTransform(crawl->width());
    const QImage strip = crawl->textPicture();
    int offset = 0;
    const double painterMs = perCallMs(
        [&] {
            target.fill(Qt::transparent);
            QPainter painter(&target);
            painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing |
                                   QPainter::SmoothPixmapTransform);
            painter.setTransform(transform);
            const int top = offset++ % qMax(1, strip.height() - crawl->height());
            const QRect window(0, top, crawl->width(), crawl->height());
            painter.drawImage(QRect(QPoint(0, 0), window.size()), strip, window);
        },
        frames);
    std::printf("crawl text through a painter transform (reference) %.3f ms per frame\n", painterMs);

    QImage backdrop(QStringLiteral(":/Pages2/0-fond"));
    if (backdrop.isNull()) {
        backdrop = QImage(801, 601, QImage::Format_ARGB32);
        backdrop.fill(QColor(30, 30, 34));
    }
    const QImage source = backdrop.copy(20, 381, 761, 60).convertToFormat(QImage::Format_ARGB32);
    const double direct = perCallMs([&] { AnimatedPhrasesChoc_SW::makeFadeImage(source); }, 200);
    const double points = perCallMs([&] { fadeByPoints(source); }, 5);
    std::printf("fade overlay 761 x 60: direct pixel writes %.4f ms, one point per pixel %.2f ms, "
                "ratio %.0f x\n",
                direct, points, points / direct);
    return 0;
}

// Costs of the picture backdrops and the circular progress, offscreen.
//
//   bench_art [seconds]   (seconds of looping per backdrop, 10 by default)
//
// Prints the time to compose one 801 x 601 frame of AnimatedSequence, to paint the
// circular progress at 125 x 125, and the share of one core that the progress page's
// backdrop and the last-percent swing use while they loop.

#include "AnimatedSequence.h"
#include "CircularProgressWidget.h"
#include "PageDfuLastPercentForm.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QImage>
#include <QTimer>

#include <cstdio>
#include <ctime>

namespace {

double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

class PaintCounter : public QObject {
public:
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
        paints += event->type() == QEvent::Paint;
        return false;
    }
};

// The progress page's backdrop script.
void progressBackdrop(AnimatedSequence& anim) {
    anim.setBackground(QStringLiteral(":/Pages2/0-fond-0-98"));
    anim.sequence.setLoop(true);
    const QString pictures[] = {QStringLiteral(":/Pages2/4-telechargement-1"), QStringLiteral(":/Pages2/5-telechargement-2"),
                                QStringLiteral(":/Pages2/6-telechargement-3"), QStringLiteral(":/Pages2/7-telechargement-4")};
    for (int i = 0; i < 4; ++i)
        anim.sequence.append(CrossfadeStep(pictures[i], 5000, 50, pictures[(i + 1) % 4]));
}

double perCallMs(int count, const std::function<void()>& call) {
    call(); // warm
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < count; ++i)
        call();
    return timer.nsecsElapsed() / 1e6 / count;
}

struct Share {
    double cpuPercent;
    double paintsPerSecond;
    double startsPerSecond;
};

// Shows the widget and lets the event loop run it for `seconds`.
Share measureLoop(QWidget& shown, QObject& painted, AnimatedSequence& anim, void (*restart)(QWidget&), double seconds) {
    shown.show();
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 300)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    PaintCounter counter;
    painted.installEventFilter(&counter);
    int starts = 0;
    const auto connection = QObject::connect(&anim, &AnimatedSequence::starting, [&] { ++starts; });
    restart(shown);
    const double cpu0 = processCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    QEventLoop loop;
    QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
    const double elapsed = wall.nsecsElapsed() / 1e9;
    const double cpu = processCpuSeconds() - cpu0;
    QObject::disconnect(connection);
    painted.removeEventFilter(&counter);
    shown.hide();
    return {100.0 * cpu / elapsed, counter.paints / elapsed, starts / elapsed};
}

} // namespace

int main(int argc, char* argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const double seconds = argc > 1 ? QString::fromLocal8Bit(argv[1]).toDouble() : 10.0;

    // One frame: the progress backdrop halfway through a fade.
    AnimatedSequence anim;
    anim.resize(801, 601);
    progressBackdrop(anim);
    anim.start();
    QImage target(801, 601, QImage::Format_ARGB32_Premultiplied);
    const double frameMs = perCallMs(500, [&] { anim.render(&target); });
    std::printf("AnimatedSequence, one 801 x 601 frame (compose + copy): %.3f ms\n", frameMs);

    CircularProgressWidget progress;
    progress.resize(125, 125);
    progress.setRange(0, 100);
    progress.setValue(50);
    progress.setSpanAngle(-2720);
    QImage small(125, 125, QImage::Format_ARGB32_Premultiplied);
    const double arcMs = perCallMs(5000, [&] { progress.render(&small); });
    std::printf("CircularProgressWidget, one 125 x 125 paint: %.3f ms\n", arcMs);
    anim.stop();

    // The progress backdrop looping on screen (100 ms ticks).
    AnimatedSequence backdrop;
    backdrop.resize(801, 601);
    progressBackdrop(backdrop);
    const Share loop = measureLoop(backdrop, backdrop, backdrop,
                                   [](QWidget& w) { static_cast<AnimatedSequence&>(w).start(); }, seconds);
    std::printf("Progress backdrop looping %.0f s: %.2f %% of one core, %.1f frames/s (designed 9.8)\n", seconds,
                loop.cpuPercent, loop.paintsPerSecond);

    // The last-percent swing (12 ms ticks, 11 per step, 4 steps per cycle).
    PageDfuLastPercentForm last(nullptr);
    last.resize(801, 601);
    auto* swingAnim = last.findChild<AnimatedSequence*>(QStringLiteral("pAnim"));
    const Share swing = measureLoop(last, *swingAnim, *swingAnim,
                                    [](QWidget& w) { static_cast<PageDfuLastPercentForm&>(w).reset(); }, seconds);
    std::printf("Last-percent swing %.0f s: %.2f %% of one core, %.1f frames/s (designed 83.3), "
                "%.2f cycles/s (designed %.2f)\n",
                seconds, swing.cpuPercent, swing.paintsPerSecond, swing.startsPerSecond, 1000.0 / (4 * 11 * 12));
    return 0;
}

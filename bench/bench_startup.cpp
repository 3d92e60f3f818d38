// Time from process start to the dialog's first painted frame, offscreen.
// Runs itself as a child repeatedly and prints min / median / max.
#include "KernoTindalUpdateDlg.h"

#include <QApplication>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace {

qint64 monotonicNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

class FirstPaint : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint && !seen && watched->isWidgetType()) {
            seen = true;
            // Report once the paint that started here has finished.
            QTimer::singleShot(0, [] {
                std::printf("%lld\n", static_cast<long long>(monotonicNs()));
                std::fflush(stdout);
                QCoreApplication::exit(0);
            });
        }
        return false;
    }
    bool seen = false;
};

int child(int argc, char** argv) {
    QApplication app(argc, argv);
    FirstPaint filter;
    app.installEventFilter(&filter);
    KernoTindalUpdateDlg dialog;
    dialog.show();
    return app.exec();
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsSet("KERNO_BENCH_CHILD"))
        return child(argc, argv);
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 15;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KERNO_BENCH_CHILD", "1");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    QList<double> ms;
    for (int i = 0; i < runs; ++i) {
        QProcess process;
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::SeparateChannels);
        const qint64 started = monotonicNs();
        process.start(QCoreApplication::applicationFilePath(), QStringList());
        if (!process.waitForFinished(30000) || process.exitCode() != 0) {
            std::fprintf(stderr, "run %d failed: %s\n", i, process.readAllStandardError().constData());
            return 1;
        }
        const qint64 painted = process.readAllStandardOutput().trimmed().toLongLong();
        ms << (painted - started) / 1e6;
    }
    std::sort(ms.begin(), ms.end());
    std::printf("startup to first painted frame over %d runs: min %.1f ms, median %.1f ms, "
                "max %.1f ms\n",
                runs, ms.first(), ms.at(ms.size() / 2), ms.last());
    return 0;
}

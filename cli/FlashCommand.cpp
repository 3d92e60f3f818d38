// kerno-dfu flash and reset: one worker per speaker, all at once.
#include "Cli.h"
#include "DfuFile.h"

#include "ProgressView.h"
#include "SignalWatcher.h"
#include "Worker.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <memory>
#include <vector>

namespace cli {

int runFlash(const Options& options, const QString& file) {
    hidDfuFileInfo info{};
    QString why;
    // Refused before any speaker is touched.
    if (!file.isEmpty() && !checkFile(file, info, why)) {
        printError("refused: " + why);
        return kFileRefused;
    }
    int exit = kDone;
    const QVector<Speaker> speakers = chooseSpeakers(options, exit);
    if (SignalWatcher::caught())
        return kSignalBase + SignalWatcher::caught();
    if (exit != kDone)
        return exit;

    const ProgressView::Style style = options.json       ? ProgressView::Json
                                      : options.terminal ? ProgressView::Bars
                                                         : ProgressView::Lines;
    ProgressView view(style, speakers,
                      file.isEmpty() ? 0 : qint64(info.fileSize) - qint64(hiddfu::kDfuSuffixSize));
    QEventLoop loop;
    std::vector<std::unique_ptr<Worker>> workers;
    int running = speakers.size(), failed = 0, notOpened = 0, stopped = 0;
    for (int i = 0; i < speakers.size(); ++i) {
        workers.push_back(std::make_unique<Worker>(speakers[i], file));
        Worker* worker = workers.back().get();
        // The loop as context: the workers' signals come from their threads, queued to this one.
        QObject::connect(worker, &Worker::progressed, &loop,
                         [&view, i](int p) { view.progressed(i, p); });
        QObject::connect(worker, &Worker::restarting, &loop, [&view, i] { view.restarting(i); });
        QObject::connect(worker, &Worker::finished, &loop,
                         [&, i](int outcome, int code, const QString& error) {
                             view.finished(i, outcome, code, error);
                             failed += outcome == Worker::Failed;
                             notOpened += outcome == Worker::NotOpened;
                             stopped += outcome == Worker::Stopped;
                             if (--running == 0)
                                 loop.quit();
                         });
    }
    // Ctrl+C, SIGTERM, SIGHUP: every transfer stops cleanly, as in the window.
    SignalWatcher* watcher = qApp ? qApp->findChild<SignalWatcher*>() : nullptr;
    if (watcher)
        QObject::connect(watcher, &SignalWatcher::signalled, &loop, [&workers] {
            for (auto& worker : workers)
                worker->stop();
        });
    for (auto& worker : workers)
        worker->start();
    loop.exec();
    workers.clear();

    if (stopped) {
        exit = kSignalBase + SignalWatcher::caught();
    } else if (notOpened && speakers.size() == 1) {
        exit = kNoSpeaker;
    } else if (failed || notOpened) {
        exit = kFailed;
    }
    view.summary();
    if (stopped)
        printError(QStringLiteral("interrupted: %1 speaker(s) stopped before the end of their "
                                  "update; run the update again")
                       .arg(stopped));
    return exit;
}

} // namespace cli

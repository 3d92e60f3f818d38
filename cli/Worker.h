// One speaker's update (or restart) on its own thread: open, write, follow
// the progress, restart, close. Its signals reach the thread the object
// lives in, queued.
#pragma once

#include "Cli.h"

#include <QObject>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace cli {

class Worker : public QObject {
    Q_OBJECT
public:
    enum Outcome { Updated, Restarted, Failed, NotOpened, Stopped };
    Q_ENUM(Outcome)

    // An empty file: restart only.
    Worker(Speaker speaker, QString file, QObject* parent = nullptr);
    ~Worker() override; // waits for the thread

    void start();
    // Stops a transfer at its next progress poll; a restart under way finishes.
    void stop();

signals:
    void progressed(int percent);
    void restarting();
    void finished(int outcome, int code, const QString& error);

private:
    void run();
    bool pause(); // false when asked to stop

    const Speaker speaker_;
    const QString file_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
};

} // namespace cli

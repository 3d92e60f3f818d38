// SIGINT, SIGTERM and SIGHUP as events: the handler only writes the signal's
// number into a pipe; the event loop reads it.
#pragma once

#include <QObject>

class QSocketNotifier;

namespace cli {

class SignalWatcher : public QObject {
    Q_OBJECT
public:
    explicit SignalWatcher(QObject* parent = nullptr);
    ~SignalWatcher() override;

    static int caught(); // the first signal caught, 0 before any

signals:
    void signalled(int number);

private:
    void readPipe();
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace cli

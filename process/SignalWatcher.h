#pragma once

#include <QObject>

class QSocketNotifier;

// SIGINT, SIGTERM and SIGHUP as a Qt signal: the handler only writes the signal's number to a
// socket pair that the event loop watches. Only the first one is told; the handlers are then
// given back, so a second one ends the process as it would have without us (a hung clean-up
// can still be interrupted). A signal ignored at start (nohup, a background job) stays ignored.
// Outside Unix it watches nothing.
class SignalWatcher : public QObject {
    Q_OBJECT
public:
    explicit SignalWatcher(QObject* parent = nullptr);
    ~SignalWatcher() override;

    // The signal told, 0 before any.
    static int caught();

signals:
    void signalled(int number);

private:
    void readSignal();
    QSocketNotifier* notifier = nullptr;
};

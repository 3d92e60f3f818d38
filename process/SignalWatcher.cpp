#include "SignalWatcher.h"

#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const int kWatched[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction previous[3];
bool installed[3] = {};
int socketPair[2] = {-1, -1};
int told = 0;

void onSignal(int number) {
    const int savedErrno = errno;
    const char byte = static_cast<char>(number);
    [[maybe_unused]] const ssize_t written = ::write(socketPair[1], &byte, 1);
    errno = savedErrno;
}

void giveBackHandlers() {
    for (int i = 0; i < 3; ++i)
        if (installed[i])
            ::sigaction(kWatched[i], &previous[i], nullptr), installed[i] = false;
}

} // namespace

SignalWatcher::SignalWatcher(QObject* parent) : QObject(parent) {
    if (socketPair[0] >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM, 0, socketPair) != 0)
        return; // one watcher per process; without one the default actions stay
    for (int fd : socketPair) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, O_NONBLOCK); // a flood of signals must not block the handler
    }
    notifier = new QSocketNotifier(socketPair[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &SignalWatcher::readSignal);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 3; ++i) {
        ::sigaction(kWatched[i], nullptr, &previous[i]);
        if (previous[i].sa_handler != SIG_IGN)
            installed[i] = ::sigaction(kWatched[i], &action, nullptr) == 0;
    }
}

SignalWatcher::~SignalWatcher() {
    if (!notifier)
        return;
    giveBackHandlers();
    delete notifier;
    for (int& fd : socketPair)
        ::close(fd), fd = -1;
}

int SignalWatcher::caught() {
    return told;
}

void SignalWatcher::readSignal() {
    char byte = 0;
    if (::read(socketPair[0], &byte, 1) != 1)
        return;
    giveBackHandlers();
    notifier->setEnabled(false);
    told = byte;
    emit signalled(byte);
}

#else

SignalWatcher::SignalWatcher(QObject* parent) : QObject(parent) {}
SignalWatcher::~SignalWatcher() = default;
int SignalWatcher::caught() {
    return 0;
}
void SignalWatcher::readSignal() {}

#endif

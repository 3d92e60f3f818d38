#include "SignalWatcher.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace cli {
namespace {

int pipeFds[2] = {-1, -1};
int first = 0;
const int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void onSignal(int number) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(number);
    [[maybe_unused]] const ssize_t n = ::write(pipeFds[1], &byte, 1);
    errno = saved;
}

} // namespace

SignalWatcher::SignalWatcher(QObject* parent) : QObject(parent) {
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    notifier_ = new QSocketNotifier(pipeFds[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &SignalWatcher::readPipe);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int number : kSignals)
        sigaction(number, &action, nullptr);
}

SignalWatcher::~SignalWatcher() {
    for (int number : kSignals)
        std::signal(number, SIG_DFL);
    for (int& fd : pipeFds)
        if (fd >= 0)
            ::close(fd), fd = -1;
}

int SignalWatcher::caught() {
    return first;
}

void SignalWatcher::readPipe() {
    unsigned char byte = 0;
    while (::read(pipeFds[0], &byte, 1) == 1) {
        if (!first)
            first = byte;
        emit signalled(byte);
    }
}

} // namespace cli

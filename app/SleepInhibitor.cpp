#include "SleepInhibitor.h"

#include <cstdio>

#if defined(Q_OS_WIN)
#include <windows.h>
#elif defined(KERNO_HAVE_DBUS)
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>

#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

#if defined(KERNO_HAVE_DBUS) && !defined(Q_OS_WIN)
// logind answers at once; a bus that does not must not hold the window long.
constexpr int kInhibitReplyMs = 3000;
#endif

void warnNotKeptAwake(const QString& reason) {
    std::fprintf(stderr, "The system could not be kept awake during the update: %s\n",
                 qUtf8Printable(reason.simplified()));
}

} // namespace

SleepInhibitor::SleepInhibitor(const QString& who, const QString& why) : who(who), why(why) {}

SleepInhibitor::~SleepInhibitor() {
    release();
}

void SleepInhibitor::acquire() {
    if (held)
        return;
#if defined(Q_OS_WIN)
    held = SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) != 0;
    if (!held)
        warnNotKeptAwake(QStringLiteral("SetThreadExecutionState failed"));
#elif defined(KERNO_HAVE_DBUS)
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        warnNotKeptAwake(bus.lastError().message());
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep:shutdown:idle") << who << why << QStringLiteral("block");
    const QDBusMessage reply = bus.call(call, QDBus::Block, kInhibitReplyMs);
    const QDBusUnixFileDescriptor lock =
        reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() == 1
            ? reply.arguments().constFirst().value<QDBusUnixFileDescriptor>()
            : QDBusUnixFileDescriptor();
    if (!lock.isValid()) {
        warnNotKeptAwake(reply.type() == QDBusMessage::ErrorMessage
                             ? reply.errorName() + QStringLiteral(": ") + reply.errorMessage()
                             : QStringLiteral("logind gave no lock"));
        return;
    }
    // Our own copy: the reply's goes with it.
    lockFd = ::fcntl(lock.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
    held = lockFd >= 0;
    if (!held)
        warnNotKeptAwake(QStringLiteral("the lock could not be kept"));
#else
    warnNotKeptAwake(QStringLiteral("no sleep inhibitor on this system"));
#endif
}

void SleepInhibitor::release() {
    if (!held)
        return;
    held = false;
#if defined(Q_OS_WIN)
    SetThreadExecutionState(ES_CONTINUOUS);
#elif defined(KERNO_HAVE_DBUS)
    ::close(lockFd);
    lockFd = -1;
#endif
}

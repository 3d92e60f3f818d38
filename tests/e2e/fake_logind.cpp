// Stands in for logind on a private system bus: answers Inhibit with the
// write end of a pipe and prints one line when a lock is taken and one when
// its last holder closes it ("inhibit N what|who|why|mode", "released N").
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusUnixFileDescriptor>
#include <QSocketNotifier>

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

static void say(const QString& line) {
    std::printf("%s\n", qUtf8Printable(line));
    std::fflush(stdout);
}

class Manager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
    int locks = 0;

public slots:
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                    const QString& mode) {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0)
            return {};
        const int n = ++locks;
        say(QStringLiteral("inhibit %1 ").arg(n) + QStringList{what, who, why, mode}.join('|'));
        auto* closed = new QSocketNotifier(ends[0], QSocketNotifier::Read, this);
        connect(closed, &QSocketNotifier::activated, [=] {
            char c;
            if (read(ends[0], &c, 1) > 0)
                return;
            say(QStringLiteral("released %1").arg(n));
            closed->setEnabled(false);
            close(ends[0]);
        });
        const QDBusUnixFileDescriptor lock(ends[1]); // a copy goes with the reply
        close(ends[1]);
        return lock;
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    Manager manager;
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.registerObject("/org/freedesktop/login1", &manager, QDBusConnection::ExportAllSlots) ||
        !bus.registerService("org.freedesktop.login1")) {
        std::fprintf(stderr, "cannot serve logind: %s\n", qUtf8Printable(bus.lastError().message()));
        return 1;
    }
    say("ready");
    return app.exec();
}

#include "fake_logind.moc"

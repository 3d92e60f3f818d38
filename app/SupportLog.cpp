#include "SupportLog.h"

#include "BuildStamp.h"
#include "HidDfuLibrary.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <thread>
#include <unistd.h>
#endif

namespace {

const QString kFilePattern = QStringLiteral("run-*.log");

QByteArray timeStamp() {
    return QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss.zzz ")).toUtf8();
}

} // namespace

#ifdef Q_OS_UNIX

// Copies standard output and standard error on to where they went and hands
// each of their lines to a sink: one pipe per stream, one thread reading them.
class OutputTee {
public:
    using Sink = std::function<void(const char* stream, const QByteArray& line)>;

    // Null when a tee runs already (one per process) or nothing could be redirected.
    static std::unique_ptr<OutputTee> start(Sink sink);
    ~OutputTee();

private:
    struct Stream {
        const char* name;
        int fd;
        int original;
        int readEnd;
        bool forwarding;
        QByteArray partial;
    };
    // Longer lines are cut, so that a stream without line ends cannot grow memory.
    static constexpr int kLongestLine = 4096;

    explicit OutputTee(Sink s) : sink(std::move(s)) {}
    bool redirect(Stream& s);
    bool pump(Stream& s);
    void run();

    Sink sink;
    Stream streams[2] = {{"stdout", 1, -1, -1, true, {}}, {"stderr", 2, -1, -1, true, {}}};
    int stopPipe[2] = {-1, -1};
    std::thread thread;
    static std::atomic<bool> running;
};

std::atomic<bool> OutputTee::running{false};

std::unique_ptr<OutputTee> OutputTee::start(Sink sink) {
    if (running.exchange(true))
        return nullptr;
    std::unique_ptr<OutputTee> tee(new OutputTee(std::move(sink)));
    if (pipe2(tee->stopPipe, O_CLOEXEC) != 0)
        return nullptr;
    std::fflush(stdout);
    std::fflush(stderr);
    const bool any = tee->redirect(tee->streams[0]) | tee->redirect(tee->streams[1]);
    if (!any)
        return nullptr;
    // The thread takes no signal: they stay with the threads that wait for them.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    try {
        tee->thread = std::thread(&OutputTee::run, tee.get());
    } catch (const std::system_error&) {
        tee.reset();
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return tee;
}

bool OutputTee::redirect(Stream& s) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0)
        return false;
    s.original = fcntl(s.fd, F_DUPFD_CLOEXEC, 3);
    if (s.original < 0 || dup2(p[1], s.fd) < 0) {
        if (s.original >= 0)
            close(s.original);
        s.original = -1;
        close(p[0]);
        close(p[1]);
        return false;
    }
    close(p[1]);
    s.readEnd = p[0];
    return true;
}

// Reads what is there; false at the end of the stream (or, draining, when it is empty).
bool OutputTee::pump(Stream& s) {
    char buffer[4096];
    const ssize_t n = read(s.readEnd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR)
        return true;
    if (n <= 0)
        return false;
    for (ssize_t done = 0; s.forwarding && done < n;) {
        const ssize_t w = write(s.original, buffer + done, size_t(n - done));
        if (w > 0)
            done += w;
        else if (errno != EINTR)
            s.forwarding = false; // a closed reader must not stop the log
    }
    s.partial.append(buffer, int(n));
    int from = 0;
    for (int end; (end = s.partial.indexOf('\n', from)) >= 0; from = end + 1)
        sink(s.name, s.partial.mid(from, end - from));
    s.partial.remove(0, from);
    if (s.partial.size() > kLongestLine) {
        sink(s.name, s.partial);
        s.partial.clear();
    }
    return true;
}

void OutputTee::run() {
    for (;;) {
        pollfd fds[3] = {{stopPipe[0], POLLIN, 0},
                         {streams[0].readEnd, POLLIN, 0},
                         {streams[1].readEnd, POLLIN, 0}};
        if (poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[0].revents)
            break;
        for (int i = 0; i < 2; ++i) {
            Stream& s = streams[i];
            if (fds[i + 1].revents && !pump(s)) {
                close(s.readEnd);
                s.readEnd = -1;
            }
        }
    }
    // What was written before the streams went back is still in the pipes.
    for (Stream& s : streams) {
        if (s.readEnd >= 0) {
            fcntl(s.readEnd, F_SETFL, fcntl(s.readEnd, F_GETFL) | O_NONBLOCK);
            while (pump(s)) {
            }
        }
        if (!s.partial.isEmpty())
            sink(s.name, s.partial);
    }
}

OutputTee::~OutputTee() {
    std::fflush(stdout);
    std::fflush(stderr);
    for (Stream& s : streams) {
        if (s.original >= 0)
            dup2(s.original, s.fd);
    }
    if (thread.joinable()) {
        // A child process may hold the pipes open: no waiting for their end.
        const char stop = 0;
        while (write(stopPipe[1], &stop, 1) < 0 && errno == EINTR) {
        }
        thread.join();
    }
    for (int fd : {streams[0].original, streams[0].readEnd, streams[1].original, streams[1].readEnd,
                   stopPipe[0], stopPipe[1]}) {
        if (fd >= 0)
            close(fd);
    }
    running = false;
}

#else

// Elsewhere the streams are left alone.
class OutputTee {};

#endif

SupportLog::SupportLog(const QString& firmwareVersion, const QString& firmwareName) {
    const QString path = folder();
    if (!QDir().mkpath(path))
        return;
    QDir dir(path);
    // Room for this run among the kept ones: the oldest go first.
    const QStringList runs = dir.entryList({kFilePattern}, QDir::Files, QDir::Name);
    for (int i = 0; i + kKeptRuns - 1 < runs.size(); ++i)
        dir.remove(runs.at(i));
    const QDateTime now = QDateTime::currentDateTime();
    file.setFileName(dir.filePath(QStringLiteral("run-%1-%2.log")
                                      .arg(now.toString(QStringLiteral("yyyyMMdd-HHmmss-zzz")))
                                      .arg(QCoreApplication::applicationPid())));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return;

    const QString library = HidDfuLibrary::fileName();
    write(QStringLiteral("Kerno# Tindal 2 - Mise à jour %1 (build %2), Qt %3\n"
                         "started: %4\nfirmware: %5 (%6)\nlibrary: %7\n")
              .arg(QStringLiteral(KERNO_VERSION), buildStamp(), QString::fromLatin1(qVersion()),
                   now.toString(Qt::ISODateWithMs), firmwareVersion, firmwareName,
                   library.isEmpty() ? QStringLiteral("none loaded") : library)
              .toUtf8());
#ifdef Q_OS_UNIX
    tee = OutputTee::start([this](const char* stream, const QByteArray& line) {
        streamLine(QByteArray(stream) + ": " + line);
    });
#endif
}

SupportLog::~SupportLog() {
    if (outcomeWritten)
        note(QStringLiteral("closed"));
    else
        outcome(QStringLiteral("closed"));
    tee.reset();
}

QString SupportLog::folder() {
    // Relative values are to be ignored, as for every XDG base folder.
    QString base = QFile::decodeName(qgetenv("XDG_STATE_HOME"));
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/kerno-tindal2-update");
}

void SupportLog::stateEntered(const QString& state) {
    note(QStringLiteral("state ") + state);
}

void SupportLog::note(const QString& text) {
    write(timeStamp() + text.toUtf8() + '\n');
}

void SupportLog::outcome(const QString& what, const QString& details) {
    if (outcomeWritten)
        return;
    outcomeWritten = true;
    QByteArray text = timeStamp() + "outcome: " + what.toUtf8() + '\n';
    for (const QString& line : details.split(QLatin1Char('\n'))) {
        if (!line.isEmpty())
            text += "    " + line.toUtf8() + '\n';
    }
    write(text);
}

void SupportLog::end(const QString& what) {
    outcome(what);
    tee.reset();
}

// A line repeated at every connection attempt while no speaker is plugged in
// is written once, then counted: an hour of waiting stays a few lines.
void SupportLog::streamLine(const QByteArray& text) {
    std::lock_guard<std::mutex> lock(mutex);
    if (text == lastStreamLine) {
        repeats += 1;
        lastRepeatTime = timeStamp();
        return;
    }
    writeLocked(timeStamp() + text + '\n');
    lastStreamLine = text;
}

void SupportLog::write(const QByteArray& text) {
    std::lock_guard<std::mutex> lock(mutex);
    writeLocked(text);
}

void SupportLog::writeLocked(const QByteArray& text) {
    if (!file.isOpen())
        return;
    if (repeats > 0)
        file.write(lastRepeatTime + "(the line above again, " + QByteArray::number(repeats) +
                   " times)\n");
    repeats = 0;
    lastStreamLine.clear();
    file.write(text);
}

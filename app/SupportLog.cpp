#include "SupportLog.h"

#include "BuildStamp.h"
#include "HidDfuLibrary.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

const QString kFilePattern = QStringLiteral("run-*.log");

QByteArray timeStamp() {
    return QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss.zzz ")).toUtf8();
}

} // namespace

#ifdef Q_OS_UNIX

namespace {

// Longer lines are cut, so that a stream without line ends cannot grow without bound.
constexpr size_t kLongestLine = 4096;

// Writes the digits of a number; returns the end.
char* digits(char* p, unsigned long value, int width) {
    char reversed[24];
    int n = 0;
    do {
        reversed[n++] = char('0' + value % 10);
        value /= 10;
    } while (value > 0 || n < width);
    while (n > 0)
        *p++ = reversed[--n];
    return p;
}

// The copying process, forked from a process with threads: from here on only
// system calls, no allocation, no lock.
class LineCopier {
public:
    LineCopier(int logFd, long utcOffset) : logFd(logFd), utcOffset(utcOffset) {}

    // Ends the process; doneFd closes with it.
    [[noreturn]] void run(int stdoutPipe, int stderrPipe, int doneFd) {
        // Its end comes from the pipes: a Ctrl+C meant for the updater must not
        // leave the updater writing into a pipe nobody reads.
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
            sigaction(s, &ignore, nullptr);
        rlimit limit{};
        const int fdEnd = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536
                              ? int(limit.rlim_cur)
                              : 65536;
        for (int fd = 3; fd < fdEnd; ++fd) {
            if (fd != stdoutPipe && fd != stderrPipe && fd != logFd && fd != doneFd)
                close(fd);
        }
        Stream streams[2] = {{stdoutPipe, 1, "stdout: ", {}, 0},
                             {stderrPipe, 2, "stderr: ", {}, 0}};
        for (int open = 2; open > 0;) {
            pollfd fds[2] = {{streams[0].in, POLLIN, 0}, {streams[1].in, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0 && errno != EINTR)
                break;
            for (int i = 0; i < 2; ++i) {
                if (fds[i].revents && !copy(streams[i])) {
                    close(streams[i].in);
                    streams[i].in = -1;
                    open -= 1;
                }
            }
        }
        writeRepeats();
        _exit(0);
    }

private:
    struct Stream {
        int in;
        int out;
        const char* tag;
        char partial[kLongestLine];
        size_t size;
    };

    // Forwards what came and logs its whole lines; false at the end of the stream.
    bool copy(Stream& s) {
        char buffer[4096];
        const ssize_t n = read(s.in, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            return true;
        if (n <= 0) {
            if (s.size > 0)
                logLine(s);
            return false;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(s.out, buffer + done, size_t(n - done));
            if (w < 0 && errno != EINTR)
                break; // nobody reads there any more: the log goes on
            done += w > 0 ? w : 0;
        }
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] != '\n')
                s.partial[s.size++] = buffer[i];
            if (buffer[i] == '\n' || s.size == kLongestLine)
                logLine(s);
        }
        return true;
    }

    // A line repeated one after the other (a connection attempt every 80 ms while
    // no speaker is plugged in) is logged once, then once more with its count at
    // the time of the last one.
    void logLine(Stream& s) {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        const size_t tagSize = std::strlen(s.tag);
        const bool same = lastSize == tagSize + s.size && std::memcmp(last, s.tag, tagSize) == 0 &&
                          std::memcmp(last + tagSize, s.partial, s.size) == 0;
        if (same) {
            repeats += 1;
            lastRepeat = now;
        } else {
            writeRepeats();
            std::memcpy(last, s.tag, tagSize);
            std::memcpy(last + tagSize, s.partial, s.size);
            lastSize = tagSize + s.size;
            writeLast(now, "", 0);
        }
        s.size = 0;
    }

    void writeRepeats() {
        if (repeats == 0)
            return;
        char count[40] = " (";
        char* p = digits(count + 2, repeats, 1);
        std::memcpy(p, " more times)", 12);
        writeLast(lastRepeat, count, size_t(p + 12 - count));
        repeats = 0;
    }

    // "HH:MM:SS.mmm <line><suffix>" in one write, so that it lands whole.
    void writeLast(const timespec& when, const char* suffix, size_t suffixSize) {
        char line[kLongestLine + 64];
        const long day = ((when.tv_sec + utcOffset) % 86400 + 86400) % 86400;
        char* p = digits(line, day / 3600, 2);
        *p++ = ':';
        p = digits(p, day / 60 % 60, 2);
        *p++ = ':';
        p = digits(p, day % 60, 2);
        *p++ = '.';
        p = digits(p, when.tv_nsec / 1000000, 3);
        *p++ = ' ';
        std::memcpy(p, last, lastSize);
        p += lastSize;
        std::memcpy(p, suffix, suffixSize);
        p += suffixSize;
        *p++ = '\n';
        if (::write(logFd, line, size_t(p - line)) < 0) {
            // A full disk: the update goes on without its log.
        }
    }

    int logFd;
    long utcOffset;
    char last[kLongestLine + 16];
    size_t lastSize = 0;
    unsigned long repeats = 0;
    timespec lastRepeat{};
};

} // namespace

// Points standard output and standard error into pipes read by a copying process,
// which forwards everything on to where they went before and logs each line. A
// process of its own, so that the last words of a crash still get through.
class OutputTee {
public:
    // Null when a tee runs already (one per process) or the streams cannot be copied.
    static std::unique_ptr<OutputTee> start(int logFd, long utcOffset);
    // Puts the streams back and lets the copying process pass the last lines on.
    ~OutputTee();

private:
    OutputTee() = default;
    int originals[2] = {-1, -1};
    int copierGone = -1; // at its end once the copying process has ended
    static bool running;
};

bool OutputTee::running = false;

std::unique_ptr<OutputTee> OutputTee::start(int logFd, long utcOffset) {
    // Standard output, standard error, and one whose end tells that the copier ended.
    if (running)
        return nullptr;
    int pipes[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
    bool made = true;
    for (auto& p : pipes)
        made = made && pipe2(p, O_CLOEXEC) == 0;
    std::unique_ptr<OutputTee> tee(new OutputTee);
    tee->originals[0] = fcntl(1, F_DUPFD_CLOEXEC, 3);
    tee->originals[1] = fcntl(2, F_DUPFD_CLOEXEC, 3);
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = made && tee->originals[0] >= 0 && tee->originals[1] >= 0 ? fork() : -1;
    if (child == 0) {
        // A grandchild, adopted by init: nobody has to wait for it.
        const pid_t grandchild = fork();
        if (grandchild != 0)
            _exit(grandchild > 0 ? 0 : 1);
        LineCopier(logFd, utcOffset).run(pipes[0][0], pipes[1][0], pipes[2][1]);
    }
    int status = 1;
    while (child > 0 && waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // Without a reader the streams stay as they are: a write into them would kill us.
    running = child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (running) {
        dup2(pipes[0][1], 1);
        dup2(pipes[1][1], 2);
        tee->copierGone = pipes[2][0];
        pipes[2][0] = -1;
    }
    for (auto& p : pipes) {
        for (int fd : p) {
            if (fd >= 0)
                close(fd);
        }
    }
    return running ? std::move(tee) : nullptr;
}

OutputTee::~OutputTee() {
    std::fflush(stdout);
    std::fflush(stderr);
    for (int i = 0; i < 2; ++i) {
        if (originals[i] < 0)
            continue;
        if (copierGone >= 0)
            dup2(originals[i], i + 1);
        close(originals[i]);
    }
    if (copierGone >= 0) {
        // Bounded: a child process of ours may still hold the pipes.
        pollfd gone = {copierGone, POLLIN, 0};
        while (poll(&gone, 1, 5000) < 0 && errno == EINTR) {
        }
        close(copierGone);
        running = false;
    }
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
    // Appending: the copying process writes into the same file.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return;

    const QString library = HidDfuLibrary::fileName();
    write(QStringLiteral("Kerno# Tindal 2 - Mise à jour %1 (build %2), Qt %3\n"
                         "started: %4\nfirmware: %5 (%6)\nlibrary: %7\n")
              .arg(QStringLiteral(KERNO_VERSION), buildStamp(), QString::fromLatin1(qVersion()),
                   now.toString(Qt::ISODateWithMs), firmwareVersion, firmwareName,
                   library.isEmpty() ? QStringLiteral("none loaded") : library)
              .toUtf8());
#ifdef Q_OS_UNIX
    tee = OutputTee::start(file.handle(), now.offsetFromUtc());
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

void SupportLog::write(const QByteArray& text) {
    if (file.isOpen())
        file.write(text);
}

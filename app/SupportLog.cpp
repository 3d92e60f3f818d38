#include "SupportLog.h"

#include "StandardStreams.h"

#include "BuildStamp.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>

#include <cstdio>

#ifdef Q_OS_UNIX
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

qint64 SupportLog::capBytes = 4 << 20;

namespace {

SupportLog* current = nullptr;

QByteArray header(const QDateTime& now, const QString& firmwareVersion,
                  const QString& firmwareName) {
    return QStringLiteral("Kerno# Tindal 2 - Mise à jour %1 (build %2), Qt %3\n"
                          "started: %4\nfirmware: %5 (%6)\n")
        .arg(QStringLiteral(KERNO_VERSION), buildStamp(), QString::fromLatin1(qVersion()),
             now.toString(Qt::ISODateWithMs), firmwareVersion, firmwareName)
        .toUtf8();
}

QString runName(const QDateTime& now, qint64 pid) {
    return QStringLiteral("run-%1-%2.log")
        .arg(now.toString(QStringLiteral("yyyyMMdd-HHmmss")))
        .arg(pid);
}

} // namespace

QString SupportLog::folder() {
    // Relative values are to be ignored, as for every XDG base folder.
    QString base = QFile::decodeName(qgetenv("XDG_STATE_HOME"));
    if (base.isEmpty() || QDir::isRelativePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/kerno-tindal2-update");
}

QString SupportLog::fileName() {
    return current ? current->path : QString();
}

void SupportLog::stateEntered(const QString& state) {
    note(QStringLiteral("state ") + state);
}

void SupportLog::note(const QString& text) {
    if (current)
        current->write(text.toUtf8());
}

void SupportLog::outcome(const QString& what, const QString& details) {
    if (!current || current->outcomeWritten)
        return;
    current->outcomeWritten = true;
    QByteArray text = "outcome: " + what.toUtf8();
    for (const QString& line : details.split(QLatin1Char('\n'))) {
        if (!line.isEmpty())
            text += "\n    " + line.toUtf8();
    }
    current->write(text);
}

SupportLog::~SupportLog() {
    if (current != this)
        return;
    if (outcomeWritten)
        note(QStringLiteral("closed"));
    else
        outcome(QStringLiteral("closed"));
    stop();
    current = nullptr;
}

void SupportLog::end(const QString& what) {
    outcome(what);
    if (current)
        current->stop();
}

#ifdef Q_OS_UNIX

namespace {

const char kCutLine[] = "log cut: it reached its size limit, later printed lines are left out";
// Room kept past the limit for the updater's own lines, the outcome above all.
constexpr qint64 kNotesRoom = 64 << 10;
// Longer printed lines are cut, so that a stream without line ends cannot grow without bound.
constexpr size_t kLongestLine = 4096;
constexpr size_t kLongestNote = 16384;
// How long a note waits for the copier, and the end for the copier's last lines.
constexpr int kNoteWaitMs = 2000;
constexpr int kEndWaitMs = 2000;

// "HH:MM:SS.mmm+hh:mm ", the offset of that moment: a run may cross a change of time.
size_t timeStamp(char* out) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tzset(); // the system's zone may have changed since the last line
    tm local{};
    localtime_r(&now.tv_sec, &local);
    const long offset = std::labs(local.tm_gmtoff);
    const int n = std::snprintf(out, 32, "%02d:%02d:%02d.%03ld%c%02ld:%02ld ", local.tm_hour,
                                local.tm_min, local.tm_sec, now.tv_nsec / 1000000,
                                local.tm_gmtoff < 0 ? '-' : '+', offset / 3600, offset / 60 % 60);
    return n > 0 ? size_t(n) : 0;
}

bool writeAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n, size -= size_t(n);
    }
    return true;
}

// The log folder, made 0700 with its missing parents; refused unless it is a folder of ours.
int openFolder(const QByteArray& path) {
    for (int slash = path.indexOf('/', 1); slash > 0; slash = path.indexOf('/', slash + 1))
        ::mkdir(path.left(slash).constData(), 0700);
    ::mkdir(path.constData(), 0700);
    struct stat seen {
    }, opened{};
    if (::lstat(path.constData(), &seen) != 0 || !S_ISDIR(seen.st_mode) ||
        seen.st_uid != ::geteuid())
        return -1;
    const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0 && (::fstat(fd, &opened) != 0 || opened.st_ino != seen.st_ino ||
                    opened.st_dev != seen.st_dev || ::fchmod(fd, 0700) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Held while a log is made and the old ones removed, so that none is removed between its
// making and its lock. Bounded: whoever holds it keeps it a moment only.
bool lockFolder(int dirFd) {
    for (int tries = 0; tries < 100; ++tries) {
        if (::flock(dirFd, LOCK_EX | LOCK_NB) == 0)
            return true;
        const timespec pause{0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    return false;
}

// Keeps the newest logs by modification time (names follow the local time, which may go
// back), and those that a running updater holds.
void removeOldRuns(int dirFd, const QByteArray& own) {
    struct Run {
        QByteArray name;
        timespec modified;
    };
    std::vector<Run> runs;
    const int listFd = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    while (dirent* entry = dir ? ::readdir(dir) : nullptr) {
        const QByteArray name(entry->d_name);
        struct stat st {};
        if (name.startsWith("run-") && name.endsWith(".log") && name != own &&
            ::fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_uid == ::geteuid())
            runs.push_back({name, st.st_mtim});
    }
    if (dir)
        ::closedir(dir);
    else if (listFd >= 0)
        ::close(listFd);
    std::sort(runs.begin(), runs.end(), [](const Run& a, const Run& b) {
        if (a.modified.tv_sec != b.modified.tv_sec)
            return a.modified.tv_sec > b.modified.tv_sec;
        if (a.modified.tv_nsec != b.modified.tv_nsec)
            return a.modified.tv_nsec > b.modified.tv_nsec;
        return a.name > b.name;
    });
    for (size_t i = SupportLog::kKeptRuns - 1; i < runs.size(); ++i) {
        const int fd = ::openat(dirFd, runs[i].name.constData(),
                                O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
            ::unlinkat(dirFd, runs[i].name.constData(), 0);
        if (fd >= 0)
            ::close(fd);
    }
}

// The copying process: reads what the updater prints, passes it on to where it went before
// and logs each line; logs the updater's own notes in between, in order, and answers each.
class Copier {
public:
    Copier(int logFd, qint64 written) : logFd(logFd), written(written) {}

    [[noreturn]] void run(int outPipe, int errPipe, int notes) {
        // Its end comes from the pipes: a Ctrl+C meant for the updater reaches it too.
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
            sigaction(s, &ignore, nullptr);
        streams[0].in = outPipe, streams[1].in = errPipe;
        for (Stream& s : streams)
            ::fcntl(s.in, F_SETFL, O_NONBLOCK);
        while (notes >= 0 || streams[0].in >= 0 || streams[1].in >= 0) {
            pollfd fds[3] = {
                {streams[0].in, POLLIN, 0}, {streams[1].in, POLLIN, 0}, {notes, POLLIN, 0}};
            if (::poll(fds, 3, -1) < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            // Whatever was printed before a note came goes in before it.
            for (Stream& s : streams)
                drain(s);
            // Left open until the end: the updater waits for its closing, at most kEndWaitMs.
            if (fds[2].revents && !takeNote(notes))
                notes = -1;
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

    void drain(Stream& s) {
        while (s.in >= 0) {
            char buffer[4096];
            const ssize_t n = ::read(s.in, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN)
                return;
            if (n <= 0) {
                if (s.size > 0)
                    logLine(s);
                ::close(s.in);
                s.in = -1;
                return;
            }
            // Nobody reading there any more: the log goes on.
            writeAll(s.out, buffer, size_t(n));
            for (ssize_t i = 0; i < n; ++i) {
                if (buffer[i] != '\n')
                    s.partial[s.size++] = buffer[i];
                if (buffer[i] == '\n' || s.size == kLongestLine)
                    logLine(s);
            }
        }
    }

    bool takeNote(int notes) {
        char text[kLongestNote];
        const ssize_t n = ::recv(notes, text, sizeof text, 0);
        if (n < 0)
            return errno == EINTR || errno == EAGAIN;
        if (n == 0)
            return false;
        writeRepeats();
        // The outcome goes in past the limit: it is what support reads first.
        if (written < capBytes() + kNotesRoom)
            writeLine(text, size_t(n), "", 0);
        return ::send(notes, "", 1, MSG_NOSIGNAL) == 1;
    }

    // A line repeated one after the other (a connection attempt every 80 ms while no speaker
    // is plugged in) is logged once, then once more with its count at the time of the last.
    void logLine(Stream& s) {
        const size_t tagSize = std::strlen(s.tag);
        if (lastSize == tagSize + s.size && std::memcmp(last, s.tag, tagSize) == 0 &&
            std::memcmp(last + tagSize, s.partial, s.size) == 0) {
            repeats += 1;
            lastRepeatStampSize = timeStamp(lastRepeatStamp);
        } else {
            writeRepeats();
            std::memcpy(last, s.tag, tagSize);
            std::memcpy(last + tagSize, s.partial, s.size);
            lastSize = tagSize + s.size;
            writePrinted(last, lastSize, "", 0);
        }
        s.size = 0;
    }

    void writeRepeats() {
        if (repeats == 0)
            return;
        char count[40];
        const int n = std::snprintf(count, sizeof count, " (%lu more times)", repeats);
        repeats = 0;
        if (n > 0)
            writePrinted(last, lastSize, count, size_t(n), lastRepeatStamp, lastRepeatStampSize);
    }

    void writePrinted(const char* text, size_t size, const char* suffix, size_t suffixSize,
                      const char* stamp = nullptr, size_t stampSize = 0) {
        if (cut)
            return;
        if (written + qint64(size + suffixSize + 40) > capBytes()) {
            cut = true;
            writeLine(kCutLine, sizeof kCutLine - 1, "", 0);
            return;
        }
        writeLine(text, size, suffix, suffixSize, stamp, stampSize);
    }

    // One write, so that the line lands whole.
    void writeLine(const char* text, size_t size, const char* suffix, size_t suffixSize,
                   const char* stamp = nullptr, size_t stampSize = 0) {
        char line[kLongestNote + 128];
        size = std::min(size, kLongestNote);
        size_t at = stamp ? stampSize : timeStamp(line);
        if (stamp)
            std::memcpy(line, stamp, stampSize);
        std::memcpy(line + at, text, size);
        at += size;
        std::memcpy(line + at, suffix, suffixSize);
        at += suffixSize;
        line[at++] = '\n';
        if (writeAll(logFd, line, at)) // a full disk: the update goes on without its log
            written += qint64(at);
    }

    static qint64 capBytes() { return SupportLog::capBytes; }

    int logFd;
    qint64 written;
    bool cut = false;
    Stream streams[2] = {{-1, 1, "stdout: ", {}, 0}, {-1, 2, "stderr: ", {}, 0}};
    char last[kLongestLine + 16];
    size_t lastSize = 0;
    unsigned long repeats = 0;
    char lastRepeatStamp[32];
    size_t lastRepeatStampSize = 0;
};

} // namespace

SupportLog::SupportLog(const QString& firmwareVersion, const QString& firmwareName) {
    reopenClosedStandardStreams();
    if (current)
        return; // one per process
    const QByteArray where = QFile::encodeName(folder());
    const int dirFd = openFolder(where);
    if (dirFd < 0)
        return;
    const QDateTime now = QDateTime::currentDateTime();
    const QByteArray name = runName(now, ::getpid()).toUtf8();
    const bool folderLocked = lockFolder(dirFd);
    // Never through a link, never into a file that was there before.
    logFd = ::openat(dirFd, name.constData(),
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_APPEND | O_CLOEXEC, 0600);
    // Held by this process and its copier: no other updater removes it while either runs.
    if (logFd >= 0 && ::flock(logFd, LOCK_EX | LOCK_NB) == 0 && folderLocked)
        removeOldRuns(dirFd, name);
    ::close(dirFd);
    if (logFd < 0)
        return;
    current = this;
    path = QFile::decodeName(where + '/' + name);

    const QByteArray head = header(now, firmwareVersion, firmwareName);
    writeAll(logFd, head.constData(), size_t(head.size()));

    // Standard output, standard error, and the notes with their answers.
    int out[2] = {-1, -1}, err[2] = {-1, -1}, notes[2] = {-1, -1};
    originals[0] = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
    originals[1] = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
    const bool made = ::pipe2(out, O_CLOEXEC) == 0 && ::pipe2(err, O_CLOEXEC) == 0 &&
                      ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, notes) == 0 &&
                      originals[0] >= 0 && originals[1] >= 0;
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t child = made ? ::fork() : -1;
    if (child == 0) {
        for (int fd : {out[1], err[1], notes[0], originals[0], originals[1]})
            ::close(fd);
        Copier(logFd, head.size()).run(out[0], err[0], notes[1]);
    }
    // Without a copier the streams stay as they are and the notes are written from here.
    if (child > 0) {
        copier = child;
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        notesFd = notes[0];
        notes[0] = -1;
    }
    for (int fd : {out[0], out[1], err[0], err[1], notes[0], notes[1]}) {
        if (fd >= 0)
            ::close(fd);
    }
}

void SupportLog::write(const QByteArray& text) {
    if (logFd < 0)
        return;
    const QByteArray packet = text.left(int(kLongestNote));
    if (notesFd >= 0) {
        // What was printed before this note is logged before it.
        std::fflush(stdout);
        std::fflush(stderr);
        char answer = 0;
        pollfd answered = {notesFd, POLLIN, 0};
        const bool sent = ::send(notesFd, packet.constData(), size_t(packet.size()),
                                 MSG_NOSIGNAL) == packet.size();
        // A signal cuts poll() short even under SA_RESTART: waited out, within the bound.
        const QDeadlineTimer bound(kNoteWaitMs);
        int ready;
        while ((ready = ::poll(&answered, 1, int(bound.remainingTime()))) < 0 && errno == EINTR) {
        }
        if (sent && ready == 1 && ::recv(notesFd, &answer, 1, 0) == 1)
            return;
        // The copier has gone or hangs: from here on the notes are written from here.
        ::close(notesFd);
        notesFd = -1;
    }
    char stamp[32];
    const QByteArray line = QByteArray(stamp, int(timeStamp(stamp))) + packet + '\n';
    writeAll(logFd, line.constData(), size_t(line.size()));
}

void SupportLog::stop() {
    std::fflush(stdout);
    std::fflush(stderr);
    for (int i = 0; i < 2; ++i) {
        if (originals[i] >= 0) {
            if (copier > 0)
                ::dup2(originals[i], i + 1);
            ::close(originals[i]);
            originals[i] = -1;
        }
    }
    if (notesFd >= 0) {
        // The copier ends with the streams; a child process of ours may hold them longer.
        ::shutdown(notesFd, SHUT_WR);
        pollfd gone = {notesFd, POLLIN, 0};
        char answer;
        ssize_t n = 1;
        while (n > 0 && ::poll(&gone, 1, kEndWaitMs) == 1)
            n = ::recv(notesFd, &answer, 1, 0);
        ::close(notesFd);
        notesFd = -1;
        int status;
        if (n == 0) // it has ended
            ::waitpid(pid_t(copier), &status, 0);
    }
    copier = -1;
    if (logFd >= 0)
        ::close(logFd);
    logFd = -1;
}

#else

// Elsewhere the printed lines are not copied, and logs in use are not told apart.
SupportLog::SupportLog(const QString& firmwareVersion, const QString& firmwareName) {
    QDir dir(folder());
    if (current || !dir.mkpath(QStringLiteral(".")))
        return;
    const QStringList runs =
        dir.entryList({QStringLiteral("run-*.log")}, QDir::Files, QDir::Time | QDir::Reversed);
    for (int i = 0; i + kKeptRuns - 1 < runs.size(); ++i)
        dir.remove(runs.at(i));
    const QDateTime now = QDateTime::currentDateTime();
    QFile file(dir.filePath(runName(now, QCoreApplication::applicationPid())));
    if (file.exists() || !file.open(QIODevice::WriteOnly) ||
        file.write(header(now, firmwareVersion, firmwareName)) < 0)
        return;
    path = file.fileName();
    current = this;
}

void SupportLog::write(const QByteArray& text) {
    QFile file(path);
    if (file.open(QIODevice::Append))
        file.write(QDateTime::currentDateTime().toString(Qt::ISODateWithMs).mid(11).toUtf8() + ' ' +
                   text + '\n');
}

void SupportLog::stop() {}

#endif

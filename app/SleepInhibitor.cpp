#include "SleepInhibitor.h"

#include <cstdio>

#if defined(Q_OS_WIN)
#include <windows.h>
#else
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace {

void warnNotKeptAwake(const QString& reason) {
    std::fprintf(stderr, "The system could not be kept awake during the update: %s\n",
                 qUtf8Printable(reason.simplified()));
    std::fflush(stderr);
}

#if !defined(Q_OS_WIN)

using Clock = std::chrono::steady_clock;

// The D-Bus wire format, as much of it as one call to logind needs.
constexpr char kEndian = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? 'l' : 'B';
enum : uint8_t { kCall = 1, kReturn = 2, kError = 3 };
enum : uint8_t {
    kPath = 1,
    kInterface,
    kMember,
    kErrorName,
    kReplySerial,
    kDestination,
    kSender,
    kSignature,
    kUnixFds
};
constexpr uint32_t kInhibitSerial = 2; // Hello is 1
constexpr size_t kLongestMessage = 1 << 20;

struct Writer {
    std::string b;
    void align(size_t n) { b.resize((b.size() + n - 1) / n * n, '\0'); }
    void u32(uint32_t v) {
        align(4);
        b.append(reinterpret_cast<const char*>(&v), 4);
    }
    void str(const std::string& s) {
        u32(uint32_t(s.size()));
        b.append(s).push_back('\0');
    }
    void field(uint8_t code, char type, const std::string& value) {
        align(8);
        b.push_back(char(code));
        b.append({'\1', type, '\0'});
        if (type == 'g')
            b.append(1, char(value.size())).append(value).push_back('\0');
        else
            str(value);
    }
};

std::string methodCall(uint32_t serial, const char* destination, const char* path,
                       const char* interface, const char* member, const char* signature,
                       const std::string& body) {
    Writer m;
    m.b = {kEndian, char(kCall), '\0', '\1'};
    m.u32(uint32_t(body.size()));
    m.u32(serial);
    m.u32(0); // the fields' length, set below
    const size_t start = m.b.size();
    m.field(kPath, 'o', path);
    m.field(kDestination, 's', destination);
    m.field(kInterface, 's', interface);
    m.field(kMember, 's', member);
    if (*signature)
        m.field(kSignature, 'g', signature);
    const uint32_t fieldsSize = uint32_t(m.b.size() - start);
    std::memcpy(&m.b[12], &fieldsSize, 4);
    m.align(8);
    return m.b + body;
}

// Reads what came, checking every bound: the other end is not trusted.
struct Reader {
    const std::string& b;
    bool swap;
    size_t pos = 0;
    bool ok = true;
    bool need(size_t n) { return ok = ok && pos <= b.size() && b.size() - pos >= n; }
    void align(size_t n) { pos = (pos + n - 1) / n * n; }
    uint32_t u32() {
        align(4);
        uint32_t v = 0;
        if (need(4))
            std::memcpy(&v, b.data() + pos, 4), pos += 4;
        return swap ? qbswap(v) : v;
    }
    std::string str(size_t size) {
        std::string s;
        if (need(size + 1))
            s = b.substr(pos, size), pos += size + 1;
        return s;
    }
};

struct Message {
    uint8_t type = 0;
    uint32_t replySerial = 0, fds = 0;
    std::string errorName, signature, body;
    bool swap = false;
};

// The first whole message in `in`, taken out of it; false while it is not whole. A message
// that cannot be read ends everything (`broken`).
bool takeMessage(std::string& in, Message& m, bool& broken) {
    if (in.size() < 16)
        return false;
    m.swap = in[0] != kEndian;
    Reader head{in, m.swap, 4};
    const uint32_t bodySize = head.u32();
    head.u32(); // serial
    const uint32_t fieldsSize = head.u32();
    // Checked before any use, in 64 bits so that no size can wrap.
    if ((in[0] != 'l' && in[0] != 'B') ||
        (uint64_t(fieldsSize) + 23) / 8 * 8 + bodySize > kLongestMessage) {
        broken = true;
        return false;
    }
    const size_t fieldsEnd = 16 + size_t(fieldsSize);
    const size_t total = (fieldsEnd + 7) / 8 * 8 + size_t(bodySize);
    if (in.size() < total)
        return false;
    m.type = uint8_t(in[1]);
    Reader r{in, m.swap, 16};
    while (r.ok && r.pos < fieldsEnd) {
        r.align(8);
        if (!r.need(3))
            break;
        const uint8_t code = uint8_t(in[r.pos]);
        const size_t typeSize = uint8_t(in[r.pos + 1]);
        r.pos += 2;
        const std::string type = r.str(typeSize);
        if (type == "u") {
            const uint32_t v = r.u32();
            if (code == kReplySerial)
                m.replySerial = v;
            else if (code == kUnixFds)
                m.fds = v;
        } else if (type == "s" || type == "o") {
            const std::string v = r.str(r.u32());
            if (code == kErrorName)
                m.errorName = v;
        } else if (type == "g") {
            const std::string v = r.need(1) ? r.str(uint8_t(in[r.pos++])) : std::string();
            if (code == kSignature)
                m.signature = v;
        } else {
            r.ok = false; // no other type in a header we read
        }
    }
    broken = !r.ok || r.pos != fieldsEnd;
    m.body = in.substr(total - bodySize, bodySize);
    in.erase(0, total);
    return !broken;
}

// The system bus's socket addresses, in the order given ("unix:path=…;unix:abstract=…").
std::deque<std::string> busSockets() {
    const char* env = std::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    const std::string all = env && *env ? env : "unix:path=/var/run/dbus/system_bus_socket";
    std::deque<std::string> sockets;
    size_t from = 0;
    while (from <= all.size()) {
        const size_t end = std::min(all.find(';', from), all.size());
        const std::string entry = all.substr(from, end - from);
        from = end + 1;
        if (entry.compare(0, 5, "unix:") != 0)
            continue;
        for (size_t k = 5; k < entry.size();) {
            const size_t comma = std::min(entry.find(',', k), entry.size());
            const std::string pair = entry.substr(k, comma - k);
            k = comma + 1;
            const bool abstract = pair.compare(0, 9, "abstract=") == 0;
            if (!abstract && pair.compare(0, 5, "path=") != 0)
                continue;
            std::string value = abstract ? std::string(1, '\0') : std::string();
            for (size_t i = pair.find('=') + 1; i < pair.size(); ++i) {
                if (pair[i] == '%' && i + 2 < pair.size()) {
                    value += char(std::strtol(pair.substr(i + 1, 2).c_str(), nullptr, 16));
                    i += 2;
                } else {
                    value += pair[i];
                }
            }
            sockets.push_back(value);
        }
    }
    return sockets;
}

// One conversation with the bus, each wait bounded by the deadline and given up when the
// cancel descriptor closes.
class BusCall {
public:
    BusCall(Clock::time_point deadline, int cancelFd) : deadline(deadline), cancelFd(cancelFd) {}
    ~BusCall() {
        if (fd >= 0)
            ::close(fd);
        for (int f : fds)
            ::close(f);
    }

    // The lock's descriptor, or -1 with the reason in `error`.
    int inhibit(const std::string& who, const std::string& why) {
        for (const std::string& path : busSockets()) {
            if (connectTo(path))
                break;
        }
        if (fd < 0)
            return fail("no system bus to connect to");
        const std::string uid = std::to_string(::geteuid());
        std::string hex;
        for (char c : uid)
            hex += "3" + std::string(1, c);
        if (!send(std::string(1, '\0') + "AUTH EXTERNAL " + hex + "\r\n") ||
            receiveLine().compare(0, 3, "OK ") != 0)
            return fail(error.empty() ? "the system bus refused us" : error);
        if (!send("NEGOTIATE_UNIX_FD\r\n") || receiveLine() != "AGREE_UNIX_FD")
            return fail(error.empty() ? "the system bus passes no descriptors" : error);
        Writer body;
        for (const char* s : {"sleep:shutdown:idle", who.c_str(), why.c_str(), "block"})
            body.str(s);
        if (!send("BEGIN\r\n" +
                  methodCall(1, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                             "org.freedesktop.DBus", "Hello", "", "") +
                  methodCall(kInhibitSerial, "org.freedesktop.login1", "/org/freedesktop/login1",
                             "org.freedesktop.login1.Manager", "Inhibit", "ssss", body.b)))
            return fail(error);
        for (;;) {
            Message m;
            bool broken = false;
            while (!takeMessage(in, m, broken)) {
                if (broken || !receive())
                    return fail(broken ? "unreadable answer" : error);
            }
            std::deque<int> mine;
            for (uint32_t i = 0; i < m.fds && !fds.empty(); ++i)
                mine.push_back(fds.front()), fds.pop_front();
            if ((m.type == kReturn || m.type == kError) && m.replySerial == kInhibitSerial) {
                Reader r{m.body, m.swap};
                const uint32_t index = m.type == kReturn && m.signature == "h" ? r.u32() : ~0u;
                const int lock = r.ok && index < mine.size() ? mine[index] : -1;
                for (int f : mine)
                    if (f != lock)
                        ::close(f);
                if (m.type == kError)
                    return fail(m.errorName + (m.signature.compare(0, 1, "s") == 0
                                                   ? ": " + r.str(r.u32())
                                                   : std::string()));
                return lock >= 0 ? lock : fail("logind gave no lock");
            }
            for (int f : mine)
                ::close(f);
        }
    }

    std::string error;

private:
    int fail(const std::string& why) {
        error = why;
        return -1;
    }
    bool stop(const std::string& why) {
        error = why;
        return false;
    }

    bool connectTo(const std::string& path) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (path.empty() || path.size() >= sizeof address.sun_path)
            return false;
        std::memcpy(address.sun_path, path.data(), path.size());
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const socklen_t size =
            socklen_t(offsetof(sockaddr_un, sun_path) + path.size() + (path[0] ? 1 : 0));
        if (fd >= 0 && (::connect(fd, reinterpret_cast<sockaddr*>(&address), size) == 0 ||
                        ((errno == EINPROGRESS || errno == EAGAIN) && wait(POLLOUT))))
            return true;
        if (fd >= 0)
            ::close(fd);
        fd = -1;
        return false;
    }

    // Until the descriptor is ready; false at the deadline, or when given up.
    bool wait(short events) {
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0)
                return stop("no answer from the system bus within " +
                            std::to_string(SleepInhibitor::kBoundMs / 1000) + " s");
            pollfd p[2] = {{fd, events, 0}, {cancelFd, POLLIN, 0}};
            const int n = ::poll(p, 2, int(left.count()));
            if (n < 0 && errno != EINTR)
                return stop(std::strerror(errno));
            if (n > 0 && p[1].revents)
                return stop("given up");
            if (n > 0 && p[0].revents)
                return true;
        }
    }

    bool send(const std::string& data) {
        for (size_t done = 0; done < data.size();) {
            const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n > 0)
                done += size_t(n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                return stop(std::strerror(errno));
            else if (!wait(POLLOUT))
                return false;
        }
        return true;
    }

    // Appends what came to `in`, and the descriptors that came with it to `fds`.
    bool receive() {
        for (;;) {
            char data[4096];
            alignas(cmsghdr) char control[CMSG_SPACE(16 * sizeof(int))];
            iovec io{data, sizeof data};
            msghdr msg{};
            msg.msg_iov = &io;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            const ssize_t n = ::recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
            for (cmsghdr* c = CMSG_FIRSTHDR(&msg); n >= 0 && c; c = CMSG_NXTHDR(&msg, c)) {
                if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
                    continue;
                const size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
                for (size_t i = 0; i < count; ++i) {
                    int f;
                    std::memcpy(&f, CMSG_DATA(c) + i * sizeof(int), sizeof f);
                    fds.push_back(f);
                }
            }
            if (n > 0) {
                in.append(data, size_t(n));
                return in.size() <= kLongestMessage || stop("answer too long");
            }
            if (n == 0)
                return stop("the system bus closed the connection");
            if (errno != EAGAIN && errno != EINTR)
                return stop(std::strerror(errno));
            if (!wait(POLLIN))
                return false;
        }
    }

    std::string receiveLine() {
        size_t end;
        while ((end = in.find("\r\n")) == std::string::npos) {
            if (in.size() > 512 || !receive())
                return std::string();
        }
        const std::string line = in.substr(0, end);
        in.erase(0, end + 2);
        return line;
    }

    Clock::time_point deadline;
    int cancelFd;
    int fd = -1;
    std::string in;
    std::deque<int> fds;
};

#endif

} // namespace

SleepInhibitor::SleepInhibitor(const QString& who, const QString& why) : who(who), why(why) {}

SleepInhibitor::~SleepInhibitor() {
    release();
}

void SleepInhibitor::acquire() {
    if (asked)
        return;
    asked = true;
    told = false;
#if defined(Q_OS_WIN)
    // Per thread: asked from the one that lives as long as the window.
    heldOnWindows = SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED) != 0;
    if (!heldOnWindows)
        whyNone = QStringLiteral("SetThreadExecutionState failed");
    answered = true;
#else
    answered = false;
    answeredFd = -1;
    if (::pipe2(cancel, O_CLOEXEC) != 0) {
        whyNone = QString::fromLocal8Bit(std::strerror(errno));
        answered = true;
        return;
    }
    asking = std::thread([this] { ask(); });
#endif
}

void SleepInhibitor::ask() {
#if !defined(Q_OS_WIN)
    BusCall call(Clock::now() + std::chrono::milliseconds(kBoundMs), cancel[0]);
    answeredFd = call.inhibit(who.toStdString(), why.toStdString());
    whyNone = QString::fromStdString(call.error);
    answered = true;
#endif
}

bool SleepInhibitor::settled() {
    if (!asked || !answered)
        return false;
    if (!told) {
        told = true;
        if (asking.joinable())
            asking.join();
        lockFd = answeredFd;
        if (!isHeld())
            warnNotKeptAwake(whyNone);
    }
    return true;
}

void SleepInhibitor::release() {
    asked = false;
#if defined(Q_OS_WIN)
    if (heldOnWindows)
        SetThreadExecutionState(ES_CONTINUOUS);
    heldOnWindows = false;
#else
    if (asking.joinable()) {
        ::close(cancel[1]); // gives the thread up at once
        cancel[1] = -1;
        asking.join();
        if (!told && answeredFd >= 0)
            ::close(answeredFd);
    }
    for (int& fd : cancel) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    if (lockFd >= 0)
        ::close(lockFd);
    lockFd = answeredFd = -1;
#endif
}

#include "Session.h"

#include "Protocol.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace hiddfu {
namespace {

constexpr const char* kMagic = "kerno-dfu session 1";
// A whole update is under 2 MB of text; anything far larger is not ours.
constexpr std::streamoff kMaxFileSize = 64 << 20;
constexpr std::size_t kMaxReportSize = 4096;

std::string oneLine(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return text;
}

const char* outcomeName(IoResult::Kind kind) {
    return kind == IoResult::Ok ? "ok" : kind == IoResult::Gone ? "gone" : "failed";
}

std::string hex(std::uint8_t b) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", b);
    return text;
}

class Recorder : public Transport {
public:
    Recorder(std::unique_ptr<Transport> device, std::FILE* file, std::string path)
        : device_(std::move(device)), file_(file), path_(std::move(path)),
          start_(std::chrono::steady_clock::now()) {}
    ~Recorder() override {
        if (file_)
            std::fclose(file_);
    }

    IoResult sendFeature(const std::uint8_t* data, std::size_t size) override {
        const double at = now();
        const IoResult r = device_->sendFeature(data, size);
        write('S', at, data, size, r);
        return r;
    }
    IoResult getFeature(std::uint8_t* buffer, std::size_t size, std::size_t& received) override {
        const double at = now();
        const IoResult r = device_->getFeature(buffer, size, received);
        write('G', at, buffer, r.ok() ? received : 0, r);
        return r;
    }
    bool waitGone(std::chrono::milliseconds bound) override {
        const double at = now();
        const bool left = device_->waitGone(bound);
        write('L', at, nullptr, 0, left ? IoResult::gone("left the bus") : IoResult::success());
        return left;
    }

private:
    double now() const {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_)
            .count();
    }

    // A recording that cannot be written stops; the update it watches goes on.
    void write(char direction, double at, const std::uint8_t* data, std::size_t size,
               const IoResult& r) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!file_)
            return;
        std::size_t used = size;
        while (used > 0 && data[used - 1] == 0)
            --used;
        std::fprintf(file_, "%c %.3f %zu ", direction, at, size);
        for (std::size_t i = 0; i < used; ++i)
            std::fprintf(file_, "%02x", data[i]);
        std::fprintf(file_, "%s %s%s%s\n", used ? "" : "-", outcomeName(r.kind),
                     r.what.empty() ? "" : " ", oneLine(r.what).c_str());
        if (std::fflush(file_) != 0 || std::ferror(file_)) {
            std::fprintf(stderr, "libHidDfu: recording to %s stopped: %s\n", path_.c_str(),
                         std::strerror(errno));
            std::fclose(file_);
            file_ = nullptr;
        }
    }

    const std::unique_ptr<Transport> device_;
    std::mutex mutex_;
    std::FILE* file_;
    const std::string path_;
    const std::chrono::steady_clock::time_point start_;
};

bool parseHex(const std::string& text, std::vector<std::uint8_t>& out) {
    if (text == "-")
        return true;
    if (text.size() % 2)
        return false;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        unsigned value = 0;
        for (std::size_t j = i; j < i + 2; ++j) {
            const char c = text[j];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0)
                return false;
            value = value * 16 + unsigned(digit);
        }
        out.push_back(std::uint8_t(value));
    }
    return true;
}

bool parseReport(const std::string& line, SessionReport& report) {
    std::istringstream in(line);
    std::string direction, data, outcome;
    if (!(in >> direction >> report.atMs >> report.size >> data >> outcome))
        return false;
    if ((direction != "S" && direction != "G" && direction != "L") ||
        report.size > kMaxReportSize || !parseHex(data, report.bytes) ||
        report.bytes.size() > report.size || report.atMs < 0)
        return false;
    report.direction = direction[0];
    std::string what;
    std::getline(in >> std::ws, what);
    if (outcome == "ok")
        report.outcome = IoResult::success();
    else if (outcome == "gone")
        report.outcome = IoResult::gone(what);
    else if (outcome == "failed")
        report.outcome = IoResult::failed(what);
    else
        return false;
    return true;
}

// What a host report is, for the line that names it.
std::string describe(const std::uint8_t* data, std::size_t size) {
    if (size > kCommandPayloadOffset && data[0] == HIDDFU_COMMAND_REPORT_ID) {
        const unsigned index = data[kCommandIndexOffset] | data[kCommandIndexOffset + 1] << 8;
        const unsigned length = data[kCommandLengthOffset] | data[kCommandLengthOffset + 1] << 8;
        return length ? "chunk " + std::to_string(index) : "end of download";
    }
    if (size == HIDDFU_CONTROL_REPORT_SIZE && data[0] == HIDDFU_CONTROL_REPORT_ID)
        return data[1] == kControlReset         ? "reset"
               : data[1] == kControlClearStatus ? "clear-status"
                                                : "control " + std::to_string(data[1]);
    return "id " + std::to_string(size ? data[0] : 0);
}

std::string field(std::uint8_t id, std::size_t at) {
    if (at == 0)
        return "report id";
    if (id != HIDDFU_COMMAND_REPORT_ID)
        return "byte " + std::to_string(at);
    if (at < kCommandIndexOffset)
        return "command";
    if (at < kCommandLengthOffset)
        return "chunk index";
    if (at < kCommandPayloadOffset)
        return "payload length";
    return "payload byte " + std::to_string(at - kCommandPayloadOffset);
}

} // namespace

bool readSession(const std::string& path, Session& session, std::string& why) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        why = path + ": " + std::strerror(errno);
        return false;
    }
    std::ifstream in;
    if (S_ISREG(st.st_mode) && st.st_size <= kMaxFileSize)
        in.open(path, std::ios::binary);
    if (!in) {
        why = path + (!S_ISREG(st.st_mode)        ? ": not a regular file"
                      : st.st_size > kMaxFileSize ? ": larger than any recording"
                                                  : ": cannot be read");
        return false;
    }
    session = Session();
    std::string line;
    for (std::size_t number = 1; std::getline(in, line); ++number) {
        auto bad = [&](const char* what) {
            why = path + ":" + std::to_string(number) + ": " + what;
            return false;
        };
        if (number == 1) {
            if (line != kMagic)
                return bad("not a kerno-dfu session recording");
            continue;
        }
        if (line.empty() || line[0] == '#')
            continue;
        const std::string key = line.substr(0, line.find(' '));
        const std::string value = line.size() > key.size() ? line.substr(key.size() + 1) : "";
        unsigned vendor = 0, product = 0;
        SessionReport report;
        if (key == "library") {
            session.library = value;
        } else if (key == "device") {
            if (std::sscanf(value.c_str(), "%4x:%4x", &vendor, &product) != 2)
                return bad("device wants VVVV:PPPP");
            session.vendorId = std::uint16_t(vendor);
            session.productId = std::uint16_t(product);
        } else if (key == "serial") {
            session.serial = value == "-" ? "" : value;
        } else if (parseReport(line, report)) {
            session.reports.push_back(std::move(report));
        } else {
            return bad("malformed line");
        }
    }
    if (session.reports.empty() || !session.vendorId) {
        why = path + ": no device or no report recorded";
        return false;
    }
    return true;
}

std::unique_ptr<Transport> recordSession(std::unique_ptr<Transport> device, const std::string& path,
                                         const Session& header, std::string& why) {
    // O_NONBLOCK: a pipe at that path must not hang the open; only a regular file is written.
    const int fd = ::open(
        path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0600);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ::ftruncate(fd, 0) != 0) {
        why = "cannot record the session to " + path + ": " +
              (fd < 0 || errno ? std::strerror(errno) : "not a regular file");
        if (fd >= 0)
            ::close(fd);
        return nullptr;
    }
    std::FILE* file = ::fdopen(fd, "w");
    if (!file) {
        why = "cannot record the session to " + path + ": " + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    std::fprintf(file,
                 "%s\n# Every feature report in order: S set by the host, G got by it (L: "
                 "whether the device left after a failed reset); "
                 "milliseconds since the open, bytes on the wire, the bytes in hex without "
                 "trailing zeros, the outcome.\nlibrary %s\ndevice %04x:%04x\nserial %s\n",
                 kMagic, oneLine(header.library).c_str(), header.vendorId, header.productId,
                 header.serial.empty() ? "-" : oneLine(header.serial).c_str());
    std::fflush(file);
    return std::make_unique<Recorder>(std::move(device), file, path);
}

IoResult Replay::diverged(std::string what) {
    diverged_ = "replay: " + what;
    return IoResult::failed(diverged_);
}

IoResult Replay::set(const std::uint8_t* data, std::size_t size) {
    if (!diverged_.empty())
        return IoResult::failed(diverged_);
    if (left_)
        return IoResult::gone("No such device (the recorded device left)");
    const std::string name =
        "report " + std::to_string(++hostReports_) + " (" + describe(data, size) + ")";
    const std::vector<SessionReport>& reports = session_.reports;
    // Status replies the host did not ask for: it waited less than the recorded host.
    while (next_ < reports.size() && reports[next_].direction != 'S')
        ++next_;
    if (next_ == reports.size())
        return diverged(name + " comes after the end of the recording");
    const SessionReport& want = reports[next_];
    if (size != want.size)
        return diverged(name + " is " + std::to_string(size) + " bytes, recorded " +
                        std::to_string(want.size));
    // A command's padding past its announced length carries nothing.
    std::size_t compared = size;
    if (size > kCommandPayloadOffset && data[0] == HIDDFU_COMMAND_REPORT_ID) {
        auto announced = [](const std::uint8_t* d, std::size_t n) {
            const std::size_t at = kCommandLengthOffset;
            return std::size_t(at + 1 < n ? d[at] | d[at + 1] << 8 : 0);
        };
        compared = std::min(size, kCommandPayloadOffset +
                                      std::max(announced(data, size),
                                               announced(want.bytes.data(), want.bytes.size())));
    }
    for (std::size_t i = 0; i < compared; ++i) {
        const std::uint8_t recorded = i < want.bytes.size() ? want.bytes[i] : 0;
        if (data[i] != recorded)
            return diverged(name + " differs from the recording at byte " + std::to_string(i) +
                            (i ? " (" + field(data[0], i) + ")" : std::string()) + ": " +
                            hex(data[i]) + ", recorded " + hex(recorded));
    }
    ++next_;
    lastGot_ = SIZE_MAX;
    if (data[0] == HIDDFU_COMMAND_REPORT_ID && compared > kCommandPayloadOffset)
        image_.insert(image_.end(), data + kCommandPayloadOffset, data + compared);
    left_ = want.outcome.kind == IoResult::Gone;
    return want.outcome;
}

bool Replay::watchLeaving() {
    if (next_ < session_.reports.size() && session_.reports[next_].direction == 'L')
        left_ = session_.reports[next_++].outcome.kind == IoResult::Gone;
    return left_;
}

IoResult Replay::get(std::uint8_t* buffer, std::size_t size, std::size_t& received) {
    received = 0;
    if (!diverged_.empty())
        return IoResult::failed(diverged_);
    if (left_)
        return IoResult::gone("No such device (the recorded device left)");
    const std::vector<SessionReport>& reports = session_.reports;
    // Asked more often than the recorded host asked, the device says the same again.
    if (next_ < reports.size() && reports[next_].direction == 'G')
        lastGot_ = next_++;
    else if (lastGot_ == SIZE_MAX)
        return diverged("status read after report " + std::to_string(hostReports_) +
                        " where the recording has none");
    const SessionReport& reply = reports[lastGot_];
    if (!reply.outcome.ok()) {
        left_ = reply.outcome.kind == IoResult::Gone;
        return reply.outcome;
    }
    if (size < reply.size)
        return IoResult::failed("buffer of " + std::to_string(size) + " bytes for a " +
                                std::to_string(reply.size) + "-byte recorded reply");
    std::fill(buffer, buffer + reply.size, 0);
    std::copy(reply.bytes.begin(), reply.bytes.end(), buffer);
    received = reply.size;
    return IoResult::success();
}

} // namespace hiddfu

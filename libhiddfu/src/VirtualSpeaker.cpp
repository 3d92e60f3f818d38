#include "VirtualSpeaker.h"

#include "Protocol.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <sys/stat.h>
#include <unistd.h>

namespace hiddfu {
namespace {

using std::chrono::milliseconds;
constexpr long kMaxMs = 3600000; // one hour: anything longer is a typo
constexpr std::uint8_t kErrorStringIndex = 4;

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

bool parseNumber(std::string_view text, long max, long& out) {
    if (text.empty() || text.size() > 9)
        return false;
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
    }
    if (value > max)
        return false;
    out = value;
    return true;
}

std::uint32_t ceilMs(std::chrono::steady_clock::duration d) {
    const auto ms = std::chrono::ceil<milliseconds>(d).count();
    return ms <= 0 ? 0 : static_cast<std::uint32_t>(std::min<long long>(ms, 0xFFFFFF));
}

const char* failName(SpeakerConfig::Fail f) {
    switch (f) {
    case SpeakerConfig::Fail::None: return "none";
    case SpeakerConfig::Fail::Connect: return "connect";
    case SpeakerConfig::Fail::Chunk: return "chunk";
    case SpeakerConfig::Fail::Unplug: return "unplug";
    case SpeakerConfig::Fail::Manifest: return "manifest";
    case SpeakerConfig::Fail::Reset: return "reset";
    case SpeakerConfig::Fail::Busy: return "busy";
    }
    return "?";
}

} // namespace

namespace {

using Warn = std::function<void(const std::string&)>;

// One key=value item onto config; name is the key as written (with its "N:").
// Warns and leaves config as it was when the item is bad.
void apply(SpeakerConfig& config, const std::string& key, const std::string& name,
           std::string_view value, const Warn& warn) {
    auto bad = [&](const char* want, const std::string& fallback) {
        warn("KERNO_VIRTUAL_SPEAKER: malformed value '" + std::string(value) + "' for " + name +
             " (want " + want + "); using the default " + fallback);
    };
    long number = 0;
    if (key == "appear-after-ms" || key == "chunk-ms" || key == "manifest-ms") {
        milliseconds& target = key == "appear-after-ms" ? config.appearAfter
                               : key == "chunk-ms"      ? config.chunkBusy
                                                        : config.manifest;
        if (parseNumber(value, kMaxMs, number))
            target = milliseconds(number);
        else
            bad("milliseconds, 0 to 3600000", std::to_string(target.count()));
    } else if (key == "fail") {
        const std::size_t colon = value.find(':');
        const std::string_view mode = value.substr(0, colon);
        const bool hasArg = colon != std::string_view::npos;
        if (!hasArg && mode == "connect")
            config.fail = SpeakerConfig::Fail::Connect;
        else if (!hasArg && mode == "manifest")
            config.fail = SpeakerConfig::Fail::Manifest;
        else if (!hasArg && mode == "reset")
            config.fail = SpeakerConfig::Fail::Reset;
        else if (!hasArg && mode == "busy")
            config.fail = SpeakerConfig::Fail::Busy;
        else if (hasArg && (mode == "chunk" || mode == "unplug") &&
                 parseNumber(value.substr(colon + 1), 0xFFFE, number)) {
            config.fail =
                mode == "chunk" ? SpeakerConfig::Fail::Chunk : SpeakerConfig::Fail::Unplug;
            config.failChunk = static_cast<unsigned>(number);
        } else
            bad("connect, chunk:K, unplug:K, manifest, reset or busy", "none");
    } else if (key == "replay") {
        if (value.empty())
            bad("a recording's path", "of the model");
        else
            config.replayPath = std::string(value);
    } else if (key == "dump") {
        if (value.empty())
            bad("a file path", "of no dump");
        else
            config.dumpPath = std::string(value);
    } else {
        warn("KERNO_VIRTUAL_SPEAKER: unknown key '" + name +
             "' (known: count, appear-after-ms, chunk-ms, manifest-ms, fail, dump, replay, each "
             "but count also as N:key); ignored");
    }
}

} // namespace

std::vector<SpeakerConfig> SpeakerConfig::parse(const char* text, const Warn& warn) {
    struct Item {
        std::size_t speaker; // 0: every speaker
        std::string key, name, value;
    };
    std::vector<Item> items;
    std::size_t count = 1;
    const std::string_view all(text ? text : "");
    for (std::size_t start = 0; start <= all.size();) {
        std::size_t end = all.find(';', start);
        if (end == std::string_view::npos)
            end = all.size();
        const std::string_view item = trim(all.substr(start, end - start));
        start = end + 1;
        if (item.empty())
            continue;
        const std::size_t eq = item.find('=');
        if (eq == std::string_view::npos) {
            warn("KERNO_VIRTUAL_SPEAKER: item '" + std::string(item) +
                 "' is not key=value; ignored");
            continue;
        }
        const std::string name(trim(item.substr(0, eq)));
        const std::string value(trim(item.substr(eq + 1)));
        std::string_view key = name;
        long speaker = 0;
        if (const std::size_t colon = key.find(':'); colon != std::string_view::npos) {
            if (!parseNumber(key.substr(0, colon), kMaxVirtualSpeakers, speaker) || speaker == 0) {
                warn("KERNO_VIRTUAL_SPEAKER: '" + name +
                     "' does not name a speaker from 1 to 64; ignored");
                continue;
            }
            key = trim(key.substr(colon + 1));
        }
        long number = 0;
        if (key == "count" && speaker == 0) {
            if (parseNumber(value, kMaxVirtualSpeakers, number) && number > 0)
                count = static_cast<std::size_t>(number);
            else
                warn("KERNO_VIRTUAL_SPEAKER: malformed value '" + value +
                     "' for count (want 1 to 64); using " + std::to_string(count));
            continue;
        }
        items.push_back({static_cast<std::size_t>(speaker), std::string(key), name, value});
    }

    std::vector<SpeakerConfig> configs(count);
    const Warn silent = [](const std::string&) {};
    for (const Item& item : items) // every speaker's first, so "N:" items win
        for (std::size_t i = 0; item.speaker == 0 && i < count; ++i)
            apply(configs[i], item.key, item.name, item.value, i == 0 ? warn : silent);
    for (std::size_t i = 0; count > 1 && i < count; ++i)
        if (!configs[i].dumpPath.empty())
            configs[i].dumpPath += "." + std::to_string(i + 1);
    for (const Item& item : items) {
        if (item.speaker > count)
            warn("KERNO_VIRTUAL_SPEAKER: '" + item.name + "' names speaker " +
                 std::to_string(item.speaker) + " of " + std::to_string(count) + "; ignored");
        else if (item.speaker > 0)
            apply(configs[item.speaker - 1], item.key, item.name, item.value, warn);
    }
    // The dump is written beside and renamed over its path: anything there but a
    // regular file (a folder, a pipe, a device) is left alone.
    for (SpeakerConfig& config : configs) {
        struct stat st {};
        if (!config.dumpPath.empty() && ::stat(config.dumpPath.c_str(), &st) == 0 &&
            !S_ISREG(st.st_mode)) {
            warn("KERNO_VIRTUAL_SPEAKER: dump path '" + config.dumpPath +
                 "' is not a regular file; no dump");
            config.dumpPath.clear();
        }
    }
    return configs;
}

std::string SpeakerConfig::summary() const {
    std::string s = "appear-after-ms=" + std::to_string(appearAfter.count()) +
                    " chunk-ms=" + std::to_string(chunkBusy.count()) +
                    " manifest-ms=" + std::to_string(manifest.count()) + " fail=" + failName(fail);
    if (fail == Fail::Chunk || fail == Fail::Unplug)
        s += ":" + std::to_string(failChunk);
    if (!dumpPath.empty())
        s += " dump=" + dumpPath;
    if (!replayPath.empty())
        s += " replay=" + replayPath;
    return s;
}

VirtualSpeaker::VirtualSpeaker(SpeakerConfig config)
    : config_(std::move(config)), state_(config_.startInError ? dfuERROR : dfuIDLE),
      status_(config_.startInError ? errUNKNOWN : statusOK) {
    Session session;
    if (config_.replayPath.empty())
        return;
    if (readSession(config_.replayPath, session, replayError_))
        replay_ = std::make_unique<Replay>(std::move(session));
}

IoResult VirtualSpeaker::find(std::uint16_t vendorId, std::uint16_t productId) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = Clock::now();
    if (!firstAttempt_)
        firstAttempt_ = now;
    char ids[32];
    std::snprintf(ids, sizeof ids, "%04x:%04x", vendorId, productId);
    if (vendorId != kVendorId || productId != kProductId)
        return IoResult::gone(std::string("no virtual device ") + ids);
    if (config_.fail == SpeakerConfig::Fail::Connect)
        return IoResult::gone(std::string("no device ") + ids + " (virtual speaker: fail=connect)");
    if (!replayError_.empty())
        return IoResult::gone(std::string("no device ") + ids + " (replay of " + replayError_ +
                              ")");
    if (replay_ && (replay_->session().vendorId != vendorId ||
                    replay_->session().productId != productId))
        return IoResult::gone(std::string("no device ") + ids + " (the recording is of another)");
    if (gone_)
        return IoResult::gone(std::string("no device ") + ids + " (virtual speaker left the bus)");
    if (now - *firstAttempt_ < config_.appearAfter)
        return IoResult::gone(std::string("no device ") + ids +
                              " (virtual speaker not plugged yet)");
    return IoResult::success();
}

bool VirtualSpeaker::present() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !gone_;
}

bool VirtualSpeaker::waitGone() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (replay_)
        gone_ = replay_->watchLeaving();
    return gone_;
}

IoResult VirtualSpeaker::violation(const std::string& what) {
    violations_.push_back(what);
    state_ = dfuERROR;
    status_ = errSTALLEDPKT;
    return IoResult::failed("virtual speaker stalled the request: " + what);
}

IoResult VirtualSpeaker::setReport(const std::uint8_t* data, std::size_t size) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (tracing_)
        trace_.push_back({'S', std::vector<std::uint8_t>(data, data + size)});
    if (gone_)
        return IoResult::gone("No such device");
    if (replay_) {
        const IoResult r = replay_->set(data, size);
        gone_ = replay_->left();
        restarted_ = gone_ && size == kControlReportSize && data[0] == kControlReportId &&
                     data[1] == kControlReset;
        return r;
    }
    if (size == 0)
        return violation("empty report");
    if (data[0] == kCommandReportId)
        return command(data, size);
    if (data[0] == kControlReportId)
        return control(data, size);
    return violation("unknown output report id " + std::to_string(data[0]));
}

IoResult VirtualSpeaker::command(const std::uint8_t* data, std::size_t size) {
    if (size != kCommandReportSize)
        return violation("command report of " + std::to_string(size) + " bytes, expected 1023");
    if (data[1] != kCommandUpgradeData)
        return violation("command " + std::to_string(data[1]) + " is not upgrade data");
    const unsigned index = data[kCommandIndexOffset] | (data[kCommandIndexOffset + 1] << 8);
    const std::size_t length = data[kCommandLengthOffset] | (data[kCommandLengthOffset + 1] << 8);
    if (length > kMaxChunkPayload)
        return violation("chunk " + std::to_string(index) + " announces " +
                         std::to_string(length) + " bytes, more than 1017");
    if (std::any_of(data + kCommandPayloadOffset + length, data + size,
                    [](std::uint8_t b) { return b != 0; }))
        return violation("chunk " + std::to_string(index) + " padding is not zero");
    if (state_ != dfuIDLE && state_ != dfuDNLOAD_IDLE)
        return violation("chunk " + std::to_string(index) + " sent in state " +
                         stateName(state_) + " without waiting");
    if (index == 0 && length > 0) {
        // A new download starts over.
        image_.clear();
        expectedIndex_ = 0;
        manifested_ = false;
    }
    if (index != expectedIndex_)
        return violation("chunk index " + std::to_string(index) + ", expected " +
                         std::to_string(expectedIndex_));
    const auto now = Clock::now();
    if (length == 0) {
        if (index == 0)
            return violation("end of download before any data");
        state_ = dfuMANIFEST_SYNC;
        freshPoll_ = true;
        busyUntil_ = now + config_.manifest;
        floor_ += config_.manifest;
        return IoResult::success();
    }
    if (config_.fail == SpeakerConfig::Fail::Unplug && index == config_.failChunk) {
        gone_ = true;
        return IoResult::gone("No such device (virtual speaker unplugged at chunk " +
                              std::to_string(index) + ")");
    }
    ++expectedIndex_;
    if (config_.fail == SpeakerConfig::Fail::Chunk && index == config_.failChunk) {
        state_ = dfuERROR;
        status_ = errWRITE;
        return IoResult::success();
    }
    if (index == 0 && (length < 8 || std::memcmp(data + kCommandPayloadOffset, "CSR-dfu2", 8) != 0)) {
        violations_.push_back("image does not start with CSR-dfu2");
        state_ = dfuERROR;
        status_ = errFILE;
        return IoResult::success();
    }
    image_.insert(image_.end(), data + kCommandPayloadOffset,
                  data + kCommandPayloadOffset + length);
    state_ = dfuDNBUSY;
    freshPoll_ = true;
    busyUntil_ = now + config_.chunkBusy;
    floor_ += config_.chunkBusy;
    return IoResult::success();
}

IoResult VirtualSpeaker::control(const std::uint8_t* data, std::size_t size) {
    if (size != kControlReportSize)
        return violation("control report of " + std::to_string(size) + " bytes, expected 2");
    if (data[1] == kControlClearStatus) {
        ++clears_;
        if (state_ == dfuERROR) {
            state_ = dfuIDLE;
            image_.clear();
            expectedIndex_ = 0;
        }
        status_ = statusOK;
        return IoResult::success();
    }
    if (data[1] == kControlReset) {
        if (config_.fail == SpeakerConfig::Fail::Reset)
            return IoResult::failed("Broken pipe (virtual speaker refused the reset)");
        gone_ = true;
        restarted_ = true;
        if (config_.resetAcknowledged)
            return IoResult::success();
        return IoResult::gone("No such device (virtual speaker restarted before acknowledging)");
    }
    return violation("unknown control request " + std::to_string(data[1]));
}

void VirtualSpeaker::finishManifestation() {
    if (config_.fail == SpeakerConfig::Fail::Manifest) {
        state_ = dfuERROR;
        status_ = errVERIFY;
        return;
    }
    state_ = dfuIDLE;
    status_ = statusOK;
    manifested_ = true;
    if (config_.dumpPath.empty())
        return;
    // Written to a new file beside, then renamed: a reader never sees half an
    // image, and no existing file (a pipe, a device) is ever opened.
    std::string partial = config_.dumpPath + ".XXXXXX";
    const int fd = ::mkstemp(&partial[0]);
    std::string why = fd < 0 ? std::strerror(errno) : "";
    for (std::size_t done = 0; why.empty() && done < image_.size();) {
        const ssize_t n = ::write(fd, image_.data() + done, image_.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n == 0 || errno != EINTR)
            why = n == 0 ? "nothing written" : std::strerror(errno);
    }
    if (fd >= 0 && ::close(fd) != 0 && why.empty())
        why = std::strerror(errno);
    struct stat st {};
    if (why.empty() && ::stat(config_.dumpPath.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        why = "not a regular file";
    if (why.empty() && std::rename(partial.c_str(), config_.dumpPath.c_str()) != 0)
        why = std::strerror(errno);
    if (!why.empty()) {
        std::fprintf(stderr, "libHidDfu (virtual speaker): cannot write dump %s: %s\n",
                     config_.dumpPath.c_str(), why.c_str());
        if (fd >= 0)
            ::unlink(partial.c_str());
    }
}

IoResult VirtualSpeaker::getReport(std::uint8_t* buffer, std::size_t size, std::size_t& received) {
    std::lock_guard<std::mutex> lock(mutex_);
    received = 0;
    if (gone_)
        return IoResult::gone("No such device");
    if (replay_) {
        const IoResult r = replay_->get(buffer, size, received);
        gone_ = replay_->left();
        return r;
    }
    if (size == 0 || buffer[0] != kStatusReportId)
        return IoResult::failed("virtual speaker has no input report " +
                                std::to_string(size ? buffer[0] : 0));
    if (size < kStatusReportSize)
        return IoResult::failed("buffer of " + std::to_string(size) +
                                " bytes for the 64-byte status report");
    const auto now = Clock::now();
    std::uint32_t poll = 0;
    std::uint8_t shownState = state_;
    const bool fresh = freshPoll_;
    freshPoll_ = false;
    if (state_ == dfuDNBUSY) {
        if (config_.fail == SpeakerConfig::Fail::Busy) {
            poll = static_cast<std::uint32_t>(std::max<long long>(config_.chunkBusy.count(), 1));
        } else if (now < busyUntil_ || (fresh && config_.chunkBusy.count() > 0)) {
            // The first poll after a chunk always sees the device busy.
            poll = std::max<std::uint32_t>(ceilMs(busyUntil_ - now), 1);
        } else {
            state_ = shownState = dfuDNLOAD_IDLE;
        }
    } else if (state_ == dfuMANIFEST_SYNC || state_ == dfuMANIFEST) {
        if (now < busyUntil_ || (fresh && config_.manifest.count() > 0)) {
            state_ = shownState = dfuMANIFEST;
            poll = std::max<std::uint32_t>(ceilMs(busyUntil_ - now), 1);
        } else {
            finishManifestation();
            shownState = state_;
        }
    }
    std::fill(buffer, buffer + kStatusReplySize, 0);
    buffer[0] = kStatusReportId;
    buffer[kStatusStatusOffset] = status_;
    buffer[kStatusPollOffset] = poll & 0xFF;
    buffer[kStatusPollOffset + 1] = (poll >> 8) & 0xFF;
    buffer[kStatusPollOffset + 2] = (poll >> 16) & 0xFF;
    buffer[kStatusStateOffset] = shownState;
    // Real devices name a string for their errors; its index, taken for the
    // status, would tell of another error than the one bStatus holds.
    buffer[kStatusStringOffset] = shownState == dfuERROR ? kErrorStringIndex : 0;
    received = kStatusReplySize;
    if (tracing_)
        trace_.push_back({'G', std::vector<std::uint8_t>(buffer, buffer + kStatusReplySize)});
    return IoResult::success();
}

std::vector<std::uint8_t> VirtualSpeaker::receivedImage() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return replay_ ? replay_->image() : image_;
}

std::vector<std::string> VirtualSpeaker::violations() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return violations_;
}

std::vector<TraceEntry> VirtualSpeaker::trace() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return trace_;
}

void VirtualSpeaker::recordTrace(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    tracing_ = on;
}

unsigned VirtualSpeaker::clearStatusCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return clears_;
}

bool VirtualSpeaker::manifested() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return manifested_;
}

bool VirtualSpeaker::restarted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return restarted_;
}

std::chrono::milliseconds VirtualSpeaker::timeFloor() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return floor_;
}

namespace {

class VirtualTransport : public Transport {
public:
    explicit VirtualTransport(std::shared_ptr<VirtualSpeaker> speaker)
        : speaker_(std::move(speaker)) {}

    IoResult sendFeature(const std::uint8_t* data, std::size_t size) override {
        return speaker_->setReport(data, size);
    }
    IoResult getFeature(std::uint8_t* buffer, std::size_t size, std::size_t& received) override {
        return speaker_->getReport(buffer, size, received);
    }
    bool waitGone(std::chrono::milliseconds) override { return speaker_->waitGone(); }

private:
    std::shared_ptr<VirtualSpeaker> speaker_;
};

const char kPathPrefix[] = "virtual:";

} // namespace

std::unique_ptr<Transport> makeVirtualTransport(std::shared_ptr<VirtualSpeaker> speaker) {
    return std::make_unique<VirtualTransport>(std::move(speaker));
}

VirtualBus::VirtualBus(std::vector<std::shared_ptr<VirtualSpeaker>> speakers, Wrap wrap)
    : speakers_(std::move(speakers)), wrap_(wrap ? std::move(wrap) : makeVirtualTransport) {}

std::vector<BusDevice> VirtualBus::enumerate(std::uint16_t vendorId, std::uint16_t productId,
                                             std::uint16_t, std::uint16_t, std::string& whyNone) {
    std::vector<BusDevice> found;
    for (std::size_t i = 0; i < speakers_.size(); ++i) {
        const IoResult r = speakers_[i]->find(vendorId, productId);
        if (r.ok())
            found.push_back({kPathPrefix + std::to_string(i + 1),
                             speakers_[i]->serial("VIRTUAL-" + std::to_string(i + 1)),
                             kModeUpgrade});
        else if (whyNone.empty())
            whyNone = r.what;
    }
    return found;
}

IoResult VirtualBus::open(const std::string& path, std::unique_ptr<Transport>& device) {
    long number = 0;
    const std::string_view prefix(kPathPrefix);
    if (path.compare(0, prefix.size(), prefix) != 0 ||
        !parseNumber(std::string_view(path).substr(prefix.size()), long(speakers_.size()),
                     number) ||
        number == 0)
        return IoResult::gone("no virtual speaker at " + path);
    const std::shared_ptr<VirtualSpeaker>& speaker = speakers_[std::size_t(number) - 1];
    IoResult r = speaker->find(kVendorId, kProductId);
    if (!r.ok())
        return IoResult::gone(path + ": " + r.what);
    device = wrap_(speaker);
    return r;
}

std::unique_ptr<VirtualBus> makeProcessBus() {
    const auto warn = [](const std::string& line) {
        std::fprintf(stderr, "libHidDfu (virtual speaker): %s\n", line.c_str());
    };
    std::vector<std::shared_ptr<VirtualSpeaker>> speakers;
    std::string summary;
    for (const SpeakerConfig& config :
         SpeakerConfig::parse(std::getenv("KERNO_VIRTUAL_SPEAKER"), warn)) {
        speakers.push_back(std::make_shared<VirtualSpeaker>(config));
        summary += (summary.empty() ? "" : "; ") + config.summary();
        if (!speakers.back()->replayError().empty())
            warn("KERNO_VIRTUAL_SPEAKER: cannot replay " + speakers.back()->replayError() +
                 "; that speaker stays off the bus");
    }
    if (speakers.size() == 1)
        std::fprintf(stderr, "libHidDfu: virtual speaker, no hardware used (%s)\n",
                     summary.c_str());
    else
        std::fprintf(stderr, "libHidDfu: %zu virtual speakers, no hardware used (%s)\n",
                     speakers.size(), summary.c_str());
    std::fflush(stderr);
    return std::make_unique<VirtualBus>(std::move(speakers));
}

} // namespace hiddfu

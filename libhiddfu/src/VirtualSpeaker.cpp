#include "VirtualSpeaker.h"

#include "Protocol.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace hiddfu {
namespace {

using std::chrono::milliseconds;
constexpr long kMaxMs = 3600000; // one hour: anything longer is a typo

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

SpeakerConfig SpeakerConfig::parse(const char* text,
                                   const std::function<void(const std::string&)>& warn) {
    SpeakerConfig config;
    if (!text)
        return config;
    const std::string_view all(text);
    std::size_t start = 0;
    while (start <= all.size()) {
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
        const std::string key(trim(item.substr(0, eq)));
        const std::string_view value = trim(item.substr(eq + 1));
        auto bad = [&](const char* want, const std::string& fallback) {
            warn("KERNO_VIRTUAL_SPEAKER: malformed value '" + std::string(value) + "' for " + key +
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
            const char* want = "connect, chunk:K, unplug:K, manifest, reset or busy";
            if (!hasArg && mode == "connect")
                config.fail = Fail::Connect;
            else if (!hasArg && mode == "manifest")
                config.fail = Fail::Manifest;
            else if (!hasArg && mode == "reset")
                config.fail = Fail::Reset;
            else if (!hasArg && mode == "busy")
                config.fail = Fail::Busy;
            else if (hasArg && (mode == "chunk" || mode == "unplug") &&
                     parseNumber(value.substr(colon + 1), 0xFFFE, number)) {
                config.fail = mode == "chunk" ? Fail::Chunk : Fail::Unplug;
                config.failChunk = static_cast<unsigned>(number);
            } else
                bad(want, "none");
        } else if (key == "dump") {
            if (value.empty())
                bad("a file path", "of no dump");
            else
                config.dumpPath = std::string(value);
        } else {
            warn("KERNO_VIRTUAL_SPEAKER: unknown key '" + key +
                 "' (known: appear-after-ms, chunk-ms, manifest-ms, fail, dump); ignored");
        }
    }
    return config;
}

std::string SpeakerConfig::summary() const {
    std::string s = "appear-after-ms=" + std::to_string(appearAfter.count()) +
                    " chunk-ms=" + std::to_string(chunkBusy.count()) +
                    " manifest-ms=" + std::to_string(manifest.count()) + " fail=" + failName(fail);
    if (fail == Fail::Chunk || fail == Fail::Unplug)
        s += ":" + std::to_string(failChunk);
    if (!dumpPath.empty())
        s += " dump=" + dumpPath;
    return s;
}

VirtualSpeaker::VirtualSpeaker(SpeakerConfig config)
    : config_(std::move(config)), state_(config_.startInError ? dfuERROR : dfuIDLE),
      status_(config_.startInError ? errUNKNOWN : statusOK) {}

IoResult VirtualSpeaker::open(std::uint16_t vendorId, std::uint16_t productId,
                              std::uint16_t& count) {
    std::lock_guard<std::mutex> lock(mutex_);
    count = 0;
    const auto now = Clock::now();
    if (!firstAttempt_)
        firstAttempt_ = now;
    char ids[32];
    std::snprintf(ids, sizeof ids, "%04x:%04x", vendorId, productId);
    if (vendorId != kVendorId || productId != kProductId)
        return IoResult::gone(std::string("no virtual device ") + ids);
    if (config_.fail == SpeakerConfig::Fail::Connect)
        return IoResult::gone(std::string("no device ") + ids + " (virtual speaker: fail=connect)");
    if (gone_)
        return IoResult::gone(std::string("no device ") + ids + " (virtual speaker left the bus)");
    if (now - *firstAttempt_ < config_.appearAfter)
        return IoResult::gone(std::string("no device ") + ids + " (virtual speaker not plugged yet)");
    count = 1;
    return IoResult::success();
}

bool VirtualSpeaker::present() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !gone_;
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
    // Written beside, then renamed: a reader never sees half an image.
    const std::string partial = config_.dumpPath + ".part";
    std::FILE* out = std::fopen(partial.c_str(), "wb");
    bool ok = out && std::fwrite(image_.data(), 1, image_.size(), out) == image_.size();
    if (out)
        ok = std::fclose(out) == 0 && ok;
    if (!ok || std::rename(partial.c_str(), config_.dumpPath.c_str()) != 0) {
        std::fprintf(stderr, "libHidDfu (virtual speaker): cannot write dump %s: %s\n",
                     config_.dumpPath.c_str(), std::strerror(errno));
        std::remove(partial.c_str());
    }
}

IoResult VirtualSpeaker::getReport(std::uint8_t* buffer, std::size_t size, std::size_t& received) {
    std::lock_guard<std::mutex> lock(mutex_);
    received = 0;
    if (gone_)
        return IoResult::gone("No such device");
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
    std::fill(buffer, buffer + kStatusReportSize, 0);
    buffer[0] = kStatusReportId;
    buffer[kStatusPollOffset] = poll & 0xFF;
    buffer[kStatusPollOffset + 1] = (poll >> 8) & 0xFF;
    buffer[kStatusPollOffset + 2] = (poll >> 16) & 0xFF;
    buffer[kStatusStateOffset] = shownState;
    buffer[kStatusStatusOffset] = status_;
    received = kStatusReportSize;
    if (tracing_)
        trace_.push_back({'G', std::vector<std::uint8_t>(buffer, buffer + kStatusReportSize)});
    return IoResult::success();
}

std::vector<std::uint8_t> VirtualSpeaker::receivedImage() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return image_;
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

    IoResult open(std::uint16_t vendorId, std::uint16_t productId, std::uint16_t,
                  std::uint16_t, std::uint16_t& count) override {
        return speaker_->open(vendorId, productId, count);
    }
    void close() override {}
    IoResult sendFeature(const std::uint8_t* data, std::size_t size) override {
        return speaker_->setReport(data, size);
    }
    IoResult getFeature(std::uint8_t* buffer, std::size_t size, std::size_t& received) override {
        return speaker_->getReport(buffer, size, received);
    }
    bool waitGone(std::chrono::milliseconds) override { return !speaker_->present(); }

private:
    std::shared_ptr<VirtualSpeaker> speaker_;
};

} // namespace

std::unique_ptr<Transport> makeVirtualTransport(std::shared_ptr<VirtualSpeaker> speaker) {
    return std::make_unique<VirtualTransport>(std::move(speaker));
}

std::shared_ptr<VirtualSpeaker> processSpeaker() {
    static const std::shared_ptr<VirtualSpeaker> speaker = [] {
        const SpeakerConfig config = SpeakerConfig::parse(
            std::getenv("KERNO_VIRTUAL_SPEAKER"), [](const std::string& line) {
                std::fprintf(stderr, "libHidDfu (virtual speaker): %s\n", line.c_str());
            });
        std::fprintf(stderr, "libHidDfu: virtual speaker, no hardware used (%s)\n",
                     config.summary().c_str());
        std::fflush(stderr);
        return std::make_shared<VirtualSpeaker>(config);
    }();
    return speaker;
}

} // namespace hiddfu

#include "VirtualSpeaker.h"

#include "DfuFile.h"
#include "Protocol.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace hiddfu {
namespace {

using std::chrono::milliseconds;
constexpr std::uint8_t kErrorStringIndex = 4;

std::uint32_t ceilMs(std::chrono::steady_clock::duration d) {
    const auto ms = std::chrono::ceil<milliseconds>(d).count();
    return ms <= 0 ? 0 : static_cast<std::uint32_t>(std::min<long long>(ms, 0xFFFFFF));
}

} // namespace

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
    const std::string ids = usbIds(vendorId, productId);
    if (vendorId != HIDDFU_VENDOR_ID || productId != HIDDFU_PRODUCT_ID)
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
        restarted_ = gone_ && size == HIDDFU_CONTROL_REPORT_SIZE &&
                     data[0] == HIDDFU_CONTROL_REPORT_ID && data[1] == kControlReset;
        return r;
    }
    if (size == 0)
        return violation("empty report");
    if (data[0] == HIDDFU_COMMAND_REPORT_ID)
        return command(data, size);
    if (data[0] == HIDDFU_CONTROL_REPORT_ID)
        return control(data, size);
    return violation("unknown output report id " + std::to_string(data[0]));
}

IoResult VirtualSpeaker::command(const std::uint8_t* data, std::size_t size) {
    if (size != HIDDFU_COMMAND_REPORT_SIZE)
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
    if (index == 0 && (length < kCsrMagicSize ||
                       std::memcmp(data + kCommandPayloadOffset, kCsrMagic, kCsrMagicSize) != 0)) {
        violations_.push_back(std::string("image does not start with ") + kCsrMagic);
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
    if (size != HIDDFU_CONTROL_REPORT_SIZE)
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
    if (size == 0 || buffer[0] != HIDDFU_STATUS_REPORT_ID)
        return IoResult::failed("virtual speaker has no input report " +
                                std::to_string(size ? buffer[0] : 0));
    if (size < HIDDFU_STATUS_REPORT_SIZE)
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
    std::fill(buffer, buffer + HIDDFU_STATUS_REPLY_SIZE, 0);
    buffer[0] = HIDDFU_STATUS_REPORT_ID;
    buffer[kStatusStatusOffset] = status_;
    buffer[kStatusPollOffset] = poll & 0xFF;
    buffer[kStatusPollOffset + 1] = (poll >> 8) & 0xFF;
    buffer[kStatusPollOffset + 2] = (poll >> 16) & 0xFF;
    buffer[kStatusStateOffset] = shownState;
    // Real devices name a string for their errors; its index, taken for the
    // status, would tell of another error than the one bStatus holds.
    buffer[kStatusStringOffset] = shownState == dfuERROR ? kErrorStringIndex : 0;
    received = HIDDFU_STATUS_REPLY_SIZE;
    if (tracing_)
        trace_.push_back(
            {'G', std::vector<std::uint8_t>(buffer, buffer + HIDDFU_STATUS_REPLY_SIZE)});
    return IoResult::success();
}

std::vector<std::uint8_t> VirtualSpeaker::receivedImage() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return replay_ ? replay_->image() : image_;
}

void VirtualSpeaker::recordTrace(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    tracing_ = on;
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

} // namespace

std::unique_ptr<Transport> makeVirtualTransport(std::shared_ptr<VirtualSpeaker> speaker) {
    return std::make_unique<VirtualTransport>(std::move(speaker));
}

} // namespace hiddfu

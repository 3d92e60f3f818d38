// A model of one speaker's side of the HID DFU protocol, with fault
// injection, and the transport that talks to it in-process.
#pragma once

#include "Session.h"
#include "SpeakerSettings.h"

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace hiddfu {

struct TraceEntry {
    char direction; // 'S' report set by the host, 'G' report got by the host
    std::vector<std::uint8_t> bytes;
};

class VirtualSpeaker {
public:
    explicit VirtualSpeaker(SpeakerConfig config);

    // Whether the speaker is on the bus with these ids now; why not, if not.
    IoResult find(std::uint16_t vendorId, std::uint16_t productId);
    IoResult setReport(const std::uint8_t* data, std::size_t size);
    IoResult getReport(std::uint8_t* buffer, std::size_t size, std::size_t& received);
    bool present() const { return !locked(gone_); }
    // After a reset that failed: whether the speaker has left the bus.
    bool waitGone();

    // Inspection, for tests and the benchmark.
    const SpeakerConfig& config() const { return config_; }
    std::vector<std::uint8_t> receivedImage() const;
    std::vector<std::string> violations() const { return locked(violations_); }
    std::vector<TraceEntry> trace() const { return locked(trace_); }
    void recordTrace(bool on);
    unsigned clearStatusCount() const { return locked(clears_); }
    bool manifested() const { return locked(manifested_); }
    bool restarted() const { return locked(restarted_); }
    // The sum of busy and manifestation times.
    std::chrono::milliseconds timeFloor() const { return locked(floor_); }
    const std::string& replayError() const { return replayError_; }
    // A replay shows the recorded device's serial.
    std::string serial(std::string model) const {
        return replay_ ? replay_->session().serial : model;
    }

private:
    using Clock = std::chrono::steady_clock;

    template <typename T> T locked(const T& field) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return field;
    }

    IoResult violation(const std::string& what);
    IoResult command(const std::uint8_t* data, std::size_t size);
    IoResult control(const std::uint8_t* data, std::size_t size);
    void finishManifestation();

    const SpeakerConfig config_;
    mutable std::mutex mutex_;
    std::optional<Clock::time_point> firstAttempt_;
    bool gone_ = false;
    bool restarted_ = false;
    std::uint8_t state_;
    std::uint8_t status_;
    unsigned expectedIndex_ = 0;
    bool freshPoll_ = false; // first status poll after a chunk or the end of download
    Clock::time_point busyUntil_{};
    std::vector<std::uint8_t> image_;
    std::vector<std::string> violations_;
    bool tracing_ = false;
    std::vector<TraceEntry> trace_;
    unsigned clears_ = 0;
    bool manifested_ = false;
    std::chrono::milliseconds floor_{0};
    std::unique_ptr<Replay> replay_;
    std::string replayError_;
};

std::unique_ptr<Transport> makeVirtualTransport(std::shared_ptr<VirtualSpeaker> speaker);

} // namespace hiddfu

// A model of the speaker's side of the HID DFU protocol, with fault
// injection, the transport that talks to it in-process, and a bus of one or
// more of them.
#pragma once

#include "Session.h"
#include "Transport.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace hiddfu {

struct SpeakerConfig {
    enum class Fail { None, Connect, Chunk, Unplug, Manifest, Reset, Busy };

    std::chrono::milliseconds appearAfter{1500};
    // 795 chunks of the 807,582-byte image plus the manifestation take about 15 s.
    std::chrono::milliseconds chunkBusy{16};
    std::chrono::milliseconds manifest{2000};
    Fail fail = Fail::None;
    unsigned failChunk = 0; // for Chunk and Unplug
    std::string dumpPath;
    std::string replayPath; // answers from this recording instead of the model
    bool startInError = false;      // found in dfuERROR, as after an aborted earlier attempt
    bool resetAcknowledged = false; // false: restarts before the reset's status stage

    // Reads "key=value;N:key=value;...": count=N speakers (1 to 64), the other
    // keys for every speaker, or for speaker N only with the "N:" prefix. With
    // several speakers a shared dump=PATH becomes PATH.N. Each bad item gives
    // one line to warn and leaves that setting at its default.
    static std::vector<SpeakerConfig> parse(const char* text,
                                            const std::function<void(const std::string&)>& warn);
    std::string summary() const;
};

constexpr std::size_t kMaxVirtualSpeakers = 64;

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
    bool present() const;
    // After a reset that failed: whether the speaker has left the bus.
    bool waitGone();

    // Inspection, for tests and the benchmark.
    const SpeakerConfig& config() const { return config_; }
    std::vector<std::uint8_t> receivedImage() const;
    std::vector<std::string> violations() const;
    std::vector<TraceEntry> trace() const;
    void recordTrace(bool on);
    unsigned clearStatusCount() const;
    bool manifested() const;
    bool restarted() const;
    std::chrono::milliseconds timeFloor() const; // sum of busy and manifestation times
    const std::string& replayError() const { return replayError_; }
    // A replay shows the recorded device's serial.
    std::string serial(std::string model) const {
        return replay_ ? replay_->session().serial : model;
    }

private:
    using Clock = std::chrono::steady_clock;

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

// Speakers on paths "virtual:1", "virtual:2", ...; wrap makes the transport of
// an opened one (default: makeVirtualTransport).
class VirtualBus : public Bus {
public:
    using Wrap = std::function<std::unique_ptr<Transport>(std::shared_ptr<VirtualSpeaker>)>;
    explicit VirtualBus(std::vector<std::shared_ptr<VirtualSpeaker>> speakers, Wrap wrap = {});

    std::vector<BusDevice> enumerate(std::uint16_t vendorId, std::uint16_t productId,
                                     std::uint16_t usagePage, std::uint16_t usage,
                                     std::string& whyNone) override;
    IoResult open(const std::string& path, std::unique_ptr<Transport>& device) override;
    const std::vector<std::shared_ptr<VirtualSpeaker>>& speakers() const { return speakers_; }

private:
    const std::vector<std::shared_ptr<VirtualSpeaker>> speakers_;
    const Wrap wrap_;
};

// The process's speakers, configured once from KERNO_VIRTUAL_SPEAKER.
std::unique_ptr<VirtualBus> makeProcessBus();

} // namespace hiddfu

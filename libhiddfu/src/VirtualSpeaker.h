// A model of the speaker's side of the HID DFU protocol, with fault
// injection, and the transport that talks to it in-process.
#pragma once

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
    bool startInError = false;      // found in dfuERROR, as after an aborted earlier attempt
    bool resetAcknowledged = false; // false: restarts before the reset's status stage

    // Reads "key=value;key=value". Each bad item gives one line to warn and
    // leaves that setting at its default.
    static SpeakerConfig parse(const char* text,
                               const std::function<void(const std::string&)>& warn);
    std::string summary() const;
};

struct TraceEntry {
    char direction; // 'S' report set by the host, 'G' report got by the host
    std::vector<std::uint8_t> bytes;
};

class VirtualSpeaker {
public:
    explicit VirtualSpeaker(SpeakerConfig config);

    IoResult open(std::uint16_t vendorId, std::uint16_t productId, std::uint16_t& count);
    IoResult setReport(const std::uint8_t* data, std::size_t size);
    IoResult getReport(std::uint8_t* buffer, std::size_t size, std::size_t& received);
    bool present() const;

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
};

std::unique_ptr<Transport> makeVirtualTransport(std::shared_ptr<VirtualSpeaker> speaker);

// The process's speaker, configured once from KERNO_VIRTUAL_SPEAKER.
std::shared_ptr<VirtualSpeaker> processSpeaker();

} // namespace hiddfu

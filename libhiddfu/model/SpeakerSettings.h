// The virtual speakers' settings: what KERNO_VIRTUAL_SPEAKER says of each.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
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

// A decimal number of 1 to 9 digits, at most max.
bool parseNumber(std::string_view text, long max, long& out);

} // namespace hiddfu

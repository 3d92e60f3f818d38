// The engine's view of a device: feature reports in and out.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace hiddfu {

struct IoResult {
    enum Kind { Ok, Gone, Failed };
    Kind kind = Ok;
    std::string what; // set unless Ok

    bool ok() const { return kind == Ok; }
    static IoResult success() { return {}; }
    static IoResult gone(std::string why) { return {Gone, std::move(why)}; }
    static IoResult failed(std::string why) { return {Failed, std::move(why)}; }
};

class Transport {
public:
    virtual ~Transport() = default;

    // Opens the first matching device; usagePage/usage 0 match any.
    // count receives the number of matching devices seen.
    virtual IoResult open(std::uint16_t vendorId, std::uint16_t productId,
                          std::uint16_t usagePage, std::uint16_t usage, std::uint16_t& count) = 0;
    virtual void close() = 0;

    // data[0] is the report id; size includes it.
    virtual IoResult sendFeature(const std::uint8_t* data, std::size_t size) = 0;
    // buffer[0] holds the wanted report id on entry; received is the byte count incl. the id.
    virtual IoResult getFeature(std::uint8_t* buffer, std::size_t size, std::size_t& received) = 0;

    // After a reset send failed: true when the device left the bus within bound.
    virtual bool waitGone(std::chrono::milliseconds bound) = 0;
};

} // namespace hiddfu

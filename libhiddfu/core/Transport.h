// The engine's view of a device (feature reports in and out) and of the bus
// that lists and opens devices.
#pragma once

#include "HidDfuFacts.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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

// An opened device; closed when destroyed.
class Transport {
public:
    virtual ~Transport() = default;

    // data[0] is the report id; size includes it.
    virtual IoResult sendFeature(const std::uint8_t* data, std::size_t size) = 0;
    // buffer[0] holds the wanted report id on entry; received is the byte count incl. the id.
    virtual IoResult getFeature(std::uint8_t* buffer, std::size_t size, std::size_t& received) = 0;

    // After a reset send failed: true when the device left the bus within bound.
    virtual bool waitGone(std::chrono::milliseconds bound) = 0;
};

struct BusDevice {
    std::string path;   // what open() takes
    std::string serial; // printable UTF-8, may be empty
    std::int32_t mode = HIDDFU_MODE_UPGRADE;
};

// Where devices are found: hidapi or the virtual speakers. Thread-safe.
class Bus {
public:
    virtual ~Bus() = default;

    // The devices with these ids now present; usagePage/usage 0 match any. When
    // none is found, whyNone may say why.
    virtual std::vector<BusDevice> enumerate(std::uint16_t vendorId, std::uint16_t productId,
                                             std::uint16_t usagePage, std::uint16_t usage,
                                             std::string& whyNone) = 0;
    virtual IoResult open(const std::string& path, std::unique_ptr<Transport>& device) = 0;
};

} // namespace hiddfu

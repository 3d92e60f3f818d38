// What this process sees of the bus and holds of it: the devices present,
// which of them are open here, and opening one into an engine.
#pragma once

#include "Engine.h"
#include "Transport.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace hiddfu {

class Host {
public:
    // library: how recordings name the library that made them.
    explicit Host(std::unique_ptr<Bus> bus, std::string library = "libHidDfu");

    // Devices open here show as HIDDFU_MODE_IN_USE.
    std::vector<BusDevice> list(std::uint16_t vendorId, std::uint16_t productId,
                                std::uint16_t usagePage, std::uint16_t usage, std::string& whyNone);
    // Opens the device at path into engine; a device open here already is
    // refused with inUseCode, one that cannot be opened with HIDDFU_ERR_CONNECT.
    // With KERNO_DFU_RECORD naming a file, the session is recorded there (the
    // second device opened in this process to FILE.2, and so on); with
    // KERNO_DFU_RECORD_BLANK_SERIAL set, without the device's serial.
    std::int32_t open(const std::string& path, Engine& engine,
                      std::int32_t inUseCode = HIDDFU_ERR_BUSY);
    // Opens the only matching device; refuses when there is none or several.
    // count receives the number of matching devices seen.
    std::int32_t connect(Engine& engine, std::uint16_t vendorId, std::uint16_t productId,
                         std::uint16_t usagePage, std::uint16_t usage, std::uint16_t& count);

private:
    struct Claims;
    std::unique_ptr<Bus> bus_;
    const std::string library_;
    std::atomic<unsigned> recordings_{0};
    std::shared_ptr<Claims> claims_; // shared with the open devices, which release their path
};

} // namespace hiddfu

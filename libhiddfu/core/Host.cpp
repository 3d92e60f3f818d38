#include "Host.h"

#include "Session.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>

namespace hiddfu {

struct Host::Claims {
    std::mutex mutex;
    std::set<std::string> paths;
};

namespace {

// An open device that gives its path back when closed.
class Claimed : public Transport {
public:
    Claimed(std::unique_ptr<Transport> device, std::shared_ptr<void> claim)
        : claim_(std::move(claim)), device_(std::move(device)) {}
    IoResult sendFeature(const std::uint8_t* data, std::size_t size) override {
        return device_->sendFeature(data, size);
    }
    IoResult getFeature(std::uint8_t* buffer, std::size_t size, std::size_t& received) override {
        return device_->getFeature(buffer, size, received);
    }
    bool waitGone(std::chrono::milliseconds bound) override { return device_->waitGone(bound); }

private:
    std::shared_ptr<void> claim_;
    std::unique_ptr<Transport> device_; // closed before the claim goes
};

} // namespace

Host::Host(std::unique_ptr<Bus> bus, std::string library)
    : bus_(std::move(bus)), library_(std::move(library)), claims_(std::make_shared<Claims>()) {}

std::vector<BusDevice> Host::list(std::uint16_t vendorId, std::uint16_t productId,
                                  std::uint16_t usagePage, std::uint16_t usage,
                                  std::string& whyNone) {
    std::vector<BusDevice> found = bus_->enumerate(vendorId, productId, usagePage, usage, whyNone);
    std::lock_guard<std::mutex> lock(claims_->mutex);
    for (BusDevice& device : found)
        if (claims_->paths.count(device.path))
            device.mode = HIDDFU_MODE_IN_USE;
    return found;
}

std::int32_t Host::open(const std::string& path, Engine& engine, std::int32_t inUseCode) {
    {
        std::lock_guard<std::mutex> lock(claims_->mutex);
        if (!claims_->paths.insert(path).second)
            return engine.fail(inUseCode, path + " is already open in this process");
    }
    // From here the claim is released by whoever holds it last.
    std::shared_ptr<void> claim(nullptr, [claims = claims_, path](void*) {
        std::lock_guard<std::mutex> lock(claims->mutex);
        claims->paths.erase(path);
    });
    const char* record = std::getenv("KERNO_DFU_RECORD");
    Session header{library_, HIDDFU_VENDOR_ID, HIDDFU_PRODUCT_ID, {}, {}};
    if (record && *record && !std::getenv("KERNO_DFU_RECORD_BLANK_SERIAL")) {
        std::string whyNone;
        for (const BusDevice& present :
             bus_->enumerate(HIDDFU_VENDOR_ID, HIDDFU_PRODUCT_ID, 0, 0, whyNone))
            if (present.path == path)
                header.serial = present.serial;
    }
    std::unique_ptr<Transport> device;
    const IoResult opened = bus_->open(path, device);
    if (!opened.ok() || !device)
        return engine.fail(HIDDFU_ERR_CONNECT,
                           opened.what.empty() ? "cannot open " + path : opened.what);
    if (record && *record) {
        const unsigned number = ++recordings_;
        std::string why;
        device = recordSession(std::move(device),
                               number == 1 ? record : record + ("." + std::to_string(number)),
                               header, why);
        if (!device)
            return engine.fail(HIDDFU_ERR_CONNECT, why);
    }
    return engine.open(std::make_unique<Claimed>(std::move(device), std::move(claim)));
}

std::int32_t Host::connect(Engine& engine, std::uint16_t vendorId, std::uint16_t productId,
                           std::uint16_t usagePage, std::uint16_t usage, std::uint16_t& count) {
    count = 0;
    if (engine.running())
        return engine.fail(HIDDFU_ERR_BUSY, "connect refused: a transfer is running");
    engine.close();
    std::string whyNone;
    const std::vector<BusDevice> found = list(vendorId, productId, usagePage, usage, whyNone);
    count = static_cast<std::uint16_t>(std::min<std::size_t>(found.size(), 0xFFFF));
    const std::string ids = usbIds(vendorId, productId);
    if (found.empty())
        return engine.fail(HIDDFU_ERR_CONNECT,
                           whyNone.empty() ? "no device " + ids + " found" : whyNone);
    // Which one would be written is anybody's guess: let the person unplug the others.
    if (found.size() > 1)
        return engine.fail(HIDDFU_ERR_CONNECT, std::to_string(found.size()) + " devices " + ids +
                                            " found; connect only one");
    return open(found.front().path, engine, HIDDFU_ERR_CONNECT);
}

} // namespace hiddfu

// A bus of one or more virtual speakers.
#pragma once

#include "VirtualSpeaker.h"

#include <functional>

namespace hiddfu {

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

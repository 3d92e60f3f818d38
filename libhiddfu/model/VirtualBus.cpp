#include "VirtualBus.h"

#include "HidDfuFacts.h"

#include <cstdio>
#include <cstdlib>

namespace hiddfu {
namespace {

const char kPathPrefix[] = "virtual:";

} // namespace

VirtualBus::VirtualBus(std::vector<std::shared_ptr<VirtualSpeaker>> speakers, Wrap wrap)
    : speakers_(std::move(speakers)), wrap_(wrap ? std::move(wrap) : makeVirtualTransport) {}

std::vector<BusDevice> VirtualBus::enumerate(std::uint16_t vendorId, std::uint16_t productId,
                                             std::uint16_t, std::uint16_t, std::string& whyNone) {
    std::vector<BusDevice> found;
    for (std::size_t i = 0; i < speakers_.size(); ++i) {
        const IoResult r = speakers_[i]->find(vendorId, productId);
        if (r.ok())
            found.push_back({kPathPrefix + std::to_string(i + 1),
                             speakers_[i]->serial("VIRTUAL-" + std::to_string(i + 1)),
                             HIDDFU_MODE_UPGRADE});
        else if (whyNone.empty())
            whyNone = r.what;
    }
    return found;
}

IoResult VirtualBus::open(const std::string& path, std::unique_ptr<Transport>& device) {
    long number = 0;
    const std::string_view prefix(kPathPrefix);
    if (path.compare(0, prefix.size(), prefix) != 0 ||
        !parseNumber(std::string_view(path).substr(prefix.size()), long(speakers_.size()),
                     number) ||
        number == 0)
        return IoResult::gone("no virtual speaker at " + path);
    const std::shared_ptr<VirtualSpeaker>& speaker = speakers_[std::size_t(number) - 1];
    IoResult r = speaker->find(HIDDFU_VENDOR_ID, HIDDFU_PRODUCT_ID);
    if (!r.ok())
        return IoResult::gone(path + ": " + r.what);
    device = wrap_(speaker);
    return r;
}

std::unique_ptr<VirtualBus> makeProcessBus() {
    const auto warn = [](const std::string& line) {
        std::fprintf(stderr, "libHidDfu (virtual speaker): %s\n", line.c_str());
    };
    std::vector<std::shared_ptr<VirtualSpeaker>> speakers;
    std::string summary;
    for (const SpeakerConfig& config :
         SpeakerConfig::parse(std::getenv("KERNO_VIRTUAL_SPEAKER"), warn)) {
        speakers.push_back(std::make_shared<VirtualSpeaker>(config));
        summary += (summary.empty() ? "" : "; ") + config.summary();
        if (!speakers.back()->replayError().empty())
            warn("KERNO_VIRTUAL_SPEAKER: cannot replay " + speakers.back()->replayError() +
                 "; that speaker stays off the bus");
    }
    if (speakers.size() == 1)
        std::fprintf(stderr, "libHidDfu: virtual speaker, no hardware used (%s)\n",
                     summary.c_str());
    else
        std::fprintf(stderr, "libHidDfu: %zu virtual speakers, no hardware used (%s)\n",
                     speakers.size(), summary.c_str());
    std::fflush(stderr);
    return std::make_unique<VirtualBus>(std::move(speakers));
}

} // namespace hiddfu

// Stands in for libhidapi-hidraw.so.0 so the hardware build can be driven
// without a speaker: the device behind it is the device model.
#include "Protocol.h"
#include "VirtualSpeaker.h"

#include <hidapi.h>

#include <cstdlib>
#include <cstring>

using namespace hiddfu;

namespace {

std::shared_ptr<VirtualSpeaker> speaker() {
    static const auto model = [] {
        SpeakerConfig config;
        config.appearAfter = std::chrono::milliseconds(0);
        config.chunkBusy = std::chrono::milliseconds(1);
        config.manifest = std::chrono::milliseconds(1);
        return std::make_shared<VirtualSpeaker>(config);
    }();
    return model;
}

char kPath[] = "/dev/hidraw-fake0";
hid_device* const kHandle = reinterpret_cast<hid_device*>(&kPath);
const wchar_t* lastError = L"";

} // namespace

extern "C" {

__attribute__((visibility("default"))) int hid_init(void) { return 0; }
__attribute__((visibility("default"))) int hid_exit(void) { return 0; }

__attribute__((visibility("default"))) hid_device_info* hid_enumerate(unsigned short vendor,
                                                                     unsigned short product) {
    if (vendor != kVendorId || product != kProductId || !speaker()->present())
        return nullptr;
    auto* info = static_cast<hid_device_info*>(std::calloc(1, sizeof(hid_device_info)));
    info->path = strdup(kPath);
    info->vendor_id = vendor;
    info->product_id = product;
    return info;
}

__attribute__((visibility("default"))) void hid_free_enumeration(hid_device_info* list) {
    while (list) {
        hid_device_info* next = list->next;
        std::free(list->path);
        std::free(list);
        list = next;
    }
}

__attribute__((visibility("default"))) hid_device* hid_open_path(const char* path) {
    std::uint16_t count = 0;
    if (std::strcmp(path, kPath) != 0 || !speaker()->open(kVendorId, kProductId, count).ok())
        return nullptr;
    return kHandle;
}

__attribute__((visibility("default"))) void hid_close(hid_device*) {}

__attribute__((visibility("default"))) int hid_send_feature_report(hid_device*,
                                                                   const unsigned char* data,
                                                                   size_t length) {
    const IoResult r = speaker()->setReport(data, length);
    lastError = r.kind == IoResult::Gone ? L"No such device" : L"Broken pipe";
    return r.ok() ? static_cast<int>(length) : -1;
}

__attribute__((visibility("default"))) int hid_get_feature_report(hid_device*,
                                                                  unsigned char* data,
                                                                  size_t length) {
    std::size_t received = 0;
    const IoResult r = speaker()->getReport(data, length, received);
    lastError = r.kind == IoResult::Gone ? L"No such device" : L"Broken pipe";
    return r.ok() ? static_cast<int>(received) : -1;
}

__attribute__((visibility("default"))) const wchar_t* hid_error(hid_device*) { return lastError; }

} // extern "C"

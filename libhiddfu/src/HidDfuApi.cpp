// The C interfaces: handles over one engine each, and the five functions
// over the process's own handle. Built twice: with HIDDFU_VIRTUAL_SPEAKER for
// the device model, without for hidapi.
#include "HidDfu.h"

#include "Engine.h"
#include "Host.h"

#if defined(HIDDFU_VIRTUAL_SPEAKER)
#include "VirtualBus.h"
#else
#include "HidapiTransport.h"
#endif

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <set>

struct hidDfuDevice {
    hiddfu::Engine engine;
    explicit hidDfuDevice(hiddfu::Engine::Options options) : engine(std::move(options)) {}
};

namespace {

using namespace hiddfu;

Engine::Options engineOptions(bool quiet) {
    Engine::Options options;
#if !defined(HIDDFU_VIRTUAL_SPEAKER)
    options.refusePlaceholder = true;
#endif
    // Handles report through hidDfuDeviceLastError; their callers decide what to print.
    if (quiet)
        options.log = [](const std::string&) {};
    return options;
}

// Each build links its own bus: the device model or hidapi, never both.
#if defined(HIDDFU_VIRTUAL_SPEAKER)
constexpr const char* kLibrary = "libHidDfu " HIDDFU_VERSION " (virtual speaker)";
const auto makeBus = makeProcessBus;
#else
constexpr const char* kLibrary = "libHidDfu " HIDDFU_VERSION " (hidapi)";
const auto makeBus = makeHidapiBus;
#endif

// Built at first use, so the virtual speakers read their variable then.
// Destroyed at exit or unload: open handles are closed (their transfers
// cancelled and joined) before the bus goes.
struct State {
    Host host{makeBus(), kLibrary};
    hidDfuDevice process{engineOptions(false)}; // the five functions' connection
    std::mutex fiveMutex;
    std::mutex handlesMutex;
    std::set<hidDfuDevice*> handles;

    ~State() {
        for (hidDfuDevice* device : handles)
            delete device;
    }
};

State& state() {
    static State instance;
    return instance;
}

// hidDfuOpen has no handle to keep its failure in. Trivially destructible, so
// the library can still be unloaded.
thread_local char openError[256];

template <typename F> int32_t guarded(F&& call) noexcept {
    try {
        return call();
    } catch (const std::bad_alloc&) {
        return HIDDFU_ERR_NO_MEMORY;
    } catch (...) {
        return HIDDFU_ERR_UNKNOWN;
    }
}

// Copies text into out (size bytes) NUL-terminated, cut at a UTF-8 character boundary.
void copyText(const std::string& text, char* out, std::size_t size) {
    if (size == 0)
        return;
    std::size_t n = std::min(text.size(), size - 1);
    while (n > 0 && n < text.size() && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
        --n;
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
}

} // namespace

extern "C" {

HIDDFU_API int32_t HIDDFU_CALL hidDfuConnect(uint16_t vendorId, uint16_t productId,
                                             uint16_t usagePage, uint16_t usage,
                                             uint16_t* deviceCount) {
    return guarded([&] {
        State& s = state();
        std::lock_guard<std::mutex> lock(s.fiveMutex);
        uint16_t count = 0;
        const int32_t r =
            s.host.connect(s.process.engine, vendorId, productId, usagePage, usage, count);
        if (deviceCount)
            *deviceCount = count;
        return r;
    });
}

HIDDFU_API int32_t HIDDFU_CALL hidDfuUpgrade(const char* fileName, int32_t options) {
    return guarded([&] {
        std::lock_guard<std::mutex> lock(state().fiveMutex);
        return hidDfuDeviceUpgrade(&state().process, fileName, options);
    });
}

HIDDFU_API int32_t HIDDFU_CALL hidDfuGetProgress(void) {
    return guarded([] { return hidDfuDeviceGetProgress(&state().process); });
}

HIDDFU_API int32_t HIDDFU_CALL hidDfuResetDevice(void) {
    return guarded([] {
        std::lock_guard<std::mutex> lock(state().fiveMutex);
        return hidDfuDeviceReset(&state().process);
    });
}

HIDDFU_API int32_t HIDDFU_CALL hidDfuDisconnect(void) {
    return guarded([] {
        std::lock_guard<std::mutex> lock(state().fiveMutex);
        return state().process.engine.close();
    });
}

HIDDFU_API int32_t HIDDFU_CALL hidDfuEnumerate(uint16_t vendorId, uint16_t productId,
                                               hidDfuDeviceInfo* devices, int32_t capacity) {
    if (capacity < 0 || (!devices && capacity > 0))
        return HIDDFU_ERR_INVALID_PARAM;
    return guarded([&] {
        std::string whyNone;
        const std::vector<BusDevice> found = state().host.list(vendorId, productId, 0, 0, whyNone);
        for (std::size_t i = 0; i < found.size() && i < std::size_t(capacity); ++i) {
            const bool fits = found[i].path.size() < sizeof devices[i].path;
            copyText(fits ? found[i].path : "", devices[i].path, sizeof devices[i].path);
            copyText(found[i].serial, devices[i].serial, sizeof devices[i].serial);
            devices[i].mode = fits ? found[i].mode : HIDDFU_MODE_NO_ACCESS;
        }
        return int32_t(std::min<std::size_t>(found.size(), INT32_MAX));
    });
}

HIDDFU_API int32_t HIDDFU_CALL hidDfuOpen(const char* path, hidDfuDevice** device) {
    if (!device || !path) {
        copyText(device ? "hidDfuOpen: path is NULL" : "hidDfuOpen: no place for the handle",
                 openError, sizeof openError);
        return HIDDFU_ERR_INVALID_PARAM;
    }
    *device = nullptr;
    const int32_t r = guarded([&] {
        State& s = state();
        auto opened = std::make_unique<hidDfuDevice>(engineOptions(true));
        const int32_t code = s.host.open(path, opened->engine);
        copyText(opened->engine.lastError(), openError, sizeof openError);
        if (code != HIDDFU_OK)
            return code;
        std::lock_guard<std::mutex> lock(s.handlesMutex);
        s.handles.insert(opened.get());
        *device = opened.release();
        return code;
    });
    if (r == HIDDFU_ERR_NO_MEMORY || r == HIDDFU_ERR_UNKNOWN)
        copyText(r == HIDDFU_ERR_NO_MEMORY ? "out of memory" : "unexpected failure", openError,
                 sizeof openError);
    return r;
}

HIDDFU_API int32_t HIDDFU_CALL hidDfuDeviceUpgrade(hidDfuDevice* device, const char* fileName,
                                                   int32_t options) {
    if (!device)
        return HIDDFU_ERR_INVALID_PARAM;
    return guarded([&] { return device->engine.upgrade(fileName, options); });
}

HIDDFU_API int32_t HIDDFU_CALL hidDfuDeviceGetProgress(hidDfuDevice* device) {
    return device ? device->engine.progress() : HIDDFU_ERR_INVALID_PARAM;
}

HIDDFU_API int32_t HIDDFU_CALL hidDfuDeviceReset(hidDfuDevice* device) {
    if (!device)
        return HIDDFU_ERR_INVALID_PARAM;
    return guarded([&] { return device->engine.reset(); });
}

HIDDFU_API int32_t HIDDFU_CALL hidDfuDeviceLastError(hidDfuDevice* device, char* text,
                                                     int32_t size) {
    if (size < 0 || (!text && size > 0))
        return HIDDFU_ERR_INVALID_PARAM;
    return guarded([&] {
        const std::string last = device ? device->engine.lastError() : std::string(openError);
        if (text)
            copyText(last, text, std::size_t(size));
        return int32_t(std::min<std::size_t>(last.size(), INT32_MAX));
    });
}

HIDDFU_API int32_t HIDDFU_CALL hidDfuClose(hidDfuDevice* device) {
    if (!device)
        return HIDDFU_OK;
    return guarded([&] {
        State& s = state();
        {
            std::lock_guard<std::mutex> lock(s.handlesMutex);
            s.handles.erase(device);
        }
        delete device; // cancels, joins, closes
        return HIDDFU_OK;
    });
}

HIDDFU_API int32_t HIDDFU_CALL hidDfuCheckFile(const char* fileName, hidDfuFileInfo* info) {
    if (!info)
        return HIDDFU_ERR_INVALID_PARAM;
    *info = hidDfuFileInfo{};
    if (!fileName) {
        copyText("file name is NULL", info->error, sizeof info->error);
        return HIDDFU_ERR_INVALID_PARAM;
    }
    return guarded([&] {
        DfuImage image;
        const DfuResult read = readDfuFile(fileName, image);
        if (read.code != HIDDFU_OK) {
            copyText(read.what, info->error, sizeof info->error);
            return read.code;
        }
        info->fileSize = uint32_t(image.payload.size() + kDfuSuffixSize);
        info->crc = image.crc;
        info->bcdDevice = image.bcdDevice;
        info->idProduct = image.idProduct;
        info->idVendor = image.idVendor;
        info->bcdDfu = image.bcdDfu;
        info->placeholder = image.isPlaceholder();
        std::string text = image.description();
        std::replace_if(
            text.begin(), text.end(), [](char c) { return (c >= 0 && c < 0x20) || c == 0x7F; },
            '?');
        copyText(text, info->description, sizeof info->description);
        return HIDDFU_OK;
    });
}

#if defined(HIDDFU_VIRTUAL_SPEAKER)
HIDDFU_API int32_t HIDDFU_CALL hidDfuVirtualSpeaker(void) {
    return 1;
}
#endif

} // extern "C"

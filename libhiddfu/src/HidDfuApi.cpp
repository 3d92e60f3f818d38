// The five exported functions over one process-wide engine. Built twice:
// with HIDDFU_VIRTUAL_SPEAKER for the device model, without for hidapi.
#include "HidDfu.h"

#include "Engine.h"

#if defined(HIDDFU_VIRTUAL_SPEAKER)
#include "VirtualSpeaker.h"
#else
#include "HidapiTransport.h"
#endif

#include <new>

namespace {

hiddfu::Engine::Options engineOptions() {
    hiddfu::Engine::Options options;
#if !defined(HIDDFU_VIRTUAL_SPEAKER)
    options.refusePlaceholder = true;
#endif
    return options;
}

std::unique_ptr<hiddfu::Transport> makeTransport() {
#if defined(HIDDFU_VIRTUAL_SPEAKER)
    return hiddfu::makeVirtualTransport(hiddfu::processSpeaker());
#else
    return hiddfu::makeHidapiTransport();
#endif
}

// Destroyed at exit or unload: its destructor cancels and joins a running transfer.
hiddfu::Engine engine(makeTransport, engineOptions());

template <typename F> int32_t guarded(F&& call) noexcept {
    try {
        return call();
    } catch (const std::bad_alloc&) {
        return HIDDFU_ERR_NO_MEMORY;
    } catch (...) {
        return HIDDFU_ERR_UNKNOWN;
    }
}

} // namespace

extern "C" {

HIDDFU_API int32_t HIDDFU_CALL hidDfuConnect(uint16_t vendorId, uint16_t productId,
                                             uint16_t usagePage, uint16_t usage,
                                             uint16_t* deviceCount) {
    return guarded([&] { return engine.connect(vendorId, productId, usagePage, usage, deviceCount); });
}

HIDDFU_API int32_t HIDDFU_CALL hidDfuUpgrade(const char* fileName, int32_t options) {
    return guarded([&] { return engine.upgrade(fileName, options); });
}

HIDDFU_API int32_t HIDDFU_CALL hidDfuGetProgress(void) {
    return guarded([] { return engine.progress(); });
}

HIDDFU_API int32_t HIDDFU_CALL hidDfuResetDevice(void) {
    return guarded([] { return engine.reset(); });
}

HIDDFU_API int32_t HIDDFU_CALL hidDfuDisconnect(void) {
    return guarded([] { return engine.disconnect(); });
}

} // extern "C"

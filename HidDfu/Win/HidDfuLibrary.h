#pragma once

#include "HidDfu.h"

#include <QString>

// The five functions of the HID DFU library, and the export by which our
// virtual speaker declares itself (absent from every other library).
struct HidDfuFunctions {
    hidDfuConnect_t connect = nullptr;
    hidDfuUpgrade_t upgrade = nullptr;
    hidDfuGetProgress_t getProgress = nullptr;
    hidDfuResetDevice_t resetDevice = nullptr;
    hidDfuDisconnect_t disconnect = nullptr;
    hidDfuVirtualSpeaker_t virtualSpeaker = nullptr;
};

// Binds the HID DFU library ("HidDfu": HidDfu.dll, libHidDfu.so) at run time.
// Until it is bound, every call fails as a refused call would.
class HidDfuLibrary {
public:
    // Loads the library once; true when all five functions were resolved.
    // The platform's search comes first, then the executable's directory, then
    // the private folder of an installed package (relative to the executable).
    static bool load();
    // Why the last load failed; empty when it did not.
    static QString errorString();
    // The file of the loaded library; empty when none is loaded.
    static QString fileName();

    // Tests replace the library with their own functions (nullptr: back to
    // the real library). The table must outlive its use.
    static void installForTesting(const HidDfuFunctions* functions);

    static int32_t connect(uint16_t vendorId, uint16_t productId, uint16_t usagePage,
                           uint16_t usage, uint16_t* deviceCount);
    static int32_t upgrade(const char* fileName, int32_t options);
    static int32_t getProgress();
    static int32_t resetDevice();
    static int32_t disconnect();
    // True only when the bound library says it reaches no real device.
    static bool isVirtualSpeaker();
};

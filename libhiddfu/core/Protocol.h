// Report layouts and DFU constants of the speaker's HID DFU protocol.
#pragma once

#include "HidDfuFacts.h"

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace hiddfu {

// Command report (host -> device, SET_REPORT feature).
constexpr std::uint8_t kCommandUpgradeData = 0x01;
constexpr std::size_t kCommandIndexOffset = 2;   // u16 chunk index
constexpr std::size_t kCommandLengthOffset = 4;  // u16 payload length
constexpr std::size_t kCommandPayloadOffset = 6;
constexpr std::size_t kMaxChunkPayload = HIDDFU_COMMAND_REPORT_SIZE - kCommandPayloadOffset; // 1017

// Status report (device -> host, GET_REPORT feature): USB DFU's GETSTATUS
// block after the report id.
constexpr std::size_t kStatusStatusOffset = 1; // bStatus
constexpr std::size_t kStatusPollOffset = 2;   // u24 poll timeout, ms
constexpr std::size_t kStatusStateOffset = 5;  // bState
constexpr std::size_t kStatusStringOffset = 6; // iString: a string index, never a status

// Control report (host -> device, SET_REPORT feature).
constexpr std::uint8_t kControlClearStatus = 0x04;
constexpr std::uint8_t kControlReset = 0xFF;

enum DfuState : std::uint8_t {
    appIDLE = 0,
    appDETACH = 1,
    dfuIDLE = 2,
    dfuDNLOAD_SYNC = 3,
    dfuDNBUSY = 4,
    dfuDNLOAD_IDLE = 5,
    dfuMANIFEST_SYNC = 6,
    dfuMANIFEST = 7,
    dfuMANIFEST_WAIT_RESET = 8,
    dfuUPLOAD_IDLE = 9,
    dfuERROR = 10,
};

enum DfuStatus : std::uint8_t {
    statusOK = 0,
    errTARGET = 1,
    errFILE = 2,
    errWRITE = 3,
    errERASE = 4,
    errCHECK_ERASED = 5,
    errPROG = 6,
    errVERIFY = 7,
    errADDRESS = 8,
    errNOTDONE = 9,
    errFIRMWARE = 10,
    errVENDOR = 11,
    errUSBR = 12,
    errPOR = 13,
    errUNKNOWN = 14,
    errSTALLEDPKT = 15,
};

const char* stateName(unsigned state);
const char* statusName(unsigned status);

// Bounds of the host's waits on the device.
struct Bounds {
    // Longest single sleep between two status polls; devices may announce far more.
    std::chrono::milliseconds maxPollSleep{500};
    // A chunk still busy after this long fails the transfer.
    std::chrono::milliseconds chunkBusyLimit{5000};
    // A manifestation still running after this long fails the transfer.
    std::chrono::milliseconds manifestLimit{30000};
    // After a failed reset send, how long to watch for the device leaving the bus.
    std::chrono::milliseconds resetGoneWait{2000};
};

} // namespace hiddfu

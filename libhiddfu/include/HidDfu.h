/*
 * HidDfu.h - firmware upgrade of a USB HID DFU device (the speaker's
 * Bluetooth chip in upgrade mode, 0x0A12:0xFFFE).
 *
 * Five functions with a C ABI. Every function returns an int32_t status:
 * HIDDFU_OK (0) on success, one of the negative HIDDFU_ERR_* codes otherwise
 * (hidDfuGetProgress returns a percentage instead, see there). No function
 * throws, aborts the process or keeps the caller's pointers. Each failure
 * also writes one line to standard error saying what failed; a failure
 * repeated identically (e.g. a connect retried while no device is plugged)
 * is written once.
 *
 * The library keeps one connection and at most one transfer per process.
 *
 * Call order:
 *   hidDfuConnect -> hidDfuUpgrade -> hidDfuGetProgress until >= 100
 *   -> hidDfuResetDevice.
 * hidDfuDisconnect may be called at any time, also during a transfer.
 *
 * Threads: all five functions may be called from any thread, also at the
 * same time; connect, upgrade, reset and disconnect are serialised inside.
 * The transfer runs on the library's own worker thread; the caller's thread
 * is never used for it. hidDfuGetProgress never waits for the others.
 *
 * Lifetime: unloading the library or exiting the process while a transfer
 * runs cancels the transfer and joins its thread (bounded like
 * hidDfuDisconnect); it neither crashes nor hangs.
 *
 * Bounded waits (Tusb: one feature report exchange, bounded by the
 * operating system's USB control timeout, 5 s on Linux):
 *   connect        enumeration + 1..3 reports (status, clear-status, status)
 *   per chunk      1 report + status polls: the library sleeps the poll time
 *                  the device announces (at most 500 ms per sleep, at least
 *                  1 ms) and gives up (HIDDFU_ERR_UPGRADE) when the chunk is
 *                  still busy after 5 s
 *   manifestation  polled the same way, given up after 30 s
 *   reset          1 report, then up to 2 s watching the device leave
 *   disconnect     the report in flight (<= Tusb) + joining the worker
 *
 * Two builds exist with this interface: the hardware library over hidapi,
 * and the virtual speaker (a model of the device for demonstrations and
 * tests, configured by the environment variable KERNO_VIRTUAL_SPEAKER).
 */
#ifndef HIDDFU_H
#define HIDDFU_H

#include <stdint.h>

/* HIDDFU_BUILDING is defined while building the library itself. */
#if defined(_WIN32)
#if defined(HIDDFU_BUILDING)
#define HIDDFU_API __declspec(dllexport)
#else
#define HIDDFU_API __declspec(dllimport)
#endif
#if defined(_M_IX86) || defined(__i386__)
#define HIDDFU_CALL __stdcall
#else
#define HIDDFU_CALL
#endif
#else
#define HIDDFU_API __attribute__((visibility("default")))
#define HIDDFU_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes. */
#define HIDDFU_OK 0
#define HIDDFU_ERR_SEQUENCE (-1)      /* hidDfuConnect must be called first */
#define HIDDFU_ERR_CONNECT (-2)       /* no such device, or it cannot be opened */
#define HIDDFU_ERR_OPEN_FILE (-3)     /* file missing or unreadable */
#define HIDDFU_ERR_WRITE_FILE (-4)
#define HIDDFU_ERR_FILE_INVALID (-5)  /* not a DFU file for this device */
#define HIDDFU_ERR_FILE_CRC (-6)
#define HIDDFU_ERR_FILE_READ (-7)     /* short read */
#define HIDDFU_ERR_UPGRADE (-8)       /* the device refused data or went away */
#define HIDDFU_ERR_RESET (-9)
#define HIDDFU_ERR_NO_MEMORY (-10)
#define HIDDFU_ERR_INVALID_PARAM (-11)
#define HIDDFU_ERR_DRIVER (-12)
#define HIDDFU_ERR_START (-13)
#define HIDDFU_ERR_BUSY (-14)         /* an upgrade is already running */
#define HIDDFU_ERR_CLEAR_STATUS (-15)
#define HIDDFU_ERR_FIRMWARE (-16)     /* the device rejected the written image */
#define HIDDFU_ERR_UNKNOWN (-20)

/*
 * Opens the first HID device with the given vendor and product id and reads
 * its DFU status; a device found in dfuERROR is sent clear-status first.
 * Closes an earlier connection of this process first.
 *  vendorId, productId: the device's USB ids (0x0A12, 0xFFFE for the speaker).
 *  usagePage, usage: HID usage to match; 0 matches any.
 *  deviceCount: if not NULL, receives the number of matching devices seen
 *               (0 when none); may be NULL.
 * Returns:
 *  HIDDFU_OK               connected, the device is ready for an upgrade
 *  HIDDFU_ERR_CONNECT      no such device, it cannot be opened (permissions:
 *                          see the udev rule), or it does not answer status
 *  HIDDFU_ERR_CLEAR_STATUS the device stays in dfuERROR
 *  HIDDFU_ERR_BUSY         a transfer is running (disconnect first)
 * Blocks: enumeration plus at most three reports (see above). Cheap enough
 * to be retried every few tens of milliseconds while waiting for a device.
 */
HIDDFU_API int32_t HIDDFU_CALL hidDfuConnect(uint16_t vendorId, uint16_t productId,
                                             uint16_t usagePage, uint16_t usage,
                                             uint16_t *deviceCount);

/*
 * Reads and checks the DFU file at fileName, then starts writing it to the
 * connected device on the library's own thread: the file without its 16-byte
 * DFU suffix, in chunks of up to 1017 bytes, then an empty chunk that ends
 * the download, then the device's manifestation is awaited.
 *  fileName: NUL-terminated UTF-8 path; read completely before returning,
 *            so the file may be deleted afterwards.
 *  options:  must be 0.
 * Returns once the transfer has started:
 *  HIDDFU_OK                follow it with hidDfuGetProgress
 *  HIDDFU_ERR_SEQUENCE      not connected
 *  HIDDFU_ERR_BUSY          a transfer is already running
 *  HIDDFU_ERR_OPEN_FILE     missing or unreadable, or not a regular file
 *  HIDDFU_ERR_FILE_READ     the file was shorter than its size said
 *  HIDDFU_ERR_FILE_INVALID  no valid DFU suffix, a file for another device,
 *                           not a CSR-dfu2 image, larger than 16 MiB; the
 *                           hardware build also refuses the build's
 *                           placeholder image ("KERNO PLACEHOLDER")
 *  HIDDFU_ERR_FILE_CRC      the suffix CRC does not match the content
 *  HIDDFU_ERR_INVALID_PARAM fileName NULL or options not 0
 *  HIDDFU_ERR_NO_MEMORY, HIDDFU_ERR_START (no thread could be started)
 * Blocks: only for reading the file. Failures of the transfer itself are
 * reported later, by hidDfuResetDevice.
 */
HIDDFU_API int32_t HIDDFU_CALL hidDfuUpgrade(const char *fileName, int32_t options);

/*
 * Percentage of the running or last upgrade: 0 after connect, climbing with
 * the chunks the device has acknowledged, at most 99 until the device has
 * acknowledged the end of the download and finished its manifestation. 100
 * means the operation is over, whether it succeeded or failed;
 * hidDfuResetDevice then tells which. Never decreases during a transfer.
 * Returns HIDDFU_ERR_SEQUENCE (-1) when not connected: callers that use only
 * the low 8 bits must not call it before a successful connect.
 * Never blocks; safe to call from any thread at any rate.
 */
HIDDFU_API int32_t HIDDFU_CALL hidDfuGetProgress(void);

/*
 * Restarts the device into its application once the upgrade has finished.
 * The device then leaves the bus and the connection is closed: the next
 * call needs a new hidDfuConnect. A device that restarts before confirming
 * the request counts as reset when the upgrade had succeeded.
 * Returns:
 *  HIDDFU_OK            reset sent (or the device left while it was sent)
 *  the upgrade's code   when the last transfer failed (HIDDFU_ERR_UPGRADE,
 *                       HIDDFU_ERR_FIRMWARE, ...); nothing is sent then
 *  HIDDFU_ERR_RESET     the device refused the reset and stayed
 *  HIDDFU_ERR_SEQUENCE  not connected
 *  HIDDFU_ERR_BUSY      a transfer is running
 * Blocks: one report, then up to 2 s while the device is watched leaving.
 */
HIDDFU_API int32_t HIDDFU_CALL hidDfuResetDevice(void);

/*
 * Cancels a running upgrade, waits for its thread to end and closes the
 * device; the device is left where the transfer stopped (a later upgrade
 * starts over from the first chunk). Afterwards the other calls return
 * HIDDFU_ERR_SEQUENCE until the next hidDfuConnect.
 * Returns HIDDFU_OK, also when nothing was connected.
 * Blocks: for the report in flight, if any (a sleep between polls is cut
 * short at once).
 */
HIDDFU_API int32_t HIDDFU_CALL hidDfuDisconnect(void);

/* Pointer types for run-time resolution of the five functions (dlsym,
 * GetProcAddress, QLibrary::resolve). */
typedef int32_t(HIDDFU_CALL *hidDfuConnect_t)(uint16_t, uint16_t, uint16_t, uint16_t, uint16_t *);
typedef int32_t(HIDDFU_CALL *hidDfuUpgrade_t)(const char *, int32_t);
typedef int32_t(HIDDFU_CALL *hidDfuGetProgress_t)(void);
typedef int32_t(HIDDFU_CALL *hidDfuResetDevice_t)(void);
typedef int32_t(HIDDFU_CALL *hidDfuDisconnect_t)(void);

#ifdef __cplusplus
}
#endif

#endif /* HIDDFU_H */

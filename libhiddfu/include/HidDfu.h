/*
 * HidDfu.h - firmware upgrade of a USB HID DFU device (the speaker's
 * Bluetooth chip in upgrade mode, 0x0A12:0xFFFE).
 *
 * Two interfaces with a C ABI over one transfer engine per open device:
 *  - five functions that keep one connection and at most one transfer per
 *    process (hidDfuConnect ... hidDfuDisconnect, first below);
 *  - a handle per device, for several devices at once: list them, open one
 *    by path, then upgrade, progress, reset and last error per handle
 *    (hidDfuEnumerate ... hidDfuClose, further below), and a check of a DFU
 *    file without any device (hidDfuCheckFile).
 * The five are a thin layer over the handles: hidDfuConnect opens the only
 * matching device into the process's own handle.
 *
 * Every function returns an int32_t status: HIDDFU_OK (0) on success, one of
 * the negative HIDDFU_ERR_* codes otherwise (the progress functions return a
 * percentage instead, see there). No function throws, aborts the process or
 * keeps the caller's pointers. Each failure of the five also writes one line
 * to standard error saying what failed; a failure repeated identically (e.g.
 * a connect retried while no device is plugged) is written once. Failures on
 * a handle are not written: hidDfuDeviceLastError tells them.
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
 * hidDfuDisconnect); it neither crashes nor hangs. Handles still open then
 * are closed the same way and must not be used any more.
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
 * Files: every file the library opens (the DFU file, the virtual speaker's
 * dump) is opened without blocking; anything but a regular file (a folder, a
 * named pipe, a device node) is refused at once. A device path is opened
 * only while a HID device is present there. An open device is locked against
 * other programs using this library (on Linux, an advisory lock on its hidraw
 * node): they see it in use.
 *
 * Two builds exist with this interface: the hardware library over hidapi,
 * and the virtual speaker (a model of one or more devices for
 * demonstrations and tests, configured by the environment variable
 * KERNO_VIRTUAL_SPEAKER), which alone exports hidDfuVirtualSpeaker.
 */
#ifndef HIDDFU_H
#define HIDDFU_H

#include "HidDfuFacts.h"

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

/*
 * Opens the HID device with the given vendor and product id and reads its
 * DFU status; a device found in dfuERROR is sent clear-status first. Closes
 * an earlier connection of this process first. Refuses when several such
 * devices are present: which one would be written cannot be told.
 *  vendorId, productId: the device's USB ids (0x0A12, 0xFFFE for the speaker).
 *  usagePage, usage: HID usage to match; 0 matches any.
 *  deviceCount: if not NULL, receives the number of matching devices seen
 *               (0 when none, also when a running transfer refused the call
 *               before looking; 2 or more with HIDDFU_ERR_CONNECT when
 *               several were found); may be NULL.
 * Returns:
 *  HIDDFU_OK               connected, the device is ready for an upgrade
 *  HIDDFU_ERR_CONNECT      no such device, several of them, it cannot be
 *                          opened (permissions: see the udev rule; open
 *                          through a handle or by another program), or it
 *                          does not answer status
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
 *                           (refused without waiting: a named pipe never
 *                           blocks)
 *  HIDDFU_ERR_FILE_READ     the file was shorter than its size said
 *  HIDDFU_ERR_FILE_INVALID  no valid DFU suffix, a file for another device,
 *                           not a CSR-dfu2 image, larger than 16 MiB; the
 *                           hardware build also refuses the build's
 *                           placeholder image ("KERNO PLACEHOLDER")
 *  HIDDFU_ERR_FILE_CRC      the suffix CRC does not match the content
 *  HIDDFU_ERR_INVALID_PARAM fileName NULL or options not 0
 *  HIDDFU_ERR_NO_MEMORY, HIDDFU_ERR_START (no thread could be started)
 * Blocks: only for reading the file. Failures of the transfer itself are
 * reported later, by hidDfuResetDevice. Any refusal except HIDDFU_ERR_BUSY
 * and HIDDFU_ERR_SEQUENCE replaces the outcome of an earlier upgrade: the
 * progress goes back to 0 and hidDfuResetDevice returns the refusal's code.
 */
HIDDFU_API int32_t HIDDFU_CALL hidDfuUpgrade(const char *fileName, int32_t options);

/*
 * Percentage of the running or last upgrade: 0 after connect or after a
 * refused upgrade, climbing with
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
 * Restarts the device into its application once the upgrade has finished,
 * or, with no upgrade since the connect, at once (a device left in upgrade
 * mode goes back to being a speaker). The device then leaves the bus and
 * the connection is closed: the next call needs a new hidDfuConnect. A
 * device that restarts before confirming the request counts as reset: what
 * is asked is that it leaves the bus, and it did.
 * Returns:
 *  HIDDFU_OK            reset sent, or the device left the bus when told to
 *  the upgrade's code   when the last upgrade failed or was refused
 *                       (HIDDFU_ERR_UPGRADE, HIDDFU_ERR_FIRMWARE,
 *                       HIDDFU_ERR_FILE_CRC, ...); nothing is sent then and
 *                       the connection stays
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

/*
 * Handles: one per open device, each with its own transfer engine and
 * worker thread, independent of the others and of the five functions.
 * Threads: every function may be called from any thread; calls on one
 * handle are serialised inside, except hidDfuDeviceGetProgress which never
 * waits. hidDfuClose must not run while another call on the same handle
 * does; the handle is gone afterwards. Bounded waits as for the five.
 */

/* Device modes (HIDDFU_MODE_*): see HidDfuFacts.h. */

typedef struct hidDfuDeviceInfo {
    char path[256];   /* NUL-terminated; what hidDfuOpen takes */
    char serial[128]; /* NUL-terminated UTF-8 without control characters; may be empty */
    int32_t mode;     /* HIDDFU_MODE_* */
} hidDfuDeviceInfo;

typedef struct hidDfuDevice hidDfuDevice; /* an open device */

/*
 * Lists the HID devices with the given ids now present (0x0A12, 0xFFFE: the
 * speakers in upgrade mode). Sends nothing to them.
 *  devices: receives up to capacity entries; may be NULL when capacity is 0.
 * Returns the number of devices present (which may exceed capacity), or
 * HIDDFU_ERR_INVALID_PARAM (devices NULL with capacity > 0, capacity < 0).
 * A device whose path does not fit is listed with an empty path and mode
 * HIDDFU_MODE_NO_ACCESS.
 * Blocks: enumeration, and opening and closing each device's node.
 */
HIDDFU_API int32_t HIDDFU_CALL hidDfuEnumerate(uint16_t vendorId, uint16_t productId,
                                               hidDfuDeviceInfo *devices, int32_t capacity);

/*
 * Opens the device at path (as listed), reads its DFU status and clears
 * dfuERROR, like hidDfuConnect.
 *  device: receives the handle on success, NULL otherwise.
 * Returns HIDDFU_OK, HIDDFU_ERR_CONNECT (no such device, cannot be opened,
 * no status), HIDDFU_ERR_CLEAR_STATUS, HIDDFU_ERR_BUSY (open already through
 * a handle or hidDfuConnect), HIDDFU_ERR_INVALID_PARAM, HIDDFU_ERR_NO_MEMORY.
 * On failure hidDfuDeviceLastError(NULL, ...) tells why.
 * Blocks: at most three reports.
 */
HIDDFU_API int32_t HIDDFU_CALL hidDfuOpen(const char *path, hidDfuDevice **device);

/* As hidDfuUpgrade, hidDfuGetProgress and hidDfuResetDevice, on one handle.
 * After a successful reset the handle stays valid but is no longer
 * connected (HIDDFU_ERR_SEQUENCE); close it. A NULL handle gives
 * HIDDFU_ERR_INVALID_PARAM. */
HIDDFU_API int32_t HIDDFU_CALL hidDfuDeviceUpgrade(hidDfuDevice *device, const char *fileName,
                                                   int32_t options);
HIDDFU_API int32_t HIDDFU_CALL hidDfuDeviceGetProgress(hidDfuDevice *device);
HIDDFU_API int32_t HIDDFU_CALL hidDfuDeviceReset(hidDfuDevice *device);

/*
 * Copies the text of the handle's last failure (empty when none), or with a
 * NULL handle this thread's last failure of hidDfuOpen, into text as
 * NUL-terminated UTF-8, cut at a character boundary to fit size bytes.
 * Returns the length of the whole text in bytes, or
 * HIDDFU_ERR_INVALID_PARAM (text NULL with size > 0, size < 0).
 */
HIDDFU_API int32_t HIDDFU_CALL hidDfuDeviceLastError(hidDfuDevice *device, char *text,
                                                     int32_t size);

/*
 * Cancels a running upgrade, waits for its thread, closes the device and
 * frees the handle (like hidDfuDisconnect). NULL is ignored.
 * Returns HIDDFU_OK.
 */
HIDDFU_API int32_t HIDDFU_CALL hidDfuClose(hidDfuDevice *device);

typedef struct hidDfuFileInfo {
    uint32_t fileSize;    /* bytes, suffix included */
    uint32_t crc;         /* dwCRC of the suffix */
    uint16_t bcdDevice;   /* the suffix's fields */
    uint16_t idProduct;   /* 0xFFFF: any */
    uint16_t idVendor;    /* 0xFFFF: any */
    uint16_t bcdDfu;
    int32_t placeholder;  /* 1: the build's placeholder image ("KERNO PLACEHOLDER") */
    char description[65]; /* the image's description (its version text), UTF-8 as far as
                             the file says, control characters replaced by '?' */
    char error[256];      /* why the file is refused; empty when it is not */
} hidDfuFileInfo;

/*
 * Reads and checks a DFU file exactly as an upgrade does, without any
 * device. info is filled when the file passes (error empty) and gets the
 * reason otherwise. Whether the placeholder may be written is the caller's
 * question: this reports it, the hardware build's upgrade refuses it.
 * Returns HIDDFU_OK or the code an upgrade would return for the file:
 * HIDDFU_ERR_OPEN_FILE, HIDDFU_ERR_FILE_READ, HIDDFU_ERR_FILE_INVALID,
 * HIDDFU_ERR_FILE_CRC, HIDDFU_ERR_NO_MEMORY, HIDDFU_ERR_INVALID_PARAM.
 * Blocks: for reading the file.
 */
HIDDFU_API int32_t HIDDFU_CALL hidDfuCheckFile(const char *fileName, hidDfuFileInfo *info);

/*
 * Exported by the virtual-speaker build only, where it returns 1: callers
 * resolve it at run time to learn that no real device can be reached, e.g.
 * to allow the placeholder image. The hardware build does not have it.
 */
HIDDFU_API int32_t HIDDFU_CALL hidDfuVirtualSpeaker(void);
typedef int32_t(HIDDFU_CALL *hidDfuVirtualSpeaker_t)(void);

#ifdef __cplusplus
}
#endif

#endif /* HIDDFU_H */

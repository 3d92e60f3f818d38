/*
 * HidDfu.h - firmware upgrade of a USB HID DFU device.
 *
 * Five functions with a C ABI. Every function returns a status of type
 * int32_t: HIDDFU_OK (0) on success, one of the negative HIDDFU_ERR_* codes
 * otherwise. The library keeps one connection per process.
 *
 * Call order: hidDfuConnect, then hidDfuUpgrade, then hidDfuGetProgress until
 * it returns 100 or more, then hidDfuResetDevice. hidDfuDisconnect may be
 * called at any time.
 */
#ifndef HIDDFU_H
#define HIDDFU_H

#include <stdint.h>

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
 * Opens the first HID device with the given vendor and product id.
 *  usagePage, usage: 0 matches any HID usage.
 *  deviceCount: if not NULL, receives the number of matching devices found.
 * Returns HIDDFU_OK or HIDDFU_ERR_CONNECT. Blocks for the USB enumeration.
 */
HIDDFU_API int32_t HIDDFU_CALL hidDfuConnect(uint16_t vendorId, uint16_t productId,
                                             uint16_t usagePage, uint16_t usage,
                                             uint16_t *deviceCount);

/*
 * Checks the DFU file at fileName (NUL-terminated UTF-8 path) and starts
 * writing it to the connected device on the library's own thread.
 *  options: must be 0.
 * Returns once the transfer has started (HIDDFU_OK) or with the reason it
 * could not start; progress is then followed with hidDfuGetProgress.
 */
HIDDFU_API int32_t HIDDFU_CALL hidDfuUpgrade(const char *fileName, int32_t options);

/*
 * Percentage of the running or last upgrade, 0 to 100. 100 means the
 * operation is over, whether it succeeded or failed; hidDfuResetDevice then
 * tells which. Never blocks.
 */
HIDDFU_API int32_t HIDDFU_CALL hidDfuGetProgress(void);

/*
 * Restarts the device into its application once the upgrade has finished.
 * Returns HIDDFU_OK, HIDDFU_ERR_RESET, or the failure of the upgrade itself.
 */
HIDDFU_API int32_t HIDDFU_CALL hidDfuResetDevice(void);

/*
 * Cancels a running upgrade, waits for its thread to end and closes the
 * device. Returns HIDDFU_OK, also when nothing was connected.
 */
HIDDFU_API int32_t HIDDFU_CALL hidDfuDisconnect(void);

/* Pointer types for run-time resolution of the five functions. */
typedef int32_t(HIDDFU_CALL *hidDfuConnect_t)(uint16_t, uint16_t, uint16_t, uint16_t, uint16_t *);
typedef int32_t(HIDDFU_CALL *hidDfuUpgrade_t)(const char *, int32_t);
typedef int32_t(HIDDFU_CALL *hidDfuGetProgress_t)(void);
typedef int32_t(HIDDFU_CALL *hidDfuResetDevice_t)(void);
typedef int32_t(HIDDFU_CALL *hidDfuDisconnect_t)(void);

#ifdef __cplusplus
}
#endif

#endif /* HIDDFU_H */

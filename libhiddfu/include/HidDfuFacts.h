/*
 * HidDfuFacts.h - the numbers the library, its callers and its tests share:
 * status codes, the speaker's USB ids in upgrade mode, the HID reports.
 * Plain C, included by HidDfu.h.
 */
#ifndef HIDDFU_FACTS_H
#define HIDDFU_FACTS_H

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
#define HIDDFU_ERR_START (-13)        /* no thread could be started */
#define HIDDFU_ERR_BUSY (-14)         /* an upgrade is already running */
#define HIDDFU_ERR_CLEAR_STATUS (-15)
#define HIDDFU_ERR_FIRMWARE (-16)     /* the device rejected the written image */
#define HIDDFU_ERR_UNKNOWN (-20)

/* Device modes, as listed by hidDfuEnumerate. */
#define HIDDFU_MODE_UPGRADE 1   /* in upgrade mode, free to open */
#define HIDDFU_MODE_IN_USE 2    /* open through a handle or by another program */
#define HIDDFU_MODE_NO_ACCESS 3 /* this user may not open it (see the udev rule) */

/* The speaker's Bluetooth chip in upgrade mode. */
#define HIDDFU_VENDOR_ID 0x0A12
#define HIDDFU_PRODUCT_ID 0xFFFE

/* Feature reports: ids and sizes, the id included. */
#define HIDDFU_COMMAND_REPORT_ID 0x01 /* host -> device: a chunk */
#define HIDDFU_COMMAND_REPORT_SIZE 1023
#define HIDDFU_STATUS_REPORT_ID 0x02  /* device -> host: DFU GETSTATUS */
#define HIDDFU_STATUS_REPORT_SIZE 64  /* what the host offers to receive */
#define HIDDFU_STATUS_REPLY_SIZE 7    /* what a device answers */
#define HIDDFU_CONTROL_REPORT_ID 0x03 /* host -> device: clear-status, reset */
#define HIDDFU_CONTROL_REPORT_SIZE 2

#endif /* HIDDFU_FACTS_H */

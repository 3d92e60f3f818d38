"""Speakers in upgrade mode behind an emulated kernel: umockdev's sysfs, udev data and
/dev/hidraw nodes whose ioctls a model of the speaker answers. The calling process must run
under umockdev's preload (umockdev-wrapper); the programs it starts inherit it."""

import errno
import os
import struct
import time
import zlib

import gi
gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402

# Vendor page 0xFF00, one collection, three 8-bit feature reports: id 1 of 1022 bytes,
# id 2 of 63, id 3 of 1.
DESCRIPTOR = bytes.fromhex("0600ff 0901 a101 1500 26ff00 7508 8501 96fe03 0902 b102"
                           "8502 953f 0903 b102 8503 9501 0904 b102 c0")
IDLE, DNBUSY, DNLOAD_IDLE, MANIFEST, ERROR = 2, 4, 5, 7, 10


def dfu_file(payload_size):
    """A CSR-dfu2 image for 0a12:fffe with a correct suffix, not the placeholder."""
    head = b"CSR-dfu2" + struct.pack("<HIH", 2, payload_size, 80) + b"KERNO TEST".ljust(64, b"\0")
    body = bytes((i * 37 + (i >> 8)) & 0xFF for i in range(payload_size - len(head)))
    data = head + body + struct.pack("<HHHH", 0xFFFF, 0xFFFE, 0x0A12, 0x0100) + b"UFD\x10"
    return data + struct.pack("<I", ~zlib.crc32(data) & 0xFFFFFFFF)


class Speaker(UMockdev.IoctlBase):
    """Status in the DFU GETSTATUS layout; each chunk and the manifestation busy for one poll
    of busy_ms. unplug_at: the chunk whose report finds it gone; reset_acked: False to leave
    before acknowledging the reset; reject: the DFU status that ends its manifestation."""

    def __init__(self, bed, number, busy_ms=1, unplug_at=None, reset_acked=True, reject=0):
        super().__init__()
        self.bed, self.busy_ms, self.unplug_at = bed, busy_ms, unplug_at
        # The serial: a device's text, which the host must not take as printable.
        self.reset_acked, self.reject, self.serial = reset_acked, reject, "KT2-%04d\x1b" % number
        self.state, self.status, self.polls, self.next = IDLE, 0, 0, 0
        self.received, self.written, self.gone_at = bytearray(), None, None
        usb = bed.add_device("usb", "usb1/1-%d" % number, None,
                             ["idVendor", "0a12", "idProduct", "fffe", "serial", self.serial],
                             ["DEVTYPE", "usb_device"])
        hid = bed.add_device("hid", "0003:0A12:FFFE.%04X" % number, usb, [],
                             ["HID_ID", "0003:00000A12:0000FFFE", "HID_NAME", "Kerno Tindal 2",
                              "HID_UNIQ", self.serial])
        bed.set_attribute_binary(hid, "report_descriptor", DESCRIPTOR)
        self.node = "/dev/hidraw%d" % (number - 1)
        # Only the record format makes the /dev node (a pty the preload stands in front of).
        if not (bed.add_from_string("P: %s/hidraw/%s\nN: %s\nE: DEVNAME=%s\nE: SUBSYSTEM=hidraw\n"
                                    "L: device=../..\n" % (hid[4:], self.node[5:], self.node[5:],
                                                           self.node)) and
                bed.attach_ioctl(self.node, self)):
            raise OSError("umockdev refused %s" % self.node)
        self.syspaths = [hid + "/hidraw/" + self.node[5:], usb]
        # The preload connects to the handler, or ends the program, even for an open that the
        # kernel refuses: any user may connect.
        os.chmod(bed.get_root_dir() + "/ioctl" + self.node, 0o777)

    def unplug(self):
        if self.gone_at is None:
            self.gone_at = time.monotonic()
            for path in self.syspaths:
                self.bed.remove_device(path)

    def status_report(self):
        if self.state in (DNBUSY, MANIFEST) and self.polls:
            self.polls -= 1
        elif self.state == DNBUSY:
            self.state = DNLOAD_IDLE
        elif self.state == MANIFEST:
            self.state, self.status = (ERROR, self.reject) if self.reject else (IDLE, 0)
            self.written = None if self.reject else bytes(self.received)
        busy = self.state in (DNBUSY, MANIFEST)
        # A string index in the other replies: the host must not read it as the status.
        return (bytes([2, self.status]) + (self.busy_ms if busy else 0).to_bytes(3, "little") +
                bytes([self.state, 0 if busy else 4]))

    def set_report(self, report):
        """0, or the errno that the report's transfer fails with."""
        if report[:2] == b"\x03\x04":
            self.state, self.status = IDLE, 0
        elif report[:2] == b"\x03\xff":
            self.unplug()
            return 0 if self.reset_acked else errno.EPIPE
        elif report[:2] == b"\x01\x01" and len(report) == 1023:
            index, length = struct.unpack_from("<HH", report, 2)
            if index == self.unplug_at:
                self.unplug()
                return errno.ENODEV
            if index != self.next or length > 1017:
                self.state, self.status = ERROR, 3   # errWRITE
                return 0
            self.next += 1
            self.received += report[6:6 + length]
            self.state, self.polls = (DNBUSY if length else MANIFEST), 1
        else:
            return errno.EPIPE
        return 0

    def do_handle_ioctl(self, client):
        request, arg = client.get_request(), client.get_arg()
        number, size = request & 0xFF, (request >> 16) & 0x3FFF
        if self.gone_at is not None:
            client.complete(-1, errno.ENODEV)
        elif number == 1:   # HIDIOCGRDESCSIZE, all that hidapi asks of a node it opens
            arg.resolve(0, 4).update(0, struct.pack("<i", len(DESCRIPTOR)))
            client.complete(0, 0)
        elif number == 6:   # HIDIOCSFEATURE(size); .data would stop at the first zero byte
            failed = self.set_report(bytes(arg.resolve(0, size).retrieve()))
            client.complete(-1 if failed else size, failed)
        elif number == 7:   # HIDIOCGFEATURE(size): the status report only
            buffer = arg.resolve(0, size)
            reply = self.status_report()[:size] if buffer.data[0] == 2 else b""
            buffer.update(0, reply)
            client.complete(len(reply) or -1, 0 if reply else errno.EPIPE)
        else:
            client.complete(-1, errno.EINVAL)
        return True


def emulated_kernel(work, size):
    """The emulated kernel, empty, and plug(**speaker) that plugs a speaker into it; a real
    image's file of `size` bytes in the folder `work`; the bytes a speaker must receive of it."""
    bed, count, image = UMockdev.Testbed.new(), iter(range(1, 100)), dfu_file(size)
    os.environ["UMOCKDEV_DIR"] = bed.get_root_dir()   # GLib set it below Python's copy
    os.chmod(bed.get_root_dir(), 0o755)                # for a program run as nobody
    (work / "image.dfu").write_bytes(image)
    return lambda **kw: Speaker(bed, next(count), **kw), work / "image.dfu", image[:-16]

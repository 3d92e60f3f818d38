"""Speakers in upgrade mode behind an emulated kernel: umockdev's sysfs, udev data and
/dev/hidraw nodes whose ioctls a model of the speaker answers. The calling process must run
under umockdev's preload (umockdev-wrapper); the programs it starts inherit it."""

import errno
import os
import struct
import threading
import time
import zlib

import gi
gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402

# Vendor page 0xFF00, one collection, three 8-bit feature reports: id 1 of 1022 bytes,
# id 2 of 63, id 3 of 1.
DESCRIPTOR = bytes.fromhex("0600ff 0901 a101 1500 26ff00 7508"
                           "8501 96fe03 0902 b102"
                           "8502 953f 0903 b102"
                           "8503 9501 0904 b102 c0")
IDLE, DNBUSY, DNLOAD_IDLE, MANIFEST, ERROR = 2, 4, 5, 7, 10


def dfu_file(payload_size=2500, description=b"KERNO TEST IMAGE"):
    """A CSR-dfu2 image for 0a12:fffe with a correct suffix (not the placeholder)."""
    head = b"CSR-dfu2" + struct.pack("<HIH", 2, payload_size, 80) + description.ljust(64, b"\0")
    body = bytes((i * 37 + (i >> 8)) & 0xFF for i in range(payload_size - len(head)))
    data = head + body + struct.pack("<HHHH", 0xFFFF, 0xFFFE, 0x0A12, 0x0100) + b"UFD\x10"
    return data + struct.pack("<I", ~zlib.crc32(data) & 0xFFFFFFFF)


class Speaker(UMockdev.IoctlBase):
    """One speaker: status in the DFU GETSTATUS layout, each chunk busy for one poll,
    manifestation for one poll. busy_ms: the poll timeout it announces; unplug_at: the chunk
    index whose report finds it gone; reset_acked: False to leave before acknowledging."""

    def __init__(self, bed, number, busy_ms=1, unplug_at=None, reset_acked=True):
        super().__init__()
        self.bed, self.busy_ms, self.unplug_at, self.reset_acked = bed, busy_ms, unplug_at, reset_acked
        self.serial = "KT2-%04d\x1b" % number   # a device's text, unchecked
        self.state, self.status, self.polls, self.next = IDLE, 0, 0, 0
        self.received, self.written, self.gone_at = bytearray(), None, None
        self.lock = threading.Lock()
        usb = bed.add_device("usb", "usb1/1-%d" % number, None,
                             ["idVendor", "0a12", "idProduct", "fffe", "bcdDevice", "0100",
                              "manufacturer", "Kerno", "product", "Tindal 2",
                              "serial", self.serial, "busnum", "1", "devnum", str(number + 1)],
                             ["DEVTYPE", "usb_device", "PRODUCT", "a12/fffe/100"])
        intf = bed.add_device("usb", "1-%d:1.0" % number, usb, ["bInterfaceNumber", "00"],
                              ["DEVTYPE", "usb_interface"])
        hid = bed.add_device("hid", "0003:0A12:FFFE.%04X" % number, intf, [],
                             ["HID_ID", "0003:00000A12:0000FFFE", "HID_NAME", "Kerno Tindal 2",
                              "HID_UNIQ", self.serial,
                              "HID_PHYS", "usb-0000:00:14.0-%d/input0" % number])
        bed.set_attribute_binary(hid, "report_descriptor", DESCRIPTOR)
        self.node = "/dev/hidraw%d" % (number - 1)
        name = self.node[5:]
        # Only the record format makes the /dev node (a pty the preload stands in front of).
        assert bed.add_from_string("P: %s/hidraw/%s\nN: %s\nE: DEVNAME=%s\nE: SUBSYSTEM=hidraw\n"
                                   "A: dev=243:%d\nL: device=../../../%s\n" %
                                   (hid[4:], name, name, self.node, number - 1, hid.split("/")[-1]))
        self.syspaths = [hid + "/hidraw/" + name, usb]
        assert bed.attach_ioctl(self.node, self)
        # The preload connects to the handler (or ends the program) even for an open that the
        # kernel refuses: any user may connect.
        os.chmod(bed.get_root_dir() + "/ioctl" + self.node, 0o777)

    def unplug(self):
        if self.gone_at is None:
            self.gone_at = time.monotonic()
            for path in self.syspaths:
                self.bed.remove_device(path)

    def forbid(self):
        """The node no user may open (root included: the caller drops to nobody)."""
        os.chmod(os.path.realpath(os.environ["UMOCKDEV_DIR"] + self.node), 0)

    def status_report(self):
        if self.state in (DNBUSY, MANIFEST) and self.polls:
            self.polls -= 1
        elif self.state in (DNBUSY, MANIFEST):
            self.state = DNLOAD_IDLE if self.state == DNBUSY else IDLE
            if self.state == IDLE:
                self.written = bytes(self.received)
        busy = self.state in (DNBUSY, MANIFEST)
        # A string index in the other replies: the host must not read it as the status.
        return (bytes([2, self.status]) + (self.busy_ms if busy else 0).to_bytes(3, "little") +
                bytes([self.state, 0 if busy else 4]))

    def set_report(self, report):
        if report[0] == 3 and report[1] == 0x04:
            self.state, self.status = IDLE, 0
        elif report[0] == 3 and report[1] == 0xFF:
            self.unplug()
            return None if self.reset_acked else errno.EPIPE
        elif report[0] == 1 and len(report) == 1023 and report[1] == 1:
            index, length = struct.unpack_from("<HH", report, 2)
            if index == self.unplug_at:
                self.unplug()
                return errno.ENODEV
            if index != self.next or length > 1017:
                self.state, self.status = ERROR, 3   # errWRITE
                return None
            self.next += 1
            self.received += report[6:6 + length]
            self.state, self.polls = (DNBUSY if length else MANIFEST), 1
        else:
            return errno.EPIPE
        return None

    def do_handle_ioctl(self, client):
        request, arg = client.get_request(), client.get_arg()
        number, size = request & 0xFF, (request >> 16) & 0x3FFF
        with self.lock:
            if self.gone_at is not None:
                client.complete(-1, errno.ENODEV)
            elif number == 1:   # HIDIOCGRDESCSIZE
                arg.resolve(0, 4).update(0, struct.pack("<i", len(DESCRIPTOR)))
                client.complete(0, 0)
            elif number == 2:   # HIDIOCGRDESC
                arg.resolve(0, 4 + 4096).update(4, DESCRIPTOR)
                client.complete(0, 0)
            elif number == 3:   # HIDIOCGRAWINFO: USB, vendor, product
                arg.resolve(0, 8).update(0, struct.pack("<IHH", 3, 0x0A12, 0xFFFE))
                client.complete(0, 0)
            elif number == 6:   # HIDIOCSFEATURE(size)
                # .data would stop at the first zero byte
                failed = self.set_report(bytes(arg.resolve(0, size).retrieve()))
                client.complete(-1 if failed else size, failed or 0)
            elif number == 7:   # HIDIOCGFEATURE(size): the status report only
                buffer = arg.resolve(0, size)
                if buffer.data[0] != 2:
                    client.complete(-1, errno.EPIPE)
                else:
                    reply = self.status_report()[:size]
                    buffer.update(0, reply)
                    client.complete(len(reply), 0)
            else:
                client.complete(-1, errno.EINVAL)
        return True


class Bed:
    """The emulated kernel with its speakers; env: what the programs under test need."""

    def __init__(self):
        self.bed = UMockdev.Testbed.new()
        self.root = self.bed.get_root_dir()
        os.environ["UMOCKDEV_DIR"] = self.root   # GLib set it below Python's copy
        os.chmod(self.root, 0o755)                # for a program run as nobody
        self.speakers = []

    def plug(self, **kw):
        self.speakers.append(Speaker(self.bed, len(self.speakers) + 1, **kw))
        return self.speakers[-1]

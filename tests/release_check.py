#!/usr/bin/env python3
"""The release switch: configuring with KERNO_RELEASE=ON needs a firmware file, and the
build's check passes only a real image made for the speaker.
  release_check.py CHECK_TOOL PLACEHOLDER_TOOL SOURCE_DIR"""

import struct
import subprocess
import sys
import tempfile
import zlib
from pathlib import Path


def variant(image, description=None, vendor=None, product=None, damage=False):
    """The image changed as asked, its suffix CRC made right again unless damaged."""
    b = bytearray(image)
    if description:
        b[16:80] = description.ljust(64, b"\0")
    if vendor is not None:
        b[-12:-10] = struct.pack("<H", vendor)
    if product is not None:
        b[-14:-12] = struct.pack("<H", product)
    b[-4:] = struct.pack("<I", ~zlib.crc32(bytes(b[:-4])) & 0xFFFFFFFF)
    if damage:
        b[len(b) // 2] ^= 0x5A
    return bytes(b)


def main(tool, make_placeholder, source_dir):
    work = Path(tempfile.mkdtemp(prefix="kerno-release-"))
    subprocess.run([make_placeholder, str(work / "placeholder.dfu")], check=True)
    placeholder = (work / "placeholder.dfu").read_bytes()
    real = variant(placeholder, b"V030 2018/01/09")
    cases = [  # name, file bytes, status, what the tool says
        ("real image", real, 0, "release firmware %s: V030 2018/01/09, CRC 0x"),
        ("placeholder", placeholder, 1, "is the placeholder image"),
        ("any vendor", variant(real, vendor=0xFFFF), 1, "is for device ffff:fffe, not"),
        ("other product", variant(real, product=0x1234), 1, "is for device 0a12:1234, not"),
        ("damaged", variant(real, damage=True), 1, "CRC mismatch"),
    ]
    failures = []
    for name, data, want_status, want_text in cases:
        path = work / (name.replace(" ", "-") + ".dfu")
        path.write_bytes(data)
        p = subprocess.run([tool, str(path)], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        out = p.stdout.decode(errors="replace")
        if p.returncode != want_status or want_text.replace("%s", str(path)) not in out:
            failures.append("%s: status %d, %r" % (name, p.returncode, out))
    p = subprocess.run(["cmake", "-S", source_dir, "-B", str(work / "build"), "-DKERNO_RELEASE=ON"],
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    out = p.stdout.decode(errors="replace")
    if p.returncode == 0 or "KERNO_RELEASE=ON needs -DKERNO_FIRMWARE_FILE" not in out:
        failures.append("configure without a firmware file: status %d\n%s" % (p.returncode, out))
    subprocess.run(["rm", "-rf", str(work)])
    print("\n".join(failures) or "all %d cases as expected" % (len(cases) + 1))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))

#!/usr/bin/env python3
"""The release switch: configuring with KERNO_RELEASE=ON needs a firmware file, and the
build's check passes only a real image made for the speaker.
  release_check.py CHECK_TOOL PLACEHOLDER_TOOL SOURCE_DIR"""

import struct
import sys
import tempfile
import zlib
from pathlib import Path
from subprocess import PIPE, STDOUT, run


def variant(image, at, value):
    """The image with `value` at offset `at`, its suffix CRC made right again."""
    b = bytearray(image)
    b[at:at + len(value)] = value
    b[-4:] = struct.pack("<I", ~zlib.crc32(bytes(b[:-4])) & 0xFFFFFFFF)
    return bytes(b)


def main(tool, make_placeholder, source_dir):
    work = Path(tempfile.mkdtemp(prefix="kerno-release-"))
    run([make_placeholder, str(work / "placeholder.dfu")], check=True)
    placeholder = (work / "placeholder.dfu").read_bytes()
    real = variant(placeholder, 16, b"V030 2018/01/09".ljust(64, b"\0"))
    cases = [  # name, file bytes, status, what the tool says
        ("real image", real, 0, "release firmware %s: V030 2018/01/09, CRC 0x"),
        ("placeholder", placeholder, 1, "is the placeholder image"),
        ("any vendor", variant(real, -12, b"\xff\xff"), 1, "is for device ffff:fffe, not"),
        ("other product", variant(real, -14, b"\x34\x12"), 1, "is for device 0a12:1234, not"),
        ("damaged", real[:-1] + bytes([real[-1] ^ 0x5A]), 1, "CRC mismatch"),
    ]
    failures = []
    for name, data, want_status, want_text in cases:
        path = work / (name.replace(" ", "-") + ".dfu")
        path.write_bytes(data)
        p = run([tool, str(path)], stdout=PIPE, stderr=STDOUT, errors="replace")
        if p.returncode != want_status or want_text.replace("%s", str(path)) not in p.stdout:
            failures.append("%s: status %d, %r" % (name, p.returncode, p.stdout))
    p = run(["cmake", "-S", source_dir, "-B", str(work / "build"), "-DKERNO_RELEASE=ON"],
            stdout=PIPE, stderr=STDOUT, errors="replace")
    if p.returncode == 0 or "KERNO_RELEASE=ON needs -DKERNO_FIRMWARE_FILE" not in p.stdout:
        failures.append("configured without a firmware file: %d\n%s" % (p.returncode, p.stdout))
    run(["rm", "-rf", str(work)])
    print("\n".join(failures) or "all %d cases as expected" % (len(cases) + 1))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))

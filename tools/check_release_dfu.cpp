// Checks, at build time, the firmware file that a release build embeds: the
// same reader as the library's upgrade (DFU suffix, CRC, CSR image), the
// speaker's own ids (no wildcard), and never the placeholder image.
#include "DfuFile.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s FIRMWARE.dfu\n", argv[0]);
        return 2;
    }
    const char* path = argv[1];
    hiddfu::DfuImage image;
    const hiddfu::DfuResult read = hiddfu::readDfuFile(path, image);
    if (read.code != 0) {
        std::fprintf(stderr, "release firmware refused: %s\n", read.what.c_str());
        return 1;
    }
    if (image.idVendor != HIDDFU_VENDOR_ID || image.idProduct != HIDDFU_PRODUCT_ID) {
        std::fprintf(stderr,
                     "release firmware refused: %s is for device %04x:%04x, not the "
                     "speaker's %04x:%04x\n",
                     path, image.idVendor, image.idProduct, HIDDFU_VENDOR_ID, HIDDFU_PRODUCT_ID);
        return 1;
    }
    if (image.isPlaceholder()) {
        std::fprintf(stderr, "release firmware refused: %s is the placeholder image (\"%s\")\n",
                     path, image.description().c_str());
        return 1;
    }
    std::printf("release firmware %s: %s, CRC 0x%08x\n", path, image.description().c_str(),
                static_cast<unsigned>(image.crc));
    return 0;
}

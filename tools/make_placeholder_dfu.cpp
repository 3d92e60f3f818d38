// Writes the placeholder firmware image that the build embeds when no real
// release is given: a structurally valid CSR DFU file with a USB DFU suffix,
// whose description marks it so that real hardware refuses it.
#include "DfuFile.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

constexpr std::size_t kFileSize = 807582;
constexpr std::uint16_t kAnyBcdDevice = 0xFFFF;

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.dfu\n", argv[0]);
        return 2;
    }
    constexpr std::size_t payloadSize = kFileSize - hiddfu::kDfuSuffixSize;
    hiddfu::DfuImage image;
    image.payload = hiddfu::csrHeader(
        std::string(hiddfu::kPlaceholderMark) + " - not a speaker firmware, never flash",
        payloadSize);
    image.payload.reserve(payloadSize);
    // xorshift32 with a fixed seed: the same bytes on every machine.
    std::uint32_t state = 0x4B45524Eu;
    while (image.payload.size() < payloadSize) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        image.payload.push_back(state & 0xFF);
    }
    image.bcdDevice = kAnyBcdDevice;
    image.idProduct = HIDDFU_PRODUCT_ID;
    image.idVendor = HIDDFU_VENDOR_ID;
    image.bcdDfu = hiddfu::kBcdDfu;
    const std::vector<std::uint8_t> file = hiddfu::dfuFileBytes(image);

    std::FILE* out = std::fopen(argv[1], "wb");
    if (!out || std::fwrite(file.data(), 1, file.size(), out) != file.size() ||
        std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}

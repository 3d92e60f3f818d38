// Writes the placeholder firmware image that the build embeds when no real
// release is given: a structurally valid CSR DFU file with a USB DFU suffix,
// whose description marks it so that real hardware refuses it.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr std::size_t kFileSize = 807582;
constexpr std::size_t kSuffixSize = 16;
constexpr std::size_t kDescriptionSize = 64;
constexpr std::uint16_t kHeaderSize = 8 + 2 + 4 + 2 + kDescriptionSize;
constexpr std::uint16_t kVendor = 0x0A12;
constexpr std::uint16_t kProduct = 0xFFFE;
constexpr std::uint16_t kBcdDevice = 0xFFFF;
constexpr std::uint16_t kBcdDfu = 0x0100;
const char kDescription[] = "KERNO PLACEHOLDER - not a speaker firmware, never flash";

void putU16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(v & 0xFF);
    out.push_back(v >> 8);
}

void putU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back((v >> (8 * i)) & 0xFF);
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.dfu\n", argv[0]);
        return 2;
    }
    std::vector<std::uint8_t> file;
    file.reserve(kFileSize);
    const char magic[] = "CSR-dfu2";
    file.insert(file.end(), magic, magic + 8);
    putU16(file, 2);
    putU32(file, kFileSize - kSuffixSize);
    putU16(file, kHeaderSize);
    char description[kDescriptionSize] = {};
    std::memcpy(description, kDescription, sizeof kDescription - 1);
    file.insert(file.end(), description, description + kDescriptionSize);

    // xorshift32 with a fixed seed: the same bytes on every machine.
    std::uint32_t state = 0x4B45524Eu;
    while (file.size() < kFileSize - kSuffixSize) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        file.push_back(state & 0xFF);
    }

    putU16(file, kBcdDevice);
    putU16(file, kProduct);
    putU16(file, kVendor);
    putU16(file, kBcdDfu);
    file.push_back('U');
    file.push_back('F');
    file.push_back('D');
    file.push_back(kSuffixSize);
    // The DFU suffix CRC is the register value without zlib's final inversion.
    const std::uint32_t crc = ~static_cast<std::uint32_t>(crc32(0L, file.data(), file.size()));
    putU32(file, crc);

    std::FILE* out = std::fopen(argv[1], "wb");
    if (!out || std::fwrite(file.data(), 1, file.size(), out) != file.size() ||
        std::fclose(out) != 0) {
        std::perror(argv[1]);
        return 1;
    }
    return 0;
}

// Reader and checks of a USB DFU file carrying a CSR-dfu2 image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hiddfu {

constexpr std::size_t kDfuSuffixSize = 16;
constexpr std::size_t kCsrMagicSize = 8;            // "CSR-dfu2"
constexpr std::size_t kCsrDescriptionOffset = 16;   // magic, u16 version, u32 length, u16 header length
constexpr std::size_t kCsrDescriptionSize = 64;
constexpr std::size_t kCsrHeaderSize = kCsrDescriptionOffset + kCsrDescriptionSize;
// Far above any image the chip's flash can hold; protects against reading a wrong huge file.
constexpr std::size_t kMaxDfuFileSize = 16u * 1024u * 1024u;

struct DfuImage {
    std::vector<std::uint8_t> payload; // the file without its suffix: the bytes sent
    std::uint16_t bcdDevice = 0;
    std::uint16_t idProduct = 0;
    std::uint16_t idVendor = 0;
    std::uint16_t bcdDfu = 0;
    std::uint32_t crc = 0; // as stored in the suffix

    std::string description() const; // the CSR header's text, up to its first NUL
    bool isPlaceholder() const;      // description starts with "KERNO PLACEHOLDER"
};

struct DfuResult {
    std::int32_t code = 0; // 0 or a negative library status
    std::string what;      // why, when code != 0
};

// Checks the bytes of a whole DFU file and fills image. Codes -5, -6.
DfuResult parseDfuFile(const std::uint8_t* data, std::size_t size, DfuImage& image);

// Reads and checks the file at path (UTF-8). Codes -3, -5, -6, -7, -10.
DfuResult readDfuFile(const std::string& path, DfuImage& image);

} // namespace hiddfu

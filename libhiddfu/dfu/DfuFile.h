// Reader, checks and writer of a USB DFU file carrying a CSR image.
#pragma once

#include "HidDfuFacts.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hiddfu {

// USB DFU suffix: the file's last 16 bytes, little-endian fields at these offsets.
constexpr std::size_t kDfuSuffixSize = 16;
constexpr std::size_t kSuffixBcdDevice = 0;
constexpr std::size_t kSuffixIdProduct = 2; // 0xFFFF: any
constexpr std::size_t kSuffixIdVendor = 4;  // 0xFFFF: any
constexpr std::size_t kSuffixBcdDfu = 6;
constexpr std::size_t kSuffixSignature = 8; // "UFD"
constexpr std::size_t kSuffixLength = 11;   // the suffix's own size
constexpr std::size_t kSuffixCrc = 12;      // u32, CRC-32 of all before it, not inverted
constexpr char kSuffixSignatureText[] = "UFD";
constexpr std::uint16_t kBcdDfu = 0x0100;

// CSR image header at the start of the payload.
constexpr char kCsrMagic[] = "CSR-dfu2";
constexpr std::size_t kCsrMagicSize = sizeof kCsrMagic - 1;
constexpr std::size_t kCsrVersionOffset = 8;       // u16
constexpr std::size_t kCsrLengthOffset = 10;       // u32: the image's length
constexpr std::size_t kCsrHeaderLengthOffset = 14; // u16: the header's own length
constexpr std::size_t kCsrDescriptionOffset = 16;  // NUL-padded text
constexpr std::size_t kCsrDescriptionSize = 64;
constexpr std::size_t kCsrHeaderSize = kCsrDescriptionOffset + kCsrDescriptionSize;
constexpr std::uint16_t kCsrVersion = 2;

// The description of the build's stand-in image starts so; real hardware refuses it.
constexpr char kPlaceholderMark[] = "KERNO PLACEHOLDER";
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
    bool isPlaceholder() const;      // description starts with kPlaceholderMark
};

struct DfuResult {
    std::int32_t code = 0; // 0 or a negative library status
    std::string what;      // why, when code != 0
};

// "vvvv:pppp", as USB ids are written.
std::string usbIds(std::uint16_t vendor, std::uint16_t product);

// The CSR header of an image of length bytes, description cut to its field.
std::vector<std::uint8_t> csrHeader(const std::string& description, std::uint32_t length);

// The file of image: its payload, then a suffix of its ids with the CRC over both.
std::vector<std::uint8_t> dfuFileBytes(const DfuImage& image);

// Checks the bytes of a whole DFU file and fills image. Codes -5, -6.
DfuResult parseDfuFile(const std::uint8_t* data, std::size_t size, DfuImage& image);

// Reads and checks the file at path (UTF-8). Codes -3, -5, -6, -7, -10.
DfuResult readDfuFile(const std::string& path, DfuImage& image);

} // namespace hiddfu

// DFU files for the tests and the benchmark: a CSR header, deterministic
// bytes and a USB DFU suffix with a correct CRC, written by the library's own
// DFU module.
#pragma once

#include "DfuFile.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace fixtures {

struct FileLayout {
    std::size_t payloadSize = 2500; // bytes before the suffix, header included
    std::uint16_t vendor = HIDDFU_VENDOR_ID, product = HIDDFU_PRODUCT_ID;
    const char* description = "KERNO TEST IMAGE";
    const char* magic = hiddfu::kCsrMagic;
    std::uint32_t lengthField = 0; // 0: the payload size
};

inline std::vector<std::uint8_t> dfuFile(const FileLayout& layout = {}) {
    hiddfu::DfuImage image{{}, 0xFFFF, layout.product, layout.vendor, hiddfu::kBcdDfu};
    image.payload = hiddfu::csrHeader(
        layout.description, layout.lengthField ? layout.lengthField : layout.payloadSize);
    std::memcpy(image.payload.data(), layout.magic, hiddfu::kCsrMagicSize);
    for (std::uint32_t x = 0x2545F491u; image.payload.size() < layout.payloadSize;
         image.payload.push_back(x))
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    image.payload.resize(layout.payloadSize);
    return hiddfu::dfuFileBytes(image);
}

inline std::vector<std::uint8_t> flip(std::vector<std::uint8_t> f, int at, std::uint8_t mask,
                                      int count = 1) {
    for (int i = 0; i < count; ++i)
        f[(at < 0 ? f.size() : 0) + at + i] ^= mask;
    return f;
}

// A file in /tmp, removed with the object.
struct TempFile {
    std::string path = "/tmp/hiddfu-test-XXXXXX";
    explicit TempFile(const std::vector<std::uint8_t>& bytes) {
        const int fd = mkstemp(&path[0]);
        if (fd < 0 || write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size()))
            path = "/nonexistent/unwritable";
        close(fd);
    }
    ~TempFile() { unlink(path.c_str()); }
};

} // namespace fixtures

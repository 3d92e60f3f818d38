// DFU files for the tests and the benchmark: a CSR-dfu2 header, deterministic
// bytes and a USB DFU suffix with a correct CRC.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace fixtures {

struct FileLayout {
    std::size_t payloadSize = 2500; // bytes before the suffix, header included
    std::uint16_t vendor = 0x0A12, product = 0xFFFE;
    const char* description = "KERNO TEST IMAGE";
    const char* magic = "CSR-dfu2";
    std::uint32_t lengthField = 0; // 0: the payload size
};

inline std::vector<std::uint8_t> dfuFile(const FileLayout& layout = {}) {
    std::vector<std::uint8_t> f(layout.magic, layout.magic + 8);
    auto put = [&f](std::initializer_list<std::uint32_t> u16s) {
        for (std::uint32_t v : u16s)
            f.insert(f.end(), {std::uint8_t(v), std::uint8_t(v >> 8)});
    };
    const std::uint32_t length = layout.lengthField ? layout.lengthField : layout.payloadSize;
    put({2, length & 0xFFFF, length >> 16, 80});
    f.insert(f.end(), layout.description, layout.description + strnlen(layout.description, 64));
    f.resize(80);
    for (std::uint32_t x = 0x2545F491u; f.size() < layout.payloadSize; f.push_back(x))
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    f.resize(layout.payloadSize);
    put({0xFFFF, layout.product, layout.vendor, 0x0100});
    f.insert(f.end(), {'U', 'F', 'D', 16});
    const std::uint32_t crc = ~crc32(0L, f.data(), f.size());
    put({crc & 0xFFFF, crc >> 16});
    return f;
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

// Builds DFU files for the tests: a CSR-dfu2 header, deterministic bytes,
// a USB DFU suffix with a correct CRC, and ways to spoil each part.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace fixtures {

struct DfuSpec {
    std::size_t payloadSize = 2500; // bytes before the suffix, header included
    std::uint16_t vendor = 0x0A12;
    std::uint16_t product = 0xFFFE;
    const char* description = "KERNO TEST IMAGE";
    const char* magic = "CSR-dfu2";
    std::uint32_t lengthField = 0; // 0: the payload size
};

inline void putU16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(v & 0xFF);
    out.push_back(v >> 8);
}

inline void putU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back((v >> (8 * i)) & 0xFF);
}

inline std::vector<std::uint8_t> payloadOf(const DfuSpec& spec) {
    std::vector<std::uint8_t> p(spec.magic, spec.magic + 8);
    putU16(p, 2);
    putU32(p, spec.lengthField ? spec.lengthField : static_cast<std::uint32_t>(spec.payloadSize));
    putU16(p, 80);
    char description[64] = {};
    std::memcpy(description, spec.description,
                std::min(std::strlen(spec.description), sizeof description));
    p.insert(p.end(), description, description + 64);
    std::uint32_t state = 0x2545F491u;
    while (p.size() < spec.payloadSize) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        p.push_back(state & 0xFF);
    }
    p.resize(spec.payloadSize);
    return p;
}

inline void sealSuffix(std::vector<std::uint8_t>& file, std::uint16_t vendor, std::uint16_t product) {
    putU16(file, 0xFFFF);
    putU16(file, product);
    putU16(file, vendor);
    putU16(file, 0x0100);
    file.push_back('U');
    file.push_back('F');
    file.push_back('D');
    file.push_back(16);
    putU32(file, ~static_cast<std::uint32_t>(crc32(0L, file.data(), file.size())));
}

inline std::vector<std::uint8_t> dfuFile(const DfuSpec& spec = {}) {
    std::vector<std::uint8_t> file = payloadOf(spec);
    sealSuffix(file, spec.vendor, spec.product);
    return file;
}

// A file in the temporary directory, removed with the object.
struct TempFile {
    std::string path;
    explicit TempFile(const std::vector<std::uint8_t>& bytes) {
        const char* dir = std::getenv("TMPDIR");
        path = std::string(dir && *dir ? dir : "/tmp") + "/hiddfu-test-XXXXXX";
        const int fd = mkstemp(&path[0]);
        if (fd >= 0) {
            if (write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
                path.clear();
            close(fd);
        }
    }
    ~TempFile() {
        if (!path.empty())
            unlink(path.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
};

} // namespace fixtures

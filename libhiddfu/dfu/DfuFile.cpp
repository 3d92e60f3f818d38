#include "DfuFile.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#if defined(_WIN32)
#include <filesystem>
#include <fstream>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace hiddfu {
namespace {

std::uint32_t getLe(const std::uint8_t* p, int bytes) {
    std::uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = value << 8 | p[i];
    return value;
}

void setLe(std::uint8_t* p, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

DfuResult fail(std::int32_t code, std::string what) {
    return DfuResult{code, std::move(what)};
}

// zlib takes uInt lengths; feed it in slices so any size_t works.
std::uint32_t zlibCrc(const std::uint8_t* data, std::size_t size) {
    uLong crc = crc32(0L, Z_NULL, 0);
    while (size > 0) {
        const uInt n = size > 0x40000000u ? 0x40000000u : static_cast<uInt>(size);
        crc = crc32(crc, data, n);
        data += n;
        size -= n;
    }
    return static_cast<std::uint32_t>(crc);
}

} // namespace

std::string DfuImage::description() const {
    if (payload.size() < kCsrHeaderSize)
        return {};
    const char* text = reinterpret_cast<const char*>(payload.data() + kCsrDescriptionOffset);
    return std::string(text, strnlen(text, kCsrDescriptionSize));
}

bool DfuImage::isPlaceholder() const {
    return payload.size() >= kCsrHeaderSize &&
           std::memcmp(payload.data() + kCsrDescriptionOffset, kPlaceholderMark,
                       sizeof kPlaceholderMark - 1) == 0;
}

std::string usbIds(std::uint16_t vendor, std::uint16_t product) {
    char text[16];
    std::snprintf(text, sizeof text, "%04x:%04x", vendor, product);
    return text;
}

std::vector<std::uint8_t> csrHeader(const std::string& description, std::uint32_t length) {
    std::vector<std::uint8_t> header(kCsrHeaderSize);
    std::memcpy(header.data(), kCsrMagic, kCsrMagicSize);
    setLe(&header[kCsrVersionOffset], kCsrVersion, 2);
    setLe(&header[kCsrLengthOffset], length, 4);
    setLe(&header[kCsrHeaderLengthOffset], kCsrHeaderSize, 2);
    std::memcpy(&header[kCsrDescriptionOffset], description.data(),
                std::min(description.size(), kCsrDescriptionSize));
    return header;
}

std::vector<std::uint8_t> dfuFileBytes(const DfuImage& image) {
    std::vector<std::uint8_t> file(image.payload);
    file.resize(file.size() + kDfuSuffixSize);
    std::uint8_t* const suffix = &file[image.payload.size()];
    setLe(suffix + kSuffixBcdDevice, image.bcdDevice, 2);
    setLe(suffix + kSuffixIdProduct, image.idProduct, 2);
    setLe(suffix + kSuffixIdVendor, image.idVendor, 2);
    setLe(suffix + kSuffixBcdDfu, image.bcdDfu, 2);
    std::memcpy(suffix + kSuffixSignature, kSuffixSignatureText, 3);
    suffix[kSuffixLength] = kDfuSuffixSize;
    setLe(suffix + kSuffixCrc, ~zlibCrc(file.data(), image.payload.size() + kSuffixCrc), 4);
    return file;
}

DfuResult parseDfuFile(const std::uint8_t* data, std::size_t size, DfuImage& image) {
    if (size < kDfuSuffixSize)
        return fail(HIDDFU_ERR_FILE_INVALID, "file of " + std::to_string(size) +
                                         " bytes is too short for a DFU suffix");
    const std::uint8_t* suffix = data + size - kDfuSuffixSize;
    if (std::memcmp(suffix + kSuffixSignature, kSuffixSignatureText, 3) != 0)
        return fail(HIDDFU_ERR_FILE_INVALID, "no DFU suffix signature \"UFD\"");
    if (suffix[kSuffixLength] != kDfuSuffixSize)
        return fail(HIDDFU_ERR_FILE_INVALID, "DFU suffix length is " +
                                                 std::to_string(suffix[kSuffixLength]) +
                                                 ", expected 16");
    const std::uint32_t stored = getLe(suffix + kSuffixCrc, 4);
    const std::uint32_t computed = ~zlibCrc(data, size - kDfuSuffixSize + kSuffixCrc);
    if (stored != computed) {
        char text[96];
        std::snprintf(text, sizeof text, "CRC mismatch: file says 0x%08x, content gives 0x%08x",
                      static_cast<unsigned>(stored), static_cast<unsigned>(computed));
        return fail(HIDDFU_ERR_FILE_CRC, text);
    }
    const std::uint16_t product = getLe(suffix + kSuffixIdProduct, 2);
    const std::uint16_t vendor = getLe(suffix + kSuffixIdVendor, 2);
    if ((vendor != 0xFFFF && vendor != HIDDFU_VENDOR_ID) ||
        (product != 0xFFFF && product != HIDDFU_PRODUCT_ID))
        return fail(HIDDFU_ERR_FILE_INVALID, "file is for device " + usbIds(vendor, product) +
                                                 ", not " +
                                                 usbIds(HIDDFU_VENDOR_ID, HIDDFU_PRODUCT_ID));
    const std::size_t payloadSize = size - kDfuSuffixSize;
    if (payloadSize < kCsrHeaderSize || std::memcmp(data, kCsrMagic, kCsrMagicSize) != 0)
        return fail(HIDDFU_ERR_FILE_INVALID,
                    std::string("payload is not a ") + kCsrMagic + " image");
    try {
        image.payload.assign(data, data + payloadSize);
    } catch (const std::bad_alloc&) {
        return fail(HIDDFU_ERR_NO_MEMORY, "no memory for a " + std::to_string(payloadSize) +
                                      "-byte image");
    }
    image.bcdDevice = getLe(suffix + kSuffixBcdDevice, 2);
    image.idProduct = product;
    image.idVendor = vendor;
    image.bcdDfu = getLe(suffix + kSuffixBcdDfu, 2);
    image.crc = stored;
    return {};
}

namespace {

// Room for the whole file, within the size any image for the speaker can have.
DfuResult makeRoom(const std::string& path, std::size_t size, std::vector<std::uint8_t>& bytes) {
    if (size > kMaxDfuFileSize)
        return fail(HIDDFU_ERR_FILE_INVALID, path + " has " + std::to_string(size) +
                                         " bytes, more than any DFU image for this device");
    try {
        bytes.resize(size);
    } catch (const std::bad_alloc&) {
        return fail(HIDDFU_ERR_NO_MEMORY, "no memory to read " + path);
    }
    return {};
}

#if defined(_WIN32)
DfuResult readRegularFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path file = fs::u8path(path);
    if (!fs::is_regular_file(file, error))
        return fail(HIDDFU_ERR_OPEN_FILE, path + " is not a regular file");
    const auto size = static_cast<std::size_t>(fs::file_size(file, error));
    if (error)
        return fail(HIDDFU_ERR_OPEN_FILE, "cannot open " + path + ": " + error.message());
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return fail(HIDDFU_ERR_OPEN_FILE, "cannot open " + path);
    if (DfuResult room = makeRoom(path, size, bytes); room.code != 0)
        return room;
    if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size)))
        return fail(HIDDFU_ERR_FILE_READ, "short read of " + path + ": " +
                                      std::to_string(in.gcount()) + " of " +
                                      std::to_string(size) + " bytes");
    return {};
}
#else
DfuResult readRegularFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
    // Only a regular file is ever opened: opening a named pipe waits for a
    // writer, opening some devices has effects of its own. O_NONBLOCK covers a
    // path swapped between the two checks.
    struct stat before {};
    if (::stat(path.c_str(), &before) != 0)
        return fail(HIDDFU_ERR_OPEN_FILE, "cannot open " + path + ": " + std::strerror(errno));
    if (!S_ISREG(before.st_mode))
        return fail(HIDDFU_ERR_OPEN_FILE, path + " is not a regular file");
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return fail(HIDDFU_ERR_OPEN_FILE, "cannot open " + path + ": " + std::strerror(errno));
    struct FdGuard {
        int fd;
        ~FdGuard() { ::close(fd); }
    } guard{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return fail(HIDDFU_ERR_OPEN_FILE, "cannot stat " + path + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode) || st.st_ino != before.st_ino || st.st_dev != before.st_dev)
        return fail(HIDDFU_ERR_OPEN_FILE, path + " is not a regular file");
    const auto size = static_cast<std::size_t>(st.st_size);
    if (DfuResult room = makeRoom(path, size, bytes); room.code != 0)
        return room;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, bytes.data() + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail(HIDDFU_ERR_FILE_READ,
                        "read of " + path + " failed: " + std::strerror(errno));
        if (n == 0)
            return fail(HIDDFU_ERR_FILE_READ, "short read of " + path + ": " +
                                                  std::to_string(done) + " of " +
                                                  std::to_string(size) + " bytes");
        done += static_cast<std::size_t>(n);
    }
    return {};
}
#endif

} // namespace

DfuResult readDfuFile(const std::string& path, DfuImage& image) {
    std::vector<std::uint8_t> bytes;
    if (DfuResult read = readRegularFile(path, bytes); read.code != 0)
        return read;
    DfuResult result = parseDfuFile(bytes.data(), bytes.size(), image);
    if (result.code != 0)
        result.what = path + ": " + result.what;
    return result;
}

} // namespace hiddfu

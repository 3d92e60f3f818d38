#include "HidapiTransport.h"

#include "DfuFile.h"

#include <hidapi.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace hiddfu {
namespace {

std::string utf8(const wchar_t* text) {
    std::string out;
    if (!text)
        return out;
    for (; *text; ++text) {
        auto c = static_cast<std::uint32_t>(*text);
        // Device texts end up on terminals: no control characters, no invalid code points.
        if (c < 0x20 || (c >= 0x7F && c < 0xA0))
            c = '?';
        else if (c > 0x10FFFF || (c >= 0xD800 && c < 0xE000))
            c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | ((c >> 18) & 0x07));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// hidapi reports errors as text only; these are the kernel's words for a device that left.
IoResult classify(const std::string& what) {
    if (what.find("No such device") != std::string::npos ||
        what.find("No such file") != std::string::npos ||
        what.find("not connected") != std::string::npos)
        return IoResult::gone(what);
    return IoResult::failed(what.empty() ? "hidapi call failed" : what);
}

// hidapi's init, exit, enumeration, open and global error text are not
// thread-safe; calls on one open device are, from one thread at a time.
std::mutex& hidapiMutex() {
    static std::mutex mutex;
    return mutex;
}

// Advisory lock on the device node, so that two programs never write one
// device. -1 when the node cannot be opened for it (no file path: no lock);
// -2 when another program holds it.
int lockNode(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        return fd;
    const bool held = errno == EWOULDBLOCK;
    ::close(fd);
    return held ? -2 : -1;
}

class HidapiDevice : public Transport {
public:
    HidapiDevice(hid_device* device, std::string path, int lock)
        : device_(device), path_(std::move(path)), lock_(lock) {}
    ~HidapiDevice() override {
        hid_close(device_);
        if (lock_ >= 0)
            ::close(lock_);
    }

    IoResult sendFeature(const std::uint8_t* data, std::size_t size) override {
        const int n = hid_send_feature_report(device_, data, size);
        if (n < 0)
            return classify(utf8(hid_error(device_)));
        return IoResult::success();
    }

    IoResult getFeature(std::uint8_t* buffer, std::size_t size, std::size_t& received) override {
        received = 0;
        const int n = hid_get_feature_report(device_, buffer, size);
        if (n < 0)
            return classify(utf8(hid_error(device_)));
        received = std::min(static_cast<std::size_t>(n), size);
        return IoResult::success();
    }

    bool waitGone(std::chrono::milliseconds bound) override {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        for (;;) {
            bool present = false;
            {
                std::lock_guard<std::mutex> lock(hidapiMutex());
                hid_device_info* list = hid_enumerate(0, 0);
                for (hid_device_info* it = list; it; it = it->next)
                    present = present || (it->path && path_ == it->path);
                hid_free_enumeration(list);
            }
            if (!present)
                return true;
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            // Enumeration is a sysfs walk; 20 ms keeps it cheap and well inside the bound.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

private:
    hid_device* const device_;
    const std::string path_;
    const int lock_;
};

class HidapiBus : public Bus {
public:
    ~HidapiBus() override {
        std::lock_guard<std::mutex> lock(hidapiMutex());
        if (initialised_)
            hid_exit();
    }

    std::vector<BusDevice> enumerate(std::uint16_t vendorId, std::uint16_t productId,
                                     std::uint16_t usagePage, std::uint16_t usage,
                                     std::string& whyNone) override {
        std::vector<BusDevice> found;
        std::lock_guard<std::mutex> lock(hidapiMutex());
        if (!init(whyNone))
            return found;
        hid_device_info* list = hid_enumerate(vendorId, productId);
        for (hid_device_info* it = list; it; it = it->next) {
            if (!it->path || (usagePage && it->usage_page != usagePage) ||
                (usage && it->usage != usage))
                continue;
            found.push_back({it->path, utf8(it->serial_number), HIDDFU_MODE_UPGRADE});
        }
        hid_free_enumeration(list);
        // Opening sends nothing to the device: it tells who may use it.
        for (BusDevice& device : found) {
            const int held = lockNode(device.path);
            if (held >= 0)
                ::close(held);
            hid_device* probe = held == -2 ? nullptr : hid_open_path(device.path.c_str());
            device.mode = held == -2 ? HIDDFU_MODE_IN_USE
                          : probe    ? HIDDFU_MODE_UPGRADE
                                     : HIDDFU_MODE_NO_ACCESS;
            if (probe)
                hid_close(probe);
        }
        if (found.empty())
            whyNone = "no HID device " + usbIds(vendorId, productId) + " found";
        return found;
    }

    IoResult open(const std::string& path, std::unique_ptr<Transport>& device) override {
        std::lock_guard<std::mutex> lock(hidapiMutex());
        std::string why;
        if (!init(why))
            return IoResult::failed(why);
        // Only a HID device present now: hidapi opens a path blocking and read-write,
        // which no other file (a pipe, a disk, a terminal) may get.
        bool listed = false;
        hid_device_info* list = hid_enumerate(0, 0);
        for (hid_device_info* it = list; it; it = it->next)
            listed = listed || (it->path && path == it->path);
        hid_free_enumeration(list);
        if (!listed)
            return IoResult::gone("no HID device at " + path);
        const int held = lockNode(path);
        if (held == -2)
            return IoResult::failed(path + " is in use by another program");
        hid_device* opened = hid_open_path(path.c_str());
        if (!opened) {
            if (held >= 0)
                ::close(held);
            return IoResult::failed("cannot open " + path + ": " + utf8(hid_error(nullptr)) +
                                    "; is the udev rule 70-kerno-tindal2.rules installed?");
        }
        device = std::make_unique<HidapiDevice>(opened, path, held);
        return IoResult::success();
    }

private:
    bool init(std::string& why) {
        if (!initialised_ && hid_init() != 0) {
            why = "hid_init failed: " + utf8(hid_error(nullptr));
            return false;
        }
        initialised_ = true;
        return true;
    }

    bool initialised_ = false; // under hidapiMutex()
};

} // namespace

std::unique_ptr<Bus> makeHidapiBus() {
    return std::make_unique<HidapiBus>();
}

} // namespace hiddfu

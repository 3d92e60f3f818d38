#include "HidapiTransport.h"

#include <hidapi.h>

#include <cstdio>
#include <string>
#include <thread>

namespace hiddfu {
namespace {

std::string utf8(const wchar_t* text) {
    std::string out;
    if (!text)
        return out;
    for (; *text; ++text) {
        const auto c = static_cast<std::uint32_t>(*text);
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

class HidapiTransport : public Transport {
public:
    // One transport exists at a time; hid_exit frees hidapi's global error text.
    ~HidapiTransport() override {
        close();
        hid_exit();
    }

    IoResult open(std::uint16_t vendorId, std::uint16_t productId, std::uint16_t usagePage,
                  std::uint16_t usage, std::uint16_t& count) override {
        close();
        count = 0;
        if (hid_init() != 0)
            return IoResult::failed("hid_init failed: " + utf8(hid_error(nullptr)));
        vendorId_ = vendorId;
        productId_ = productId;
        hid_device_info* list = hid_enumerate(vendorId, productId);
        for (hid_device_info* it = list; it; it = it->next) {
            if ((usagePage && it->usage_page != usagePage) || (usage && it->usage != usage))
                continue;
            if (count == 0 && it->path)
                path_ = it->path;
            ++count;
        }
        hid_free_enumeration(list);
        char ids[16];
        std::snprintf(ids, sizeof ids, "%04x:%04x", vendorId, productId);
        if (count == 0)
            return IoResult::gone(std::string("no HID device ") + ids + " found");
        device_ = hid_open_path(path_.c_str());
        if (!device_)
            return IoResult::failed("cannot open " + path_ + " (" + ids +
                                    "): " + utf8(hid_error(nullptr)) +
                                    "; is the udev rule installed?");
        return IoResult::success();
    }

    void close() override {
        if (device_)
            hid_close(device_);
        device_ = nullptr;
    }

    IoResult sendFeature(const std::uint8_t* data, std::size_t size) override {
        if (!device_)
            return IoResult::gone("device not open");
        const int n = hid_send_feature_report(device_, data, size);
        if (n < 0)
            return classify(utf8(hid_error(device_)));
        return IoResult::success();
    }

    IoResult getFeature(std::uint8_t* buffer, std::size_t size, std::size_t& received) override {
        received = 0;
        if (!device_)
            return IoResult::gone("device not open");
        const int n = hid_get_feature_report(device_, buffer, size);
        if (n < 0)
            return classify(utf8(hid_error(device_)));
        received = static_cast<std::size_t>(n);
        return IoResult::success();
    }

    bool waitGone(std::chrono::milliseconds bound) override {
        const auto deadline = std::chrono::steady_clock::now() + bound;
        for (;;) {
            bool present = false;
            hid_device_info* list = hid_enumerate(vendorId_, productId_);
            for (hid_device_info* it = list; it; it = it->next)
                present = present || (it->path && path_ == it->path);
            hid_free_enumeration(list);
            if (!present)
                return true;
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            // Enumeration is a sysfs walk; 20 ms keeps it cheap and well inside the bound.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

private:
    hid_device* device_ = nullptr;
    std::string path_;
    std::uint16_t vendorId_ = 0;
    std::uint16_t productId_ = 0;
};

} // namespace

std::unique_ptr<Transport> makeHidapiTransport() {
    return std::make_unique<HidapiTransport>();
}

} // namespace hiddfu

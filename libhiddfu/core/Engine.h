// The transfer engine of one open device: file checks, the download on a
// worker thread, manifestation and reset, over a Transport.
#pragma once

#include "DfuFile.h"
#include "Protocol.h"
#include "Transport.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace hiddfu {

class Engine {
public:
    using Logger = std::function<void(const std::string&)>;

    struct Options {
        bool refusePlaceholder = false; // real hardware must never get the placeholder image
        Bounds bounds;
        Logger log; // one line per failure; empty: standard error
    };

    explicit Engine(Options options);
    ~Engine(); // cancels and joins a running transfer
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Takes an opened device (closing an earlier one) and makes it ready: reads
    // its status, clears dfuERROR.
    std::int32_t open(std::unique_ptr<Transport> device);
    std::int32_t upgrade(const char* path, std::int32_t options);
    std::int32_t progress() const;
    std::int32_t reset();
    std::int32_t close(); // cancels a transfer, joins it, closes the device

    bool running();
    // Records a failure (and logs it unless it repeats the last one); returns code.
    std::int32_t fail(std::int32_t code, const std::string& what);
    std::string lastError() const;

private:
    enum class Phase { Idle, Running, Succeeded, Failed };
    struct Status {
        std::uint32_t pollMs = 0;
        std::uint8_t state = 0;
        std::uint8_t status = 0;
    };

    void joinWorker();
    void closeTransport();
    void run(std::shared_ptr<const DfuImage> image);
    std::int32_t transfer(const DfuImage& image);
    std::int32_t leaveErrorState(Status& status, const char* when);
    std::int32_t waitWhileBusy(std::size_t index, std::size_t chunks, Status& status);
    std::int32_t waitManifestation();
    IoResult getStatus(Status& status);
    IoResult sendControl(std::uint8_t request);
    bool sleepUnlessCancelled(std::chrono::milliseconds duration);
    bool cancelled();
    // Never call fail() with stateMutex_ held: it takes that mutex.

    const Options options_;

    std::mutex apiMutex_; // serialises the calls that may block
    std::unique_ptr<Transport> transport_;
    bool connected_ = false;
    std::thread worker_;

    mutable std::mutex stateMutex_; // shared with the worker
    std::condition_variable wake_;
    bool cancel_ = false;
    Phase phase_ = Phase::Idle;
    std::int32_t transferCode_ = 0;
    std::string lastError_;

    std::atomic<std::int32_t> progress_{0};
    std::atomic<bool> connectedFlag_{false};
};

} // namespace hiddfu

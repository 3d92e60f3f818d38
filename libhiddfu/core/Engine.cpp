#include "Engine.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <system_error>
#include <vector>

namespace hiddfu {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::string describe(const std::string& what, const IoResult& r) {
    return what + (r.kind == IoResult::Gone ? ": device gone: " : ": ") + r.what;
}

} // namespace

Engine::Engine(Options options) : options_(std::move(options)) {}

Engine::~Engine() {
    close();
}

std::int32_t Engine::fail(std::int32_t code, const std::string& what) {
    bool repeated;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        repeated = what == lastError_;
        lastError_ = what;
    }
    // Connection attempts repeat every few ticks: one line per distinct failure is enough.
    if (!repeated) {
        const std::string line = what + " (" + std::to_string(code) + ")";
        if (options_.log) {
            options_.log(line);
        } else {
            std::fprintf(stderr, "libHidDfu: %s\n", line.c_str());
            std::fflush(stderr);
        }
    }
    return code;
}

std::string Engine::lastError() const {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return lastError_;
}

void Engine::joinWorker() {
    if (worker_.joinable())
        worker_.join();
}

void Engine::closeTransport() {
    transport_.reset();
    connected_ = false;
    connectedFlag_ = false;
}

std::int32_t Engine::open(std::unique_ptr<Transport> device) {
    std::lock_guard<std::mutex> api(apiMutex_);
    if (running())
        return fail(HIDDFU_ERR_BUSY, "open refused: a transfer is running");
    joinWorker();
    closeTransport();
    progress_ = 0;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        phase_ = Phase::Idle;
        cancel_ = false;
        transferCode_ = 0;
    }
    if (!device)
        return fail(HIDDFU_ERR_CONNECT, "no device to open");
    transport_ = std::move(device);

    Status status;
    const IoResult got = getStatus(status);
    if (!got.ok()) {
        closeTransport();
        return fail(HIDDFU_ERR_CONNECT,
                    describe("device opened but its status cannot be read", got));
    }
    const std::int32_t cleared = leaveErrorState(status, "on connect");
    if (cleared != HIDDFU_OK) {
        closeTransport();
        return cleared;
    }
    connected_ = true;
    connectedFlag_ = true;
    return HIDDFU_OK;
}

std::int32_t Engine::leaveErrorState(Status& status, const char* when) {
    if (status.state != dfuERROR)
        return HIDDFU_OK;
    const std::string was = statusName(status.status);
    IoResult r = sendControl(kControlClearStatus);
    if (!r.ok())
        return fail(HIDDFU_ERR_CLEAR_STATUS,
                    describe("clear-status " + std::string(when) + " failed", r));
    r = getStatus(status);
    if (!r.ok())
        return fail(HIDDFU_ERR_CLEAR_STATUS, describe("status after clear-status", r));
    if (status.state == dfuERROR)
        return fail(HIDDFU_ERR_CLEAR_STATUS, std::string("device stays in dfuERROR (") +
                                         statusName(status.status) + ") after clear-status " +
                                         when + ", was " + was);
    return HIDDFU_OK;
}

std::int32_t Engine::upgrade(const char* path, std::int32_t options) {
    std::lock_guard<std::mutex> api(apiMutex_);
    if (!connected_)
        return fail(HIDDFU_ERR_SEQUENCE, "upgrade before a successful connect");
    if (running())
        return fail(HIDDFU_ERR_BUSY, "upgrade refused: a transfer is already running");
    joinWorker();
    // From here on a refusal replaces the outcome of an earlier transfer: the
    // progress and a following reset must not tell of a transfer this one is not.
    auto refuse = [this](std::int32_t code, const std::string& what) {
        progress_ = 0;
        {
            std::lock_guard<std::mutex> lock(stateMutex_);
            phase_ = Phase::Failed;
            transferCode_ = code;
        }
        return fail(code, what);
    };
    if (!path)
        return refuse(HIDDFU_ERR_INVALID_PARAM, "upgrade: file name is NULL");
    if (options != 0)
        return refuse(HIDDFU_ERR_INVALID_PARAM,
                      "upgrade: options must be 0, got " + std::to_string(options));

    auto image = std::make_shared<DfuImage>();
    const DfuResult read = readDfuFile(path, *image);
    if (read.code != HIDDFU_OK)
        return refuse(read.code, read.what);
    if (options_.refusePlaceholder && image->isPlaceholder())
        return refuse(HIDDFU_ERR_FILE_INVALID, std::string(path) + ": refusing to write the " +
                                                   kPlaceholderMark + " image to a real speaker; "
                                                   "use a real firmware file");

    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        phase_ = Phase::Running;
        cancel_ = false;
        transferCode_ = 0;
    }
    progress_ = 0;
    try {
        worker_ = std::thread(&Engine::run, this, std::shared_ptr<const DfuImage>(image));
    } catch (const std::system_error& e) {
        return refuse(HIDDFU_ERR_START,
                      std::string("cannot start the transfer thread: ") + e.what());
    }
    return HIDDFU_OK;
}

std::int32_t Engine::progress() const {
    if (!connectedFlag_)
        return HIDDFU_ERR_SEQUENCE;
    return progress_;
}

void Engine::run(std::shared_ptr<const DfuImage> image) {
    std::int32_t code;
    try {
        code = transfer(*image);
    } catch (const std::bad_alloc&) {
        code = fail(HIDDFU_ERR_NO_MEMORY, "out of memory during the transfer");
    } catch (...) {
        code = fail(HIDDFU_ERR_UNKNOWN, "unexpected failure during the transfer");
    }
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        transferCode_ = code;
        phase_ = code == HIDDFU_OK ? Phase::Succeeded : Phase::Failed;
    }
    // Last: 100 tells the caller the operation is over, either way.
    progress_ = 100;
}

bool Engine::running() {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return phase_ == Phase::Running;
}

bool Engine::cancelled() {
    std::lock_guard<std::mutex> lock(stateMutex_);
    return cancel_;
}

bool Engine::sleepUnlessCancelled(milliseconds duration) {
    std::unique_lock<std::mutex> lock(stateMutex_);
    return !wake_.wait_for(lock, duration, [this] { return cancel_; });
}

IoResult Engine::getStatus(Status& status) {
    std::uint8_t report[HIDDFU_STATUS_REPORT_SIZE] = {HIDDFU_STATUS_REPORT_ID};
    std::size_t received = 0;
    IoResult r = transport_->getFeature(report, sizeof report, received);
    if (!r.ok())
        return r;
    if (received <= kStatusStateOffset || report[0] != HIDDFU_STATUS_REPORT_ID)
        return IoResult::failed("malformed status report (" + std::to_string(received) +
                                " bytes, id " + std::to_string(report[0]) + ")");
    status.pollMs = report[kStatusPollOffset] | (report[kStatusPollOffset + 1] << 8) |
                    (report[kStatusPollOffset + 2] << 16);
    status.state = report[kStatusStateOffset];
    status.status = report[kStatusStatusOffset];
    return r;
}

IoResult Engine::sendControl(std::uint8_t request) {
    const std::uint8_t report[HIDDFU_CONTROL_REPORT_SIZE] = {HIDDFU_CONTROL_REPORT_ID, request};
    return transport_->sendFeature(report, sizeof report);
}

std::int32_t Engine::waitWhileBusy(std::size_t index, std::size_t chunks, Status& status) {
    const auto start = Clock::now();
    for (;;) {
        const IoResult r = getStatus(status);
        if (!r.ok())
            return fail(HIDDFU_ERR_UPGRADE, describe("status after chunk " + std::to_string(index) +
                                                         " of " + std::to_string(chunks),
                                                     r));
        if (status.state != dfuDNBUSY)
            return HIDDFU_OK;
        if (Clock::now() - start >= options_.bounds.chunkBusyLimit)
            return fail(HIDDFU_ERR_UPGRADE,
                        "device still busy " +
                            std::to_string(options_.bounds.chunkBusyLimit.count()) +
                            " ms after chunk " + std::to_string(index));
        // Sleep what the device asks for, bounded; never less than 1 ms so a device
        // announcing 0 while busy cannot make us spin.
        const milliseconds wait = std::clamp(milliseconds(status.pollMs), milliseconds(1),
                                             options_.bounds.maxPollSleep);
        if (!sleepUnlessCancelled(wait))
            return fail(HIDDFU_ERR_UPGRADE, "transfer cancelled");
    }
}

std::int32_t Engine::waitManifestation() {
    const auto start = Clock::now();
    Status status;
    for (;;) {
        const IoResult r = getStatus(status);
        if (!r.ok())
            return fail(HIDDFU_ERR_UPGRADE, describe("status during manifestation", r));
        switch (status.state) {
        case dfuIDLE:
        case dfuMANIFEST_WAIT_RESET:
            return HIDDFU_OK;
        case dfuERROR:
            if (status.status == errFIRMWARE || status.status == errVERIFY)
                return fail(HIDDFU_ERR_FIRMWARE, "device rejected the written image (" +
                                                     std::string(statusName(status.status)) + ")");
            return fail(HIDDFU_ERR_UPGRADE, std::string("manifestation failed (") +
                                         statusName(status.status) + ")");
        case dfuDNLOAD_SYNC:
        case dfuDNBUSY:
        case dfuDNLOAD_IDLE:
        case dfuMANIFEST_SYNC:
        case dfuMANIFEST:
            break;
        default:
            return fail(HIDDFU_ERR_UPGRADE, std::string("unexpected state ") +
                                                stateName(status.state) + " during manifestation");
        }
        if (Clock::now() - start >= options_.bounds.manifestLimit)
            return fail(HIDDFU_ERR_UPGRADE,
                        "manifestation not finished after " +
                            std::to_string(options_.bounds.manifestLimit.count()) + " ms");
        const milliseconds wait = std::clamp(milliseconds(status.pollMs), milliseconds(1),
                                             options_.bounds.maxPollSleep);
        if (!sleepUnlessCancelled(wait))
            return fail(HIDDFU_ERR_UPGRADE, "transfer cancelled during manifestation");
    }
}

std::int32_t Engine::transfer(const DfuImage& image) {
    Status status;
    IoResult r = getStatus(status);
    if (!r.ok())
        return fail(HIDDFU_ERR_UPGRADE, describe("status before the download", r));
    // A device left busy by a cancelled session must finish that first.
    const auto settleStart = Clock::now();
    while (status.state == dfuDNBUSY || status.state == dfuDNLOAD_SYNC ||
           status.state == dfuMANIFEST_SYNC || status.state == dfuMANIFEST) {
        if (Clock::now() - settleStart >= options_.bounds.manifestLimit)
            return fail(HIDDFU_ERR_UPGRADE, std::string("device stays in ") +
                                                stateName(status.state) + " before the download");
        const milliseconds wait = std::clamp(milliseconds(status.pollMs), milliseconds(1),
                                             options_.bounds.maxPollSleep);
        if (!sleepUnlessCancelled(wait))
            return fail(HIDDFU_ERR_UPGRADE, "transfer cancelled");
        r = getStatus(status);
        if (!r.ok())
            return fail(HIDDFU_ERR_UPGRADE, describe("status before the download", r));
    }
    const std::int32_t cleared = leaveErrorState(status, "before the download");
    if (cleared != HIDDFU_OK)
        return cleared;

    const std::vector<std::uint8_t>& payload = image.payload;
    const std::size_t chunks = (payload.size() + kMaxChunkPayload - 1) / kMaxChunkPayload;
    if (chunks >= 0xFFFF)
        return fail(HIDDFU_ERR_FILE_INVALID, "image too large for 16-bit chunk indices");
    std::uint8_t report[HIDDFU_COMMAND_REPORT_SIZE];
    auto prepare = [&report](std::size_t index, const std::uint8_t* data, std::size_t length) {
        std::fill(std::begin(report), std::end(report), 0);
        report[0] = HIDDFU_COMMAND_REPORT_ID;
        report[1] = kCommandUpgradeData;
        report[kCommandIndexOffset] = index & 0xFF;
        report[kCommandIndexOffset + 1] = (index >> 8) & 0xFF;
        report[kCommandLengthOffset] = length & 0xFF;
        report[kCommandLengthOffset + 1] = (length >> 8) & 0xFF;
        std::copy(data, data + length, report + kCommandPayloadOffset);
    };

    for (std::size_t index = 0; index < chunks; ++index) {
        if (cancelled())
            return fail(HIDDFU_ERR_UPGRADE, "transfer cancelled");
        const std::size_t offset = index * kMaxChunkPayload;
        const std::size_t length = std::min(kMaxChunkPayload, payload.size() - offset);
        prepare(index, payload.data() + offset, length);
        r = transport_->sendFeature(report, sizeof report);
        if (!r.ok())
            return fail(HIDDFU_ERR_UPGRADE, describe("chunk " + std::to_string(index) + " of " +
                                                         std::to_string(chunks) + " refused",
                                                     r));
        const std::int32_t busy = waitWhileBusy(index, chunks, status);
        if (busy != HIDDFU_OK)
            return busy;
        if (status.state != dfuDNLOAD_IDLE && status.state != dfuIDLE)
            return fail(HIDDFU_ERR_UPGRADE, "chunk " + std::to_string(index) + " of " +
                                         std::to_string(chunks) + " failed: device in " +
                                         stateName(status.state) + " (" +
                                         statusName(status.status) + ")");
        progress_ = static_cast<std::int32_t>((index + 1) * 99 / chunks);
    }

    if (cancelled())
        return fail(HIDDFU_ERR_UPGRADE, "transfer cancelled");
    prepare(chunks, nullptr, 0);
    r = transport_->sendFeature(report, sizeof report);
    if (!r.ok())
        return fail(HIDDFU_ERR_UPGRADE, describe("end-of-download report refused", r));
    return waitManifestation();
}

std::int32_t Engine::reset() {
    std::lock_guard<std::mutex> api(apiMutex_);
    if (!connected_)
        return fail(HIDDFU_ERR_SEQUENCE, "reset before a successful connect");
    Phase phase;
    std::int32_t transferCode;
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        phase = phase_;
        transferCode = transferCode_;
    }
    if (phase == Phase::Running)
        return fail(HIDDFU_ERR_BUSY, "reset refused: a transfer is running");
    if (phase == Phase::Failed)
        return fail(transferCode, "no reset: the upgrade failed or was refused");
    joinWorker();

    // After a successful transfer, or with none since the device was opened (a
    // plain restart). A device that restarts before acknowledging makes the send
    // fail: when it has left the bus, it did what we asked.
    const IoResult r = sendControl(kControlReset);
    if (r.ok() || r.kind == IoResult::Gone || transport_->waitGone(options_.bounds.resetGoneWait)) {
        closeTransport();
        return HIDDFU_OK;
    }
    return fail(HIDDFU_ERR_RESET, describe("reset report refused", r));
}

std::int32_t Engine::close() {
    std::lock_guard<std::mutex> api(apiMutex_);
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        cancel_ = true;
    }
    wake_.notify_all();
    joinWorker();
    closeTransport();
    {
        std::lock_guard<std::mutex> lock(stateMutex_);
        phase_ = Phase::Idle;
        cancel_ = false;
        transferCode_ = 0;
    }
    progress_ = 0;
    return HIDDFU_OK;
}

} // namespace hiddfu

#include "Worker.h"

namespace cli {
namespace {

QString lastError(hidDfuDevice* device) {
    char text[512];
    hidDfuDeviceLastError(device, text, sizeof text);
    return printable(QString::fromUtf8(text));
}

} // namespace

Worker::Worker(Speaker speaker, QString file, QObject* parent)
    : QObject(parent), speaker_(std::move(speaker)), file_(std::move(file)) {}

Worker::~Worker() {
    stop();
    if (thread_.joinable())
        thread_.join();
}

void Worker::start() {
    thread_ = std::thread(&Worker::run, this);
}

void Worker::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
}

bool Worker::pause() {
    // The library's progress is a plain read; 20 looks a second follow it closely enough.
    std::unique_lock<std::mutex> lock(mutex_);
    return !wake_.wait_for(lock, std::chrono::milliseconds(50), [this] { return stop_; });
}

void Worker::run() {
    hidDfuDevice* device = nullptr;
    int32_t code = hidDfuOpen(speaker_.path.toUtf8().constData(), &device);
    if (code != HIDDFU_OK) {
        emit finished(NotOpened, code, lastError(nullptr));
        return;
    }
    {
        // A signal during the open: the speaker is left as it was, not half written.
        std::lock_guard<std::mutex> lock(mutex_);
        if (stop_) {
            hidDfuClose(device);
            emit finished(Stopped, HIDDFU_ERR_UPGRADE, QStringLiteral("stopped"));
            return;
        }
    }
    QString error; // a fresh handle has none until something fails
    if (!file_.isEmpty()) {
        code = hidDfuDeviceUpgrade(device, argumentBytes(file_).constData(), 0);
        int percent = -1;
        while (code == HIDDFU_OK && percent < 100) {
            const int now = hidDfuDeviceGetProgress(device);
            if (now < 0)
                break; // cannot happen on an open handle; never spin on it
            if (now != percent)
                emit progressed(percent = now);
            if (percent < 100 && !pause()) {
                hidDfuClose(device); // cancels the transfer and waits for it
                emit finished(Stopped, HIDDFU_ERR_UPGRADE, QStringLiteral("stopped"));
                return;
            }
        }
        error = lastError(device);
    }
    // After a failed transfer the reset sends nothing and returns its code.
    if (error.isEmpty())
        emit restarting();
    code = hidDfuDeviceReset(device);
    if (code != HIDDFU_OK && error.isEmpty())
        error = lastError(device);
    hidDfuClose(device);
    const Outcome done = file_.isEmpty() ? Restarted : Updated;
    emit finished(code == HIDDFU_OK ? done : Failed, code, code == HIDDFU_OK ? QString() : error);
}

} // namespace cli

#include "UnifiedHidAPI.h"
#include "HidDfuLibrary.h"

namespace {

// Where a failure is recorded. Support and saved recordings know each by the path and the
// number printed with it, so these stay as they are, whatever this file's layout.
struct ErrorSite {
    EHidDufError code;
    int line;
    const char* function;
};
constexpr ErrorSite kConnectFailed{HIDDFU_ERR_CONNECT, 11, "ConnectDevice"};
constexpr ErrorSite kDisconnectFailed{HIDDFU_ERR_UNKNOWN, 21, "DisconnectDevice"};
constexpr ErrorSite kUpgradeFailed{HIDDFU_ERR_UPGRADE, 31, "Upgrade"};
constexpr ErrorSite kResetFailed{HIDDFU_ERR_RESET, 51, "resetDevice"};

void record(CHidDfuErrorMsg& error, const ErrorSite& site, const QString& details = QString()) {
    error.setError(site.code, QStringLiteral("HidDfu/Win/UnifiedHidAPI"), site.line,
                   QLatin1String(site.function), details);
}

} // namespace

UnifiedHidAPI* UnifiedHidAPI::instance = nullptr;

UnifiedHidAPI* UnifiedHidAPI::getInstance() {
    return instance ? instance : (instance = new UnifiedHidAPI);
}

void UnifiedHidAPI::releaseInstance() {
    delete instance;
    instance = nullptr;
}

int UnifiedHidAPI::ConnectDevice(quint16 vendorId, quint16 productId) {
    deviceCount = 0; // a library that does not tell leaves it at none
    const int status = HidDfuLibrary::connect(vendorId, productId, 0, 0, &deviceCount);
    if (status != 0)
        record(errorRecord, kConnectFailed,
               QStringLiteral("Cannot connect to device ") + QString::number(vendorId, 16) +
                   QLatin1Char('/') + QString::number(productId, 16));
    return status;
}

int UnifiedHidAPI::DisconnectDevice() {
    const int status = HidDfuLibrary::disconnect();
    if (status != 0)
        record(errorRecord, kDisconnectFailed, QStringLiteral("Cannot disconnect from device "));
    return status;
}

int UnifiedHidAPI::Upgrade(const QString& path, bool resetAfter) {
    const int status = HidDfuLibrary::upgrade(path.toUtf8().constData(), 0);
    if (status != 0) {
        record(errorRecord, kUpgradeFailed);
        return status;
    }
    return resetAfter ? resetDevice() : 0;
}

quint8 UnifiedHidAPI::getProgress() {
    return static_cast<quint8>(HidDfuLibrary::getProgress() & 0xFF);
}

// Not used by the update flow.
void UnifiedHidAPI::resetError() {
    errorRecord.code = 0;
    errorRecord.messageText = QStringLiteral("OK, reseted");
}

int UnifiedHidAPI::resetDevice() {
    const int status = HidDfuLibrary::resetDevice();
    if (status != 0)
        record(errorRecord, kResetFailed);
    return status;
}

#include "UnifiedHidAPI.h"
#include "HidDfuLibrary.h"
// clang-format off
// Recordings name this path and the line they stand on; the asserts keep them there.
static const QString kSource = QStringLiteral("HidDfu/Win/UnifiedHidAPI");
int UnifiedHidAPI::ConnectDevice(quint16 vendorId, quint16 productId) {
    deviceCount = 0; // a library that does not tell leaves it at none
    const int status = HidDfuLibrary::connect(vendorId, productId, 0, 0, &deviceCount);
    const QString details = QStringLiteral("Cannot connect to device ") + QString::number(vendorId, 16) + QLatin1Char('/') + QString::number(productId, 16);
    if (status != 0) {
        errorRecord.setError(-2, kSource, __LINE__, QStringLiteral("ConnectDevice"), details); static_assert(__LINE__ == 11, "recording line"); }
    return status;
}
UnifiedHidAPI* UnifiedHidAPI::instance = nullptr;
UnifiedHidAPI* UnifiedHidAPI::getInstance() {
    return instance ? instance : (instance = new UnifiedHidAPI);
}
int UnifiedHidAPI::DisconnectDevice() {
    const int status = HidDfuLibrary::disconnect();
    if (status != 0) {
        errorRecord.setError(-20, kSource, __LINE__, QStringLiteral("DisconnectDevice"), QStringLiteral("Cannot disconnect from device ")); static_assert(__LINE__ == 21, "recording line"); }
    return status;
}
int UnifiedHidAPI::Upgrade(const QString& path, bool resetAfter) {
    int status;
    {
        const QByteArray utf8Path = path.toUtf8();
        status = HidDfuLibrary::upgrade(utf8Path.constData(), 0);
    }
    if (status != 0) {
        errorRecord.setError(-8, kSource, __LINE__, QStringLiteral("Upgrade")); static_assert(__LINE__ == 31, "recording line");
        return status;
    }
    return resetAfter ? resetDevice() : 0;
}
void UnifiedHidAPI::releaseInstance() {
    delete instance;
    instance = nullptr;
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
    if (status != 0) {
        errorRecord.setError(-9, kSource, __LINE__, QStringLiteral("resetDevice")); static_assert(__LINE__ == 51, "recording line"); }
    return status;
}
// clang-format on

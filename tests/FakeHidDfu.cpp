#include "FakeHidDfu.h"

namespace {

FakeHidDfu current;

int32_t HIDDFU_CALL fakeConnect(uint16_t vendorId, uint16_t productId, uint16_t, uint16_t,
                                uint16_t* count) {
    current.connectCalls += 1;
    current.connectIds = {vendorId, productId};
    if (count)
        *count = current.connectStatus == 0 ? 1 : 0;
    return current.connectStatus;
}

int32_t HIDDFU_CALL fakeUpgrade(const char* fileName, int32_t) {
    current.upgradeCalls += 1;
    current.upgradePath = QByteArray(fileName);
    return current.upgradeStatus;
}

int32_t HIDDFU_CALL fakeGetProgress() {
    const int index = qMin(current.progressCalls, current.progress.size() - 1);
    current.progressCalls += 1;
    return current.progress.at(index);
}

int32_t HIDDFU_CALL fakeResetDevice() {
    current.resetCalls += 1;
    return current.resetStatus;
}

int32_t HIDDFU_CALL fakeDisconnect() {
    current.disconnectCalls += 1;
    return current.disconnectStatus;
}

const HidDfuFunctions fakeFunctions = [] {
    HidDfuFunctions f;
    f.connect = fakeConnect;
    f.upgrade = fakeUpgrade;
    f.getProgress = fakeGetProgress;
    f.resetDevice = fakeResetDevice;
    f.disconnect = fakeDisconnect;
    return f;
}();

} // namespace

FakeHidDfu& FakeHidDfu::script() {
    return current;
}

FakeHidDfu& FakeHidDfu::install() {
    current = FakeHidDfu();
    HidDfuLibrary::installForTesting(&fakeFunctions);
    return current;
}

void FakeHidDfu::uninstall() {
    HidDfuLibrary::installForTesting(nullptr);
}

#pragma once

#include "CHidDfuErrorMsg.h"

#include <QString>
#include <QtGlobal>

// The one object through which the update flow drives the speaker.
class UnifiedHidAPI {
public:
    static UnifiedHidAPI* getInstance();
    static void releaseInstance();

    virtual ~UnifiedHidAPI() = default;

    int ConnectDevice(quint16 vendorId, quint16 productId);
    int DisconnectDevice();
    int Upgrade(const QString& path, bool resetAfter);
    int resetDevice();
    quint8 getProgress();

    bool isInError() const { return errorRecord.code != 0; }
    // Matching speakers the library saw at the last ConnectDevice; it refuses two or more.
    quint16 devicesFound() const { return deviceCount; }
    void resetError();

    CHidDfuErrorMsg errorRecord;

private:
    UnifiedHidAPI() = default;
    quint16 deviceCount = 0;
    static UnifiedHidAPI* instance;
};

#pragma once

// A scripted stand-in for the five HID DFU functions, installed through the
// binding's test seam. Every call is recorded.
#include "HidDfuLibrary.h"

#include <QByteArray>
#include <QList>

struct FakeHidDfu {
    int connectStatus = 0;
    int upgradeStatus = 0;
    int resetStatus = 0;
    int disconnectStatus = 0;
    // Successive readings of hidDfuGetProgress; the last one repeats.
    QList<int> progress{0};

    int connectCalls = 0;
    int upgradeCalls = 0;
    int progressCalls = 0;
    int resetCalls = 0;
    int disconnectCalls = 0;
    QByteArray upgradePath;
    QList<quint16> connectIds;

    static FakeHidDfu& script();
    // Resets the script and installs the fake in place of the library.
    static FakeHidDfu& install();
    static void uninstall();
};

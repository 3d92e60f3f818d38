#pragma once

#include <QString>

class QWidget;

// Vets a firmware file picked by the user before it replaces the one to be written.
class ChosenFirmware {
public:
    // A regular file, told from its metadata alone: opening a named pipe
    // waits for a writer, and opening a device node may act on the device.
    static bool isAcceptable(const QString& path);
    // Tells the user why path was refused and that the previous firmware stays.
    static void refuse(QWidget* parent, const QString& path);
};

#include "DfuV027_20170313.h"

#include "FirmwareImage.h"

DfuV027_20170313::DfuV027_20170313()
    : AbstractDataClass(kFirmwareImage, kFirmwareImageSize, QString::fromUtf8(kFirmwareVersion)) {}

QString DfuV027_20170313::name() const {
    return QString::fromUtf8(kFirmwareFileName);
}

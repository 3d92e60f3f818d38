#pragma once

// The firmware image compiled into the updater, generated at build time.
extern const unsigned char kFirmwareImage[];
extern const long long kFirmwareImageSize;
extern const char kFirmwareVersion[];
extern const char kFirmwareFileName[];

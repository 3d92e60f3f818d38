#include "CHidDfuErrorMsg.h"

#include "HidDfuFacts.h"

#include <QMap>
#include <QMutexLocker>

#include <cstdio>

namespace {

const QMap<EHidDufError, QString> errorTexts = {
    {HIDDFU_OK, QStringLiteral("No error, no message (0)")},
    {HIDDFU_ERR_SEQUENCE,
     QStringLiteral("Invalid sequence (hidDfuConnect must be called first) (-1)")},
    {HIDDFU_ERR_CONNECT, QStringLiteral("Failed to connect to device (-2)")},
    {HIDDFU_ERR_OPEN_FILE, QStringLiteral("Failed to open file (-3)")},
    {HIDDFU_ERR_WRITE_FILE, QStringLiteral("Failed to write to file (-4)")},
    {HIDDFU_ERR_FILE_INVALID, QStringLiteral("File format is invalid (-5)")},
    {HIDDFU_ERR_FILE_CRC, QStringLiteral("File CRC is incorrect (-6)")},
    {HIDDFU_ERR_FILE_READ, QStringLiteral("File read failed (-7)")},
    {HIDDFU_ERR_UPGRADE, QStringLiteral("Upgrade failed (-8)")},
    {HIDDFU_ERR_RESET, QStringLiteral("Device reset failed (-9)")},
    {HIDDFU_ERR_NO_MEMORY, QStringLiteral("Out of memory (-10)")},
    {HIDDFU_ERR_INVALID_PARAM, QStringLiteral("Invalid parameter (-11)")},
    {HIDDFU_ERR_DRIVER, QStringLiteral("Driver operation failed (-12)")},
    {HIDDFU_ERR_START, QStringLiteral("Operation failed to start (-13)")},
    {HIDDFU_ERR_BUSY, QStringLiteral("Busy, operation in progress (-14)")},
    {HIDDFU_ERR_CLEAR_STATUS, QStringLiteral("Failed to clear device status (-15)")},
    {HIDDFU_ERR_FIRMWARE, QStringLiteral("Device firmware is corrupted (-16)")},
    {HIDDFU_ERR_UNKNOWN, QStringLiteral("Unknown error (-20)")},
};

} // namespace

QString CHidDfuErrorMsg::codeToString(EHidDufError code) {
    const auto it = errorTexts.constFind(code);
    if (it != errorTexts.constEnd())
        return it.value();
    return QStringLiteral("Unknown EHidDufError value : ") + QString::number(code);
}

EHidDufError CHidDfuErrorMsg::setError(EHidDufError code, const QString& file, int line,
                                       const QString& function, const QString& details) {
    const QString where = file + QLatin1Char(':') + QString::number(line) +
                          QStringLiteral(":(") + function + QStringLiteral("):");
    if (details.isEmpty())
        return record(code, where + codeToString(code));
    return record(code, where + details + QStringLiteral(" [") + codeToString(code) +
                            QLatin1Char(']'));
}

EHidDufError CHidDfuErrorMsg::record(EHidDufError newCode, const QString& text) {
    QMutexLocker lock(&mutex);
    code = newCode;
    messageText = text;
    if (newCode != 0) {
        std::fprintf(stdout, "[[HID error]] %s\n", text.toUtf8().constData());
        std::fflush(stdout);
    }
    return newCode;
}

QString CHidDfuErrorMsg::message() {
    QMutexLocker lock(&mutex);
    return messageText;
}

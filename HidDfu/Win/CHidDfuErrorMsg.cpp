#include "CHidDfuErrorMsg.h"

#include <QMap>
#include <QMutexLocker>

#include <cstdio>

namespace {

const QMap<EHidDufError, QString> errorTexts = {
    {0, QStringLiteral("No error, no message (0)")},
    {-1, QStringLiteral("Invalid sequence (hidDfuConnect must be called first) (-1)")},
    {-2, QStringLiteral("Failed to connect to device (-2)")},
    {-3, QStringLiteral("Failed to open file (-3)")},
    {-4, QStringLiteral("Failed to write to file (-4)")},
    {-5, QStringLiteral("File format is invalid (-5)")},
    {-6, QStringLiteral("File CRC is incorrect (-6)")},
    {-7, QStringLiteral("File read failed (-7)")},
    {-8, QStringLiteral("Upgrade failed (-8)")},
    {-9, QStringLiteral("Device reset failed (-9)")},
    {-10, QStringLiteral("Out of memory (-10)")},
    {-11, QStringLiteral("Invalid parameter (-11)")},
    {-12, QStringLiteral("Driver operation failed (-12)")},
    {-13, QStringLiteral("Operation failed to start (-13)")},
    {-14, QStringLiteral("Busy, operation in progress (-14)")},
    {-15, QStringLiteral("Failed to clear device status (-15)")},
    {-16, QStringLiteral("Device firmware is corrupted (-16)")},
    {-20, QStringLiteral("Unknown error (-20)")},
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

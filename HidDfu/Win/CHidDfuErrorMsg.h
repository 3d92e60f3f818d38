#pragma once

#include <QMutex>
#include <QString>
#include <QtGlobal>

// Status of the HID DFU library: 0 for success, negative for a failure.
typedef qint32 EHidDufError;

// The last failure recorded by the device access layer.
class CHidDfuErrorMsg {
public:
    CHidDfuErrorMsg() = default;
    virtual ~CHidDfuErrorMsg() = default;

    static QString codeToString(EHidDufError code);

    // "file:line:(function):" then the details and the code's text in brackets, or that text.
    EHidDufError setError(EHidDufError code, const QString& file, int line,
                          const QString& function, const QString& details = QString());
    QString message();

    EHidDufError code = 0;
    QString messageText;
    QMutex mutex;

private:
    EHidDufError record(EHidDufError code, const QString& text);
};

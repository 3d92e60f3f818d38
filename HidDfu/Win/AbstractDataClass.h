#pragma once

#include <QString>
#include <QTemporaryFile>
#include <QtGlobal>

// A block of constant bytes that can be written to a temporary file.
class AbstractDataClass {
public:
    AbstractDataClass(const uchar* data, qint64 size, const QString& version);

    virtual QString name() const = 0;

    bool writeToTempFile();
    QString tempFileName() const;

    const uchar* data;
    qint64 size;
    QString version;
    QTemporaryFile tempFile;

protected:
    // Owners hold the block by value and destroy it as its concrete type.
    ~AbstractDataClass() = default;
};

#pragma once

#include <QString>
#include <QTemporaryFile>
#include <QtGlobal>

// A block of constant bytes that can be written to a temporary file.
class AbstractDataClass {
public:
    AbstractDataClass(const uchar* data, qint64 size, const QString& version);

    virtual QString name() const = 0;

    // Removes the images that earlier runs left behind (a run killed outright), then writes
    // this one, locked for as long as the block lives so that later runs leave it alone.
    bool writeToTempFile();
    QString tempFileName() const;
    // Files named "<prefix>XXXXXX" in the folder, ours, not empty, and locked by no one.
    static int removeStaleTempFiles(const QString& folder, const QString& prefix);

    const uchar* data;
    qint64 size;
    QString version;
    QTemporaryFile tempFile;

protected:
    // Owners hold the block by value and destroy it as its concrete type.
    ~AbstractDataClass();

private:
    int lockFd = -1; // holds the temporary file's lock
};

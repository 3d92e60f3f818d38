#include "AbstractDataClass.h"

#include <QDir>

AbstractDataClass::AbstractDataClass(const uchar* data, qint64 size, const QString& version)
    : data(data), size(size), version(version) {}

bool AbstractDataClass::writeToTempFile() {
    // Qt answers an empty path when the temporary directory does not exist;
    // the file would then land in the root directory (writable for root).
    const QString tempDir = QDir::tempPath();
    if (tempDir.isEmpty())
        return false;
    tempFile.setFileTemplate(tempDir + QDir::separator() +
                             QStringLiteral("Kerno_Tindal2-Mise_a_jour-") + name() +
                             QStringLiteral("-XXXXXX"));
    if (!tempFile.open())
        return false;
    if (tempFile.write(reinterpret_cast<const char*>(data), size) != size)
        return false;
    // A full disk may only show when the buffered bytes reach it.
    if (!tempFile.flush())
        return false;
    tempFile.close();
    return true;
}

QString AbstractDataClass::tempFileName() const {
    return tempFile.fileName();
}

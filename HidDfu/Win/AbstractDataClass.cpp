#include "AbstractDataClass.h"

#include <QDir>

AbstractDataClass::AbstractDataClass(const uchar* data, qint64 size, const QString& version)
    : data(data), size(size), version(version) {}

bool AbstractDataClass::writeToTempFile() {
    tempFile.setFileTemplate(QDir::tempPath() + QDir::separator() +
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

#include "PlaceholderImage.h"

#include "DfuFile.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>

bool PlaceholderImage::matches(const uchar* data, qint64 size) {
    // The mark lies in the header: the library's own test on those bytes.
    hiddfu::DfuImage head;
    head.payload.assign(data, data + std::clamp<qint64>(size, 0, hiddfu::kCsrHeaderSize));
    return head.isPlaceholder();
}

bool PlaceholderImage::matchesFile(const QString& path) {
    // Only a regular file is opened: a named pipe would hold the window.
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.read(hiddfu::kCsrHeaderSize);
    return matches(reinterpret_cast<const uchar*>(head.constData()), head.size());
}

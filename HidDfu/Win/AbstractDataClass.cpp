#include "AbstractDataClass.h"

#include <QDir>

#ifdef Q_OS_LINUX
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

// The block is read once, to be written out: its pages (for the embedded image, pages of
// the executable) need not stay in the process's memory after that. A hint only: the
// bytes stay readable.
void releasePages(const uchar* data, qint64 size) {
#if defined(Q_OS_LINUX) && defined(MADV_PAGEOUT)
    const quintptr page = quintptr(sysconf(_SC_PAGESIZE));
    const quintptr begin = (quintptr(data) + page - 1) & ~(page - 1);
    const quintptr end = (quintptr(data) + quintptr(size)) & ~(page - 1);
    if (end > begin)
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_PAGEOUT);
#else
    Q_UNUSED(data);
    Q_UNUSED(size);
#endif
}

} // namespace

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
    releasePages(data, size);
    return true;
}

QString AbstractDataClass::tempFileName() const {
    return tempFile.fileName();
}

#include "AbstractDataClass.h"

#include <QDir>

#ifdef Q_OS_LINUX
#include <sys/mman.h>
#endif
#ifdef Q_OS_UNIX
#include <QRegularExpression>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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

AbstractDataClass::~AbstractDataClass() {
#ifdef Q_OS_UNIX
    if (lockFd >= 0)
        ::close(lockFd);
#endif
}

int AbstractDataClass::removeStaleTempFiles(const QString& folder, const QString& prefix) {
    int removed = 0;
#ifdef Q_OS_UNIX
    const QRegularExpression ours(QStringLiteral("^") + QRegularExpression::escape(prefix) +
                                  QStringLiteral("[A-Za-z0-9]{6}$"));
    for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        if (!ours.match(name).hasMatch())
            continue;
        const QByteArray path = QFile::encodeName(folder + QLatin1Char('/') + name);
        struct stat seen {};
        // An empty one may belong to a run that has created it and not locked it yet.
        if (::lstat(path.constData(), &seen) != 0 || !S_ISREG(seen.st_mode) ||
            seen.st_uid != ::geteuid() || seen.st_size == 0)
            continue;
        const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat opened {};
        if (fd >= 0 && ::fstat(fd, &opened) == 0 && opened.st_ino == seen.st_ino &&
            opened.st_dev == seen.st_dev && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
            removed += ::unlink(path.constData()) == 0;
        if (fd >= 0)
            ::close(fd);
    }
#else
    Q_UNUSED(folder);
    Q_UNUSED(prefix);
#endif
    return removed;
}

bool AbstractDataClass::writeToTempFile() {
    // Qt answers an empty path when the temporary directory does not exist;
    // the file would then land in the root directory (writable for root).
    const QString tempDir = QDir::tempPath();
    if (tempDir.isEmpty())
        return false;
    const QString prefix = QStringLiteral("Kerno_Tindal2-Mise_a_jour-") + name() + QLatin1Char('-');
    removeStaleTempFiles(tempDir, prefix);
    tempFile.setFileTemplate(tempDir + QDir::separator() + prefix + QStringLiteral("XXXXXX"));
    if (!tempFile.open())
        return false;
#ifdef Q_OS_UNIX
    // Locked before its first byte: a file with bytes and no lock is an earlier run's.
    lockFd = ::fcntl(tempFile.handle(), F_DUPFD_CLOEXEC, 0);
    if (lockFd >= 0)
        ::flock(lockFd, LOCK_EX);
#endif
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

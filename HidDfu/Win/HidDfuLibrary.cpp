#include "HidDfuLibrary.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLibrary>

#ifdef Q_OS_UNIX
#include <dlfcn.h>
#endif

namespace {

HidDfuFunctions loaded;
const QLibrary* loadedLibrary = nullptr;
const HidDfuFunctions* testFunctions = nullptr;
bool loadTried = false;
QString loadError;

bool resolveFrom(QLibrary& library) {
    if (!library.load()) {
        loadError = library.errorString();
        return false;
    }
    HidDfuFunctions f;
    f.connect = reinterpret_cast<hidDfuConnect_t>(library.resolve("hidDfuConnect"));
    f.upgrade = reinterpret_cast<hidDfuUpgrade_t>(library.resolve("hidDfuUpgrade"));
    f.getProgress = reinterpret_cast<hidDfuGetProgress_t>(library.resolve("hidDfuGetProgress"));
    f.resetDevice = reinterpret_cast<hidDfuResetDevice_t>(library.resolve("hidDfuResetDevice"));
    f.disconnect = reinterpret_cast<hidDfuDisconnect_t>(library.resolve("hidDfuDisconnect"));
    if (!f.connect || !f.upgrade || !f.getProgress || !f.resetDevice || !f.disconnect) {
        loadError = QStringLiteral("%1 lacks a HID DFU function").arg(library.fileName());
        library.unload();
        return false;
    }
    f.virtualSpeaker =
        reinterpret_cast<hidDfuVirtualSpeaker_t>(library.resolve("hidDfuVirtualSpeaker"));
    loaded = f;
    loadedLibrary = &library;
    loadError.clear();
    return true;
}

const HidDfuFunctions* active() {
    if (testFunctions)
        return testFunctions;
    if (!loadTried)
        HidDfuLibrary::load();
    return loaded.connect ? &loaded : nullptr;
}

} // namespace

bool HidDfuLibrary::load() {
    if (loadTried)
        return loaded.connect != nullptr;
    loadTried = true;
    // The platform's search first; then, with an application to tell where it lies, beside the
    // executable (a build tree) and in the package's private folder, found from the executable
    // so that a relocated install works as well.
    QStringList names{QStringLiteral("HidDfu")};
    if (QCoreApplication::instance()) {
        const QDir executableDir(QCoreApplication::applicationDirPath());
        names << executableDir.filePath(QStringLiteral("HidDfu"))
              << executableDir.filePath(QStringLiteral(KERNO_PRIVATE_LIBRARY_DIR "/HidDfu"));
    }
    // The library stays loaded until the process ends: its transfer thread may
    // still be running when the dialog goes away.
    static QLibrary candidates[3];
    QStringList errors;
    for (int i = 0; i < names.size(); ++i) {
        candidates[i].setFileName(names.at(i));
        if (resolveFrom(candidates[i]))
            return true;
        errors << loadError;
    }
    loadError = errors.join(QStringLiteral("; "));
    return false;
}

QString HidDfuLibrary::errorString() {
    return loadError;
}

QString HidDfuLibrary::fileName() {
    if (!loadedLibrary)
        return QString();
#ifdef Q_OS_UNIX
    // A library found by the platform's search knows only its bare name.
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(loaded.connect), &info) && info.dli_fname)
        return QFileInfo(QFile::decodeName(info.dli_fname)).absoluteFilePath();
#endif
    return loadedLibrary->fileName();
}

void HidDfuLibrary::installForTesting(const HidDfuFunctions* functions) {
    testFunctions = functions;
}

int32_t HidDfuLibrary::connect(uint16_t vendorId, uint16_t productId, uint16_t usagePage,
                               uint16_t usage, uint16_t* deviceCount) {
    const HidDfuFunctions* f = active();
    return f ? f->connect(vendorId, productId, usagePage, usage, deviceCount) : HIDDFU_ERR_UNKNOWN;
}

int32_t HidDfuLibrary::upgrade(const char* fileName, int32_t options) {
    const HidDfuFunctions* f = active();
    return f ? f->upgrade(fileName, options) : HIDDFU_ERR_UNKNOWN;
}

int32_t HidDfuLibrary::getProgress() {
    const HidDfuFunctions* f = active();
    return f ? f->getProgress() : 0;
}

int32_t HidDfuLibrary::resetDevice() {
    const HidDfuFunctions* f = active();
    return f ? f->resetDevice() : HIDDFU_ERR_UNKNOWN;
}

int32_t HidDfuLibrary::disconnect() {
    const HidDfuFunctions* f = active();
    return f ? f->disconnect() : HIDDFU_ERR_UNKNOWN;
}

bool HidDfuLibrary::isVirtualSpeaker() {
    const HidDfuFunctions* f = active();
    return f && f->virtualSpeaker && f->virtualSpeaker() == 1;
}

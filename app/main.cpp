#include "FirmwareImage.h"
#include "HidDfuDllInitFailedDlg.h"
#include "HidDfuLibrary.h"
#include "KernoTindalUpdateDlg.h"
#include "SignalWatcher.h"
#include "Startup.h"
#include "SupportLog.h"

#include <QApplication>

#include <csignal>
#include <cstdio>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {
// Exit status when no HID DFU library can be loaded (documented in the README).
constexpr int kExitNoHidDfuLibrary = 2;
} // namespace

int main(int argc, char* argv[]) {
#ifdef __GLIBC__
    // Pictures of a megabyte or two come and go with the pages. Mapped each on its own,
    // they go back to the system when freed, instead of leaving holes in the heap that
    // keep the process as large as its largest page ever was.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
#ifdef SIGPIPE
    // Output whose reader has gone (a closed pipe) must fail quietly, not end a transfer.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    // Before any thread or window: its copier is forked from here.
    SupportLog supportLog(QString::fromUtf8(kFirmwareVersion),
                          QString::fromUtf8(kFirmwareFileName));
    Startup::enableHighDpi();
    QApplication app(argc, argv);
    Startup::speakFrench();
    // First in, last out: no signal cuts the dialog's clean-up short. Ending the event loop
    // also ends any box open then, which no one may be there to answer.
    SignalWatcher signalWatcher;
    KernoTindalUpdateDlg* running = nullptr;
    QObject::connect(&signalWatcher, &SignalWatcher::signalled, [&running](int number) {
        QCoreApplication::exit(running ? running->stopOnSignal(number) : 0);
    });
    // Without the library the updater could only wait for a speaker for ever.
    const bool loaded = HidDfuLibrary::load();
    SupportLog::note(QStringLiteral("library: ") +
                     (loaded ? HidDfuLibrary::fileName()
                             : QStringLiteral("none loaded: ") + HidDfuLibrary::errorString()));
    if (!loaded) {
        std::fprintf(stderr, "No HID DFU library could be loaded: %s\n",
                     qUtf8Printable(HidDfuLibrary::errorString()));
        HidDfuDllInitFailedDlg failedDlg(nullptr);
        failedDlg.exec();
        SupportLog::outcome(QStringLiteral("no HID DFU library"));
        return kExitNoHidDfuLibrary;
    }
    // Said here so that the support log tells where the session went.
    if (const QByteArray record = qgetenv("KERNO_DFU_RECORD"); !record.isEmpty())
        std::fprintf(stderr, "KERNO_DFU_RECORD: the HID DFU library records the session to %s\n",
                     record.constData());
    int result;
    {
        KernoTindalUpdateDlg dialog;
        running = &dialog;
        dialog.show();
        result = app.exec();
        running = nullptr;
    }
    return result;
}

#include "HidDfuDllInitFailedDlg.h"
#include "HidDfuLibrary.h"
#include "KernoTindalUpdateDlg.h"

#include <QApplication>

#include <cstdio>

namespace {
// Exit status when no HID DFU library can be loaded (documented in the README).
constexpr int kExitNoHidDfuLibrary = 2;
} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    // Without the library the updater could only wait for a speaker for ever.
    if (!HidDfuLibrary::load()) {
        std::fprintf(stderr, "No HID DFU library could be loaded: %s\n",
                     qUtf8Printable(HidDfuLibrary::errorString()));
        HidDfuDllInitFailedDlg failedDlg(nullptr);
        failedDlg.exec();
        return kExitNoHidDfuLibrary;
    }
    int result;
    {
        KernoTindalUpdateDlg dialog;
        dialog.show();
        result = app.exec();
    }
    return result;
}

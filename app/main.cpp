#include "KernoTindalUpdateDlg.h"

#include <QApplication>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    int result;
    {
        KernoTindalUpdateDlg dialog;
        dialog.show();
        result = app.exec();
    }
    return result;
}

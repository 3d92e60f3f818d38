#include "HidDfuDllInitFailedDlg.h"
#include "ui_HidDfuDllInitFailedDlg.h"

#include <QDesktopServices>

namespace {
const char kDownloadSite[] = "https://www.kerno-audio.example/";
} // namespace

HidDfuDllInitFailedDlg::HidDfuDllInitFailedDlg(QWidget* parent)
    : QDialog(parent), ui(new Ui::HidDfuDllInitFailedDlg) {
    ui->setupUi(this);
    setWindowTitle(tr("Erreur d'initialisation"));
}

HidDfuDllInitFailedDlg::~HidDfuDllInitFailedDlg() {
    delete ui;
}

QUrl HidDfuDllInitFailedDlg::downloadSiteUrl() {
    return QUrl(QString::fromLatin1(kDownloadSite), QUrl::TolerantMode);
}

void HidDfuDllInitFailedDlg::on_commandLinkButton_clicked() {
    // Whether a browser opened or not, the dialog stays up for another try.
    QDesktopServices::openUrl(downloadSiteUrl());
}

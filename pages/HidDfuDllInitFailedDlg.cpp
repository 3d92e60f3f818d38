#include "HidDfuDllInitFailedDlg.h"
#include "ui_HidDfuDllInitFailedDlg.h"

#include "KernoAccessible.h"
#include "KernoWebSite.h"

#include <QDesktopServices>

HidDfuDllInitFailedDlg::HidDfuDllInitFailedDlg(QWidget* parent)
    : QDialog(parent), ui(new Ui::HidDfuDllInitFailedDlg) {
    installKernoAccessibility();
    ui->setupUi(this);
    ui->commandLinkButton->setAccessibleDescription(downloadSiteUrl().toString());
    setWindowTitle(tr("Erreur d'initialisation"));
}

HidDfuDllInitFailedDlg::~HidDfuDllInitFailedDlg() {
    delete ui;
}

QUrl HidDfuDllInitFailedDlg::downloadSiteUrl() {
    return QUrl(QLatin1String(kKernoWebSite) + QLatin1Char('/'), QUrl::TolerantMode);
}

void HidDfuDllInitFailedDlg::on_commandLinkButton_clicked() {
    // Whether a browser opened or not, the dialog stays up for another try.
    QDesktopServices::openUrl(downloadSiteUrl());
}

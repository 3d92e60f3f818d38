#pragma once

#include <QDialog>
#include <QUrl>

namespace Ui {
class HidDfuDllInitFailedDlg;
}

// Shown when no HID DFU library can be loaded: apologises and points the user
// to the download site.
class HidDfuDllInitFailedDlg : public QDialog {
    Q_OBJECT
public:
    explicit HidDfuDllInitFailedDlg(QWidget* parent);
    ~HidDfuDllInitFailedDlg() override;

    // The home page that the command link opens.
    static QUrl downloadSiteUrl();

private slots:
    void on_commandLinkButton_clicked();

private:
    Ui::HidDfuDllInitFailedDlg* ui;
};

#pragma once

#include "ProxySettings.h"
#include "StackPageWidget.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QString>
#include <QUrl>

class QTemporaryFile;
class QTimer;

namespace Ui {
class PageDownloadLatestDfuForm;
}

// Fetches the latest firmware image over HTTPS and keeps it in a temporary file once the DFU
// file reader accepts it.
class PageDownloadLatestDfuForm : public StackPageWidget {
    Q_OBJECT
public:
    // proxySettings must outlive the page; it is read again at each startDownload().
    PageDownloadLatestDfuForm(const ProxySettings* proxySettings, QWidget* parent);
    ~PageDownloadLatestDfuForm() override;

    // A download that receives nothing for this long fails: a server that accepts and never
    // answers, or sends a byte now and then, would otherwise hold the page for ever.
    static constexpr int kSilenceLimitMs = 30000;
    void setSilenceLimit(int ms) { silenceLimitMs = ms; }

    QUrl downloadUrl() const { return url; }
    // Points the page at another server (a mirror, a local test server).
    void setDownloadUrl(const QUrl& address);

signals:
    void progress(int percents);
    void downloadFailed();
    void downloadSuccess(QString dfuFileName);

public slots:
    void reset() override;
    void startDownload();
    void doneWithTempFile();

protected slots:
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void downloadFinished(QNetworkReply* pReply);
    void networkError(QNetworkReply::NetworkError);

private:
    void receive();
    void checkRedirect(const QUrl& target);
    QTemporaryFile* keep(QNetworkReply* pReply);
    bool store(QTemporaryFile* part);

    Ui::PageDownloadLatestDfuForm* ui;
    QUrl url;
    QNetworkRequest request;
    QNetworkAccessManager* manager;
    QPointer<QNetworkReply> reply;
    QTemporaryFile* tempFile;
    const ProxySettings* proxySettings;
    QTimer* silence;
    int silenceLimitMs = kSilenceLimitMs;
};

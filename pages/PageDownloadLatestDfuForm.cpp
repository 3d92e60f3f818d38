#include "PageDownloadLatestDfuForm.h"
#include "ui_PageDownloadLatestDfuForm.h"

#include "KernoWebSite.h"

#include <QDir>
#include <QTemporaryFile>

namespace {

const char kLatestDfuPath[] = "/KernoTindal2LastUpdate.dfu";

// Marks a reply whose failure was already announced: one failed download, one downloadFailed().
const char kFailureAnnounced[] = "kernoFailureAnnounced";

// Without automatic redirects a 3xx finishes without error, carrying a page and not the image.
bool isSuccessStatus(const QNetworkReply* pReply) {
    const QVariant status = pReply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return true;
    const int code = status.toInt();
    return code >= 200 && code < 300;
}

// The network layer retries a connection cut short and may then finish without an error and
// without the whole body.
bool isComplete(QNetworkReply* pReply) {
    const QVariant length = pReply->header(QNetworkRequest::ContentLengthHeader);
    return !length.isValid() || length.toLongLong() == pReply->bytesAvailable();
}

} // namespace

PageDownloadLatestDfuForm::PageDownloadLatestDfuForm(const ProxySettings* proxySettings,
                                                     QWidget* parent)
    : StackPageWidget(parent), ui(new Ui::PageDownloadLatestDfuForm),
      url(QLatin1String(kKernoWebSite) + QLatin1String(kLatestDfuPath), QUrl::TolerantMode),
      request(url),
      manager(new QNetworkAccessManager(this)), reply(nullptr), tempFileName(), tempFile(nullptr),
      proxySettings(proxySettings) {
    ui->setupUi(this);
    connect(manager, &QNetworkAccessManager::finished, this,
            &PageDownloadLatestDfuForm::downloadFinished);
}

PageDownloadLatestDfuForm::~PageDownloadLatestDfuForm() {
    // Replies still running die with the manager after this body: they must not call back.
    manager->disconnect(this);
    const auto running = manager->findChildren<QNetworkReply*>();
    for (QNetworkReply* r : running)
        r->disconnect(this);
    doneWithTempFile();
    delete ui;
}

void PageDownloadLatestDfuForm::setDownloadUrl(const QUrl& address) {
    url = address;
    request = QNetworkRequest(url);
}

void PageDownloadLatestDfuForm::reset() {}

void PageDownloadLatestDfuForm::startDownload() {
    if (proxySettings && proxySettings->enabled) {
        QNetworkProxy proxy(proxySettings->type, proxySettings->hostName, proxySettings->port);
        if (proxySettings->authenticate) {
            proxy.setUser(proxySettings->user);
            proxy.setPassword(proxySettings->password);
        }
        manager->setProxy(proxy);
    } else {
        // Back to the application default, so a proxy that was switched off is no longer used.
        manager->setProxy(QNetworkProxy(QNetworkProxy::DefaultProxy));
    }

    reply = manager->get(request);
    connect(reply, &QNetworkReply::downloadProgress, this,
            &PageDownloadLatestDfuForm::downloadProgress);
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
    connect(reply, &QNetworkReply::errorOccurred, this, &PageDownloadLatestDfuForm::networkError);
#else
    connect(reply, QOverload<QNetworkReply::NetworkError>::of(&QNetworkReply::error), this,
            &PageDownloadLatestDfuForm::networkError);
#endif
}

void PageDownloadLatestDfuForm::doneWithTempFile() {
    if (tempFile) {
        delete tempFile; // removes the file from the disk
        tempFile = nullptr;
    }
}

void PageDownloadLatestDfuForm::downloadProgress(qint64 bytesReceived, qint64 bytesTotal) {
    // -1 is a size the server did not announce, 0 an empty body: no percentage to tell.
    if (bytesTotal <= 0)
        return;
    const double percents = double(bytesReceived) * 100.0 / double(bytesTotal);
    emit progress(static_cast<int>(qBound(0.0, percents, 100.0)));
}

void PageDownloadLatestDfuForm::networkError(QNetworkReply::NetworkError) {
    if (QObject* failed = sender()) {
        if (failed->property(kFailureAnnounced).toBool())
            return;
        failed->setProperty(kFailureAnnounced, true);
    }
    emit downloadFailed();
}

void PageDownloadLatestDfuForm::downloadFinished(QNetworkReply* pReply) {
    pReply->deleteLater();
    if (pReply->error() != QNetworkReply::NoError) {
        // Normally announced by networkError() already; an error reply is never stored.
        if (!pReply->property(kFailureAnnounced).toBool()) {
            pReply->setProperty(kFailureAnnounced, true);
            emit downloadFailed();
        }
        return;
    }
    if (!isSuccessStatus(pReply) || !isComplete(pReply)) {
        emit downloadFailed();
        return;
    }
    store(pReply);
}

void PageDownloadLatestDfuForm::store(QNetworkReply* pReply) {
    // A newer image replaces the one held; the older file must not stay behind on disk.
    doneWithTempFile();

    // An unusable temporary directory comes back empty: never fall back to the filesystem root.
    const QString tempDir = QDir::tempPath();
    tempFileName = tempDir + QDir::separator() + QStringLiteral("KernoTindal2-MiseAJour.dfu");
    if (tempDir.isEmpty()) {
        emit downloadFailed();
        return;
    }
    tempFile = new QTemporaryFile(tempFileName);
    if (!tempFile->open()) {
        doneWithTempFile();
        emit downloadFailed();
        return;
    }

    const QByteArray data = pReply->readAll();
    // Small writes sit in the file's buffer: a full disk shows only when it is flushed.
    const bool written = tempFile->write(data) == data.size() && tempFile->flush();
    tempFile->close();
    if (!written || tempFile->error() != QFileDevice::NoError) {
        // A truncated image must never be handed on as firmware.
        doneWithTempFile();
        emit downloadFailed();
        return;
    }
    emit downloadSuccess(tempFile->fileName());
}

#include "PageDownloadLatestDfuForm.h"
#include "ui_PageDownloadLatestDfuForm.h"

#include "DfuFile.h"
#include "KernoWebSite.h"

#include <QDir>
#include <QHostAddress>
#include <QTemporaryFile>
#include <QTimer>

namespace {

const char kLatestDfuPath[] = "/KernoTindal2LastUpdate.dfu";

// The DFU file reader refuses anything larger: no use receiving more.
constexpr qint64 kMaxReplySize = qint64(hiddfu::kMaxDfuFileSize);

// Received into "<name>.XXXXXX.part", renamed without ".part" once checked.
const char kPartSuffix[] = ".part";

// Marks a reply whose failure was already announced: one failed download, one downloadFailed().
const char kFailureAnnounced[] = "kernoFailureAnnounced";

// https anywhere; plain http only to this machine (tests, a local mirror).
bool isAllowedSource(const QUrl& address) {
    if (address.scheme() == QLatin1String("https"))
        return true;
    const QString host = address.host();
    return address.scheme() == QLatin1String("http") &&
           (host == QLatin1String("localhost") || QHostAddress(host).isLoopback());
}

// Without a followed redirect a 3xx finishes without error, carrying a page and not the image.
bool isSuccessStatus(const QNetworkReply* pReply) {
    const QVariant status = pReply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return true;
    const int code = status.toInt();
    return code >= 200 && code < 300;
}

// The network layer retries a connection cut short and may then finish without an error and
// without the whole body.
bool isComplete(const QNetworkReply* pReply, qint64 received) {
    const QVariant length = pReply->header(QNetworkRequest::ContentLengthHeader);
    return !length.isValid() || length.toLongLong() == received;
}

} // namespace

PageDownloadLatestDfuForm::PageDownloadLatestDfuForm(const ProxySettings* proxySettings,
                                                     QWidget* parent)
    : StackPageWidget(parent), ui(new Ui::PageDownloadLatestDfuForm),
      url(QLatin1String(kKernoWebSite) + QLatin1String(kLatestDfuPath), QUrl::TolerantMode),
      request(url), manager(new QNetworkAccessManager(this)), reply(nullptr), tempFile(nullptr),
      proxySettings(proxySettings), silence(new QTimer(this)) {
    setDownloadUrl(url);
    ui->setupUi(this);
    silence->setSingleShot(true);
    connect(silence, &QTimer::timeout, this, [this] {
        if (reply)
            reply->abort(); // told as any failed download
    });
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
#if QT_VERSION >= QT_VERSION_CHECK(5, 9, 0)
    // Each redirect is looked at (checkRedirect); before 5.9 none is followed.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
#endif
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

    if (!isAllowedSource(url)) {
        emit downloadFailed();
        return;
    }
    reply = manager->get(request);
    silence->start(silenceLimitMs);
    const auto heard = [this] { silence->start(silenceLimitMs); };
    connect(reply, &QNetworkReply::metaDataChanged, silence, heard);
    connect(reply, &QNetworkReply::readyRead, silence, heard);
    connect(reply, &QNetworkReply::downloadProgress, this,
            &PageDownloadLatestDfuForm::downloadProgress);
    connect(reply, &QNetworkReply::readyRead, this, &PageDownloadLatestDfuForm::receive);
    connect(reply, &QNetworkReply::redirected, this, &PageDownloadLatestDfuForm::checkRedirect);
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

void PageDownloadLatestDfuForm::checkRedirect(const QUrl& target) {
    auto* pReply = qobject_cast<QNetworkReply*>(sender());
    if (!pReply)
        return;
#if QT_VERSION >= QT_VERSION_CHECK(5, 9, 0)
    if (isAllowedSource(target)) {
        emit pReply->redirectAllowed();
        return;
    }
#else
    Q_UNUSED(target);
#endif
    pReply->abort();
}

void PageDownloadLatestDfuForm::receive() {
    // A reply larger than any image, or one the disk cannot hold, is not worth receiving.
    auto* pReply = qobject_cast<QNetworkReply*>(sender());
    if (pReply && !keep(pReply))
        pReply->abort();
}

QTemporaryFile* PageDownloadLatestDfuForm::keep(QNetworkReply* pReply) {
    // The reply's own part file goes with the reply unless it is stored.
    auto* part = pReply->findChild<QTemporaryFile*>();
    if (!part) {
        // An unusable temporary directory comes back empty: never fall back to the root.
        const QString tempDir = QDir::tempPath();
        if (tempDir.isEmpty())
            return nullptr;
        part = new QTemporaryFile(tempDir + QDir::separator() +
                                      QStringLiteral("KernoTindal2-MiseAJour.dfu.XXXXXX") +
                                      QLatin1String(kPartSuffix),
                                  pReply);
        if (!part->open())
            return nullptr;
    }
    const QByteArray data = pReply->readAll();
    if (part->pos() + data.size() > kMaxReplySize || part->write(data) != data.size())
        return nullptr;
    return part;
}

void PageDownloadLatestDfuForm::downloadFinished(QNetworkReply* pReply) {
    pReply->deleteLater();
    if (pReply == reply)
        silence->stop();
    if (pReply->error() != QNetworkReply::NoError) {
        // Normally announced by networkError() already; an error reply is never stored.
        if (!pReply->property(kFailureAnnounced).toBool()) {
            pReply->setProperty(kFailureAnnounced, true);
            emit downloadFailed();
        }
        return;
    }
    QTemporaryFile* part = isSuccessStatus(pReply) ? keep(pReply) : nullptr;
    if (!part || !isComplete(pReply, part->pos()) || !store(part)) {
        emit downloadFailed();
        return;
    }
    emit downloadSuccess(tempFile->fileName());
}

bool PageDownloadLatestDfuForm::store(QTemporaryFile* part) {
    // Small writes sit in the file's buffer: a full disk shows only when it is flushed.
    if (!part->flush())
        return false;
    // The checks an upgrade would make (suffix, CRC, device), before anyone is told.
    hiddfu::DfuImage image;
    if (hiddfu::readDfuFile(QFile::encodeName(part->fileName()).toStdString(), image).code != 0)
        return false;
    QString finalName = part->fileName();
    finalName.chop(int(sizeof kPartSuffix - 1));
    if (!part->rename(finalName))
        return false;
    // Only now does it replace the image held: a failed download never costs a good one.
    doneWithTempFile();
    part->setParent(this);
    tempFile = part;
    return true;
}

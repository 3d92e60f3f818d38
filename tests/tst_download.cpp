// The latest-firmware download page against a real HTTP server and a real HTTP proxy,
// both listening on 127.0.0.1 inside this test process.

#include "PageDownloadLatestDfuForm.h"

#include <QDir>
#include <QFile>
#include <QHash>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <memory>
#include <sys/resource.h>

namespace {

const QString kPath = QStringLiteral("/KernoTindal2LastUpdate.dfu");
const QString kStem = QStringLiteral("KernoTindal2-MiseAJour.dfu");

QByteArray imageBytes(int size) {
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 x = 0x2545F491u;
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = char(x & 0xFF);
    }
    return bytes;
}

// Reads one request head from a socket's buffer; empty until the blank line has arrived.
QByteArray takeHead(QByteArray& buffer) {
    const int end = buffer.indexOf("\r\n\r\n");
    if (end < 0)
        return {};
    const QByteArray head = buffer.left(end);
    buffer.remove(0, end + 4);
    return head;
}

QByteArray headerValue(const QByteArray& head, const QByteArray& name) {
    const QList<QByteArray> lines = head.split('\n');
    for (const QByteArray& line : lines) {
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == name.toLower())
            return line.mid(colon + 1).trimmed();
    }
    return {};
}

// Origin server. Each path has a canned answer; every answer closes the connection.
class HttpServer : public QTcpServer {
public:
    struct Answer {
        int status = 200;
        QByteArray body;
        QByteArray extraHeaders;
        bool chunked = false; // no Content-Length: the size is unknown to the client
        int holdAt = -1;      // send this many body bytes, then wait for release()
        int truncateAt = -1;  // send this many body bytes, then hang up
        // Answer late, like a slow server. The network layer reports progress at most every
        // 100 ms from the request's start, so data that comes sooner shows no percentage.
        int delayMs = 0;
    };

    HttpServer() { QVERIFY(listen(QHostAddress::LocalHost)); }

    QUrl url(const QString& path) const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(serverPort()).arg(path));
    }
    void answer(const QString& path, const Answer& a) { answers.insert(path.toLatin1(), a); }

    void release() {
        for (const auto& rest : held) {
            if (rest.first) {
                rest.first->write(rest.second);
                rest.first->disconnectFromHost();
            }
        }
        held.clear();
    }

    QList<QByteArray> requestLines;

protected:
    void incomingConnection(qintptr fd) override {
        auto* socket = new QTcpSocket(this);
        socket->setSocketDescriptor(fd);
        auto buffer = std::make_shared<QByteArray>();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
            buffer->append(socket->readAll());
            const QByteArray head = takeHead(*buffer);
            if (head.isEmpty())
                return;
            const int delay = answerFor(head).delayMs;
            if (delay > 0)
                QTimer::singleShot(delay, socket, [this, socket, head] { respond(socket, head); });
            else
                respond(socket, head);
        });
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }

private:
    Answer answerFor(const QByteArray& head) const {
        const QByteArray path = head.left(head.indexOf("\r\n")).split(' ').value(1);
        if (answers.contains(path))
            return answers.value(path);
        Answer notFound;
        notFound.status = 404;
        notFound.body = "<html>not here</html>";
        return notFound;
    }

    void respond(QTcpSocket* socket, const QByteArray& head) {
        requestLines << head.left(head.indexOf("\r\n"));
        const Answer a = answerFor(head);
        QByteArray out = "HTTP/1.1 " + QByteArray::number(a.status) + " Canned\r\n";
        out += "Connection: close\r\n" + a.extraHeaders;
        if (a.chunked) {
            out += "Transfer-Encoding: chunked\r\n\r\n";
            for (int at = 0; at < a.body.size(); at += 1000) {
                const QByteArray piece = a.body.mid(at, 1000);
                out += QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n";
            }
            out += "0\r\n\r\n";
            socket->write(out);
            socket->disconnectFromHost();
            return;
        }
        out += "Content-Length: " + QByteArray::number(a.body.size()) + "\r\n\r\n";
        if (a.holdAt >= 0) {
            socket->write(out + a.body.left(a.holdAt));
            held.append({socket, a.body.mid(a.holdAt)});
        } else if (a.truncateAt >= 0) {
            socket->write(out + a.body.left(a.truncateAt));
            socket->disconnectFromHost();
        } else {
            socket->write(out + a.body);
            socket->disconnectFromHost();
        }
    }

    QHash<QByteArray, Answer> answers;
    QList<QPair<QPointer<QTcpSocket>, QByteArray>> held;
};

// Forwarding HTTP proxy for plain http URLs on 127.0.0.1, with optional Basic authentication.
class HttpProxy : public QTcpServer {
public:
    HttpProxy() { QVERIFY(listen(QHostAddress::LocalHost)); }

    QByteArray requiredCredentials; // "user:password"; empty accepts everyone
    QList<QByteArray> requestLines;
    QList<QByteArray> authorizations;
    int challenges = 0;

protected:
    void incomingConnection(qintptr fd) override {
        auto* client = new QTcpSocket(this);
        client->setSocketDescriptor(fd);
        auto buffer = std::make_shared<QByteArray>();
        QObject::connect(client, &QTcpSocket::readyRead, client, [this, client, buffer] {
            buffer->append(client->readAll());
            // Bounded: at most a few heads arrive on one connection.
            for (int i = 0; i < 8; ++i) {
                const QByteArray head = takeHead(*buffer);
                if (head.isEmpty() || !handle(client, head))
                    return;
            }
        });
        QObject::connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
    }

private:
    // Returns false once the connection has become a tunnel to the origin.
    bool handle(QTcpSocket* client, const QByteArray& head) {
        const QByteArray line = head.left(head.indexOf("\r\n"));
        requestLines << line;
        const QByteArray auth = headerValue(head, "Proxy-Authorization");
        authorizations << auth;
        if (!requiredCredentials.isEmpty() && auth != "Basic " + requiredCredentials.toBase64()) {
            ++challenges;
            client->write("HTTP/1.1 407 Proxy Authentication Required\r\n"
                          "Proxy-Authenticate: Basic realm=\"kerno\"\r\n"
                          "Content-Length: 0\r\n\r\n");
            return true;
        }
        const QUrl target(QString::fromLatin1(line.split(' ').value(1)));
        if (target.host() != QLatin1String("127.0.0.1")) {
            client->write("HTTP/1.1 502 Loopback Only\r\nContent-Length: 0\r\n"
                          "Connection: close\r\n\r\n");
            client->disconnectFromHost();
            return false;
        }
        auto* upstream = new QTcpSocket(client);
        QObject::connect(upstream, &QTcpSocket::connected, upstream, [upstream, target] {
            upstream->write("GET " + target.path().toLatin1() + " HTTP/1.1\r\nHost: " +
                            target.authority().toLatin1() + "\r\nConnection: close\r\n\r\n");
        });
        QObject::connect(upstream, &QTcpSocket::readyRead, upstream,
                         [upstream, client] { client->write(upstream->readAll()); });
        QObject::connect(upstream, &QTcpSocket::disconnected, client,
                         [client] { client->disconnectFromHost(); });
        upstream->connectToHost(QHostAddress::LocalHost, quint16(target.port()));
        return false;
    }
};

// Signals of one page, with the manager's finished() to know the page has dealt with a reply.
struct Watch {
    explicit Watch(PageDownloadLatestDfuForm& page)
        : progress(&page, &PageDownloadLatestDfuForm::progress),
          failed(&page, &PageDownloadLatestDfuForm::downloadFailed),
          success(&page, &PageDownloadLatestDfuForm::downloadSuccess),
          finished(page.findChild<QNetworkAccessManager*>(), &QNetworkAccessManager::finished) {}

    bool waitFinished(int count = 1) {
        for (int i = 0; i < 50 && finished.count() < count; ++i)
            finished.wait(200);
        return finished.count() == count;
    }
    QList<int> percents() const {
        QList<int> out;
        for (const auto& args : progress)
            out << args.at(0).toInt();
        return out;
    }
    QString storedName() const {
        return success.isEmpty() ? QString() : success.last().at(0).toString();
    }

    QSignalSpy progress, failed, success, finished;
};

// Starts a download and waits until the page has dealt with its reply.
std::unique_ptr<Watch> fetch(PageDownloadLatestDfuForm& page) {
    auto w = std::make_unique<Watch>(page);
    page.startDownload();
    w->waitFinished();
    return w;
}

// A lower file-size limit for this process, so writes past it fail with EFBIG.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &previous);
        rlimit lowered = previous;
        lowered.rlim_cur = bytes;
        active = setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &previous);
        std::signal(SIGXFSZ, previousHandler);
    }
    bool active = false;

private:
    rlimit previous{};
    void (*previousHandler)(int) = nullptr;
};

} // namespace

class TestDownload : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void downloadAddress();
    void percentages_data();
    void percentages();
    void progressDuringRealDownload_data();
    void progressDuringRealDownload();
    void sizeUnknownOrEmptyGivesNoPercentage();
    void fullDownloadStoresWhatTheServerSent();
    void failedRepliesAreNeverStored_data();
    void failedRepliesAreNeverStored();
    void proxyRouting();
    void proxyAuthentication();
    void tempFileLifetime();
    void secondDownloadReleasesTheFirstFile();
    void destroyedWhileDownloading();
    void unwritableTemporaryDirectory();
    void shortWriteIsAFailure_data();
    void shortWriteIsAFailure();

private:
    QStringList filesOnDisk() const {
        return QDir(tmp->path()).entryList(QDir::Files | QDir::Hidden | QDir::System);
    }
    QString expectedTemplate() const { return tmp->path() + QLatin1Char('/') + kStem; }

    QByteArray originalTmpDir;
    std::unique_ptr<QTemporaryDir> tmp;
    ProxySettings direct;
};

void TestDownload::initTestCase() {
    qRegisterMetaType<QNetworkReply*>();
    originalTmpDir = qgetenv("TMPDIR");
}

void TestDownload::init() {
    tmp.reset(new QTemporaryDir);
    QVERIFY(tmp->isValid());
    qputenv("TMPDIR", QFile::encodeName(tmp->path()));
}

void TestDownload::cleanup() {
    if (originalTmpDir.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", originalTmpDir);
    tmp.reset();
}

void TestDownload::downloadAddress() {
    PageDownloadLatestDfuForm page(&direct, nullptr);
    const QUrl url = page.downloadUrl();
    QVERIFY(url.isValid());
    QCOMPARE(url.scheme(), QStringLiteral("https"));
    QVERIFY(!url.host().isEmpty());
    QCOMPARE(url.path(), kPath);
}

void TestDownload::percentages_data() {
    QTest::addColumn<qint64>("received");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<QList<int>>("emitted");
    QTest::newRow("half") << qint64(512) << qint64(1024) << QList<int>{50};
    QTest::newRow("truncated, not rounded") << qint64(1023) << qint64(1024) << QList<int>{99};
    QTest::newRow("complete") << qint64(1024) << qint64(1024) << QList<int>{100};
    QTest::newRow("nothing yet") << qint64(0) << qint64(1024) << QList<int>{0};
    QTest::newRow("beyond 32 bits")
        << qint64(3000000000LL) << qint64(4000000000LL) << QList<int>{75};
    QTest::newRow("size not announced") << qint64(700) << qint64(-1) << QList<int>{};
    QTest::newRow("empty body") << qint64(0) << qint64(0) << QList<int>{};
    QTest::newRow("bytes against a zero size") << qint64(10) << qint64(0) << QList<int>{};
}

void TestDownload::percentages() {
    QFETCH(qint64, received);
    QFETCH(qint64, total);
    QFETCH(QList<int>, emitted);
    PageDownloadLatestDfuForm page(&direct, nullptr);
    Watch w(page);
    QVERIFY(QMetaObject::invokeMethod(&page, "downloadProgress", Q_ARG(qint64, received),
                                      Q_ARG(qint64, total)));
    QCOMPARE(w.percents(), emitted);
}

void TestDownload::progressDuringRealDownload_data() {
    QTest::addColumn<int>("heldAt");
    QTest::addColumn<int>("percent");
    QTest::newRow("512 of 1024") << 512 << 50;
    QTest::newRow("1023 of 1024") << 1023 << 99;
}

void TestDownload::progressDuringRealDownload() {
    QFETCH(int, heldAt);
    QFETCH(int, percent);
    HttpServer server;
    HttpServer::Answer a;
    a.body = imageBytes(1024);
    a.holdAt = heldAt;
    a.delayMs = 150;
    server.answer(kPath, a);
    PageDownloadLatestDfuForm page(&direct, nullptr);
    page.setDownloadUrl(server.url(kPath));
    Watch w(page);
    page.startDownload();
    QTRY_VERIFY_WITH_TIMEOUT(w.percents().contains(percent), 10000);
    QVERIFY(w.success.isEmpty());
    server.release();
    QVERIFY(w.waitFinished());
    QCOMPARE(w.success.count(), 1);
    QCOMPARE(w.percents().last(), 100);
}

void TestDownload::sizeUnknownOrEmptyGivesNoPercentage() {
    HttpServer server;
    HttpServer::Answer unknown;
    unknown.body = imageBytes(5000);
    unknown.chunked = true;
    server.answer(QStringLiteral("/chunked.dfu"), unknown);
    server.answer(QStringLiteral("/empty.dfu"), HttpServer::Answer());

    PageDownloadLatestDfuForm page(&direct, nullptr);
    page.setDownloadUrl(server.url(QStringLiteral("/chunked.dfu")));
    {
        const auto w = fetch(page);
        QVERIFY(w->finished.count() == 1);
        QCOMPARE(w->success.count(), 1);
        // While the size is unknown no percentage can be told; the end is 100 at most.
        for (int p : w->percents())
            QCOMPARE(p, 100);
        QFile stored(w->storedName());
        QVERIFY(stored.open(QIODevice::ReadOnly));
        QCOMPARE(stored.readAll(), unknown.body);
    }
    page.setDownloadUrl(server.url(QStringLiteral("/empty.dfu")));
    {
        const auto w = fetch(page);
        QVERIFY(w->finished.count() == 1);
        QCOMPARE(w->percents(), QList<int>());
        QCOMPARE(w->success.count(), 1);
        QCOMPARE(QFileInfo(w->storedName()).size(), qint64(0));
    }
}

void TestDownload::fullDownloadStoresWhatTheServerSent() {
    HttpServer server;
    HttpServer::Answer a;
    a.body = imageBytes(300 * 1024);
    server.answer(kPath, a);
    PageDownloadLatestDfuForm page(&direct, nullptr);
    page.setDownloadUrl(server.url(kPath));
    const auto w = fetch(page);
    QVERIFY(w->finished.count() == 1);
    QCOMPARE(w->failed.count(), 0);
    QCOMPARE(w->success.count(), 1);
    QCOMPARE(server.requestLines, QList<QByteArray>{"GET " + kPath.toLatin1() + " HTTP/1.1"});

    const QString name = w->storedName();
    QVERIFY2(name.startsWith(expectedTemplate()), qPrintable(name));
    QVERIFY(name.size() > expectedTemplate().size());
    QFile stored(name);
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QCOMPARE(stored.readAll(), a.body);
    QCOMPARE(filesOnDisk(), QStringList{QFileInfo(name).fileName()});

    const QList<int> percents = w->percents();
    QVERIFY(!percents.isEmpty());
    QCOMPARE(percents.last(), 100);
    for (int i = 1; i < percents.size(); ++i)
        QVERIFY(percents.at(i - 1) <= percents.at(i));
}

void TestDownload::failedRepliesAreNeverStored_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("not found") << "not found";
    QTest::newRow("server error") << "server error";
    QTest::newRow("redirect") << "redirect";
    QTest::newRow("cut short") << "cut short";
    QTest::newRow("connection refused") << "connection refused";
}

void TestDownload::failedRepliesAreNeverStored() {
    QFETCH(QString, kind);
    HttpServer server;
    QUrl url = server.url(kPath);
    HttpServer::Answer a;
    a.body = imageBytes(1000);
    if (kind == QLatin1String("server error")) {
        a.status = 500;
        server.answer(kPath, a);
    } else if (kind == QLatin1String("redirect")) {
        a.status = 302;
        a.body = "<html>moved</html>";
        a.extraHeaders =
            "Location: " + server.url(QStringLiteral("/elsewhere.dfu")).toEncoded() + "\r\n";
        server.answer(kPath, a);
        server.answer(QStringLiteral("/elsewhere.dfu"), HttpServer::Answer());
    } else if (kind == QLatin1String("cut short")) {
        a.truncateAt = 400;
        server.answer(kPath, a);
    } else if (kind == QLatin1String("connection refused")) {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        url.setPort(probe.serverPort());
        probe.close();
    }
    PageDownloadLatestDfuForm page(&direct, nullptr);
    page.setDownloadUrl(url);
    const auto w = fetch(page);
    QVERIFY(w->finished.count() == 1);
    QCOMPARE(w->failed.count(), 1);
    QCOMPARE(w->success.count(), 0);
    QCOMPARE(filesOnDisk(), QStringList());
}

void TestDownload::proxyRouting() {
    HttpServer server;
    HttpServer::Answer a;
    a.body = imageBytes(20000);
    server.answer(kPath, a);
    HttpProxy proxy;
    ProxySettings settings;
    settings.hostName = QStringLiteral("127.0.0.1");
    settings.port = proxy.serverPort();
    settings.type = QNetworkProxy::HttpProxy;

    PageDownloadLatestDfuForm page(&settings, nullptr);
    page.setDownloadUrl(server.url(kPath));
    {
        const auto w = fetch(page);
        QVERIFY(w->finished.count() == 1);
        QCOMPARE(w->success.count(), 1);
        QCOMPARE(proxy.requestLines, QList<QByteArray>());
        QCOMPARE(server.requestLines.size(), 1);
    }
    // The settings are read again at each start.
    settings.enabled = true;
    {
        const auto w = fetch(page);
        QVERIFY(w->finished.count() == 1);
        QCOMPARE(w->success.count(), 1);
        QCOMPARE(proxy.requestLines,
                 QList<QByteArray>{"GET " + server.url(kPath).toEncoded() + " HTTP/1.1"});
        QCOMPARE(proxy.authorizations, QList<QByteArray>{QByteArray()});
        QCOMPARE(server.requestLines.size(), 2);
        QFile stored(w->storedName());
        QVERIFY(stored.open(QIODevice::ReadOnly));
        QCOMPARE(stored.readAll(), a.body);
    }
    // Switched off again: straight to the server, the proxy sees nothing more.
    settings.enabled = false;
    {
        const auto w = fetch(page);
        QVERIFY(w->finished.count() == 1);
        QCOMPARE(w->success.count(), 1);
        QCOMPARE(proxy.requestLines.size(), 1);
        QCOMPARE(server.requestLines.size(), 3);
    }
}

void TestDownload::proxyAuthentication() {
    HttpServer server;
    HttpServer::Answer a;
    a.body = imageBytes(4096);
    server.answer(kPath, a);
    HttpProxy proxy;
    proxy.requiredCredentials = "atelier:m0t-de-passe";
    ProxySettings settings;
    settings.enabled = true;
    settings.hostName = QStringLiteral("127.0.0.1");
    settings.port = proxy.serverPort();
    settings.type = QNetworkProxy::HttpProxy;
    settings.authenticate = true;
    settings.user = QStringLiteral("atelier");
    settings.password = QStringLiteral("m0t-de-passe");
    {
        PageDownloadLatestDfuForm page(&settings, nullptr);
        page.setDownloadUrl(server.url(kPath));
        const auto w = fetch(page);
        QVERIFY(w->finished.count() == 1);
        QCOMPARE(w->failed.count(), 0);
        QCOMPARE(w->success.count(), 1);
        QCOMPARE(proxy.challenges, 1);
        QCOMPARE(proxy.authorizations.last(), "Basic " + proxy.requiredCredentials.toBase64());
        QCOMPARE(server.requestLines.size(), 1);
    }
    QCOMPARE(filesOnDisk(), QStringList());

    // Wrong password, then credentials filled in but not to be sent: refused, nothing stored.
    settings.password = QStringLiteral("faux");
    for (bool authenticate : {true, false}) {
        settings.authenticate = authenticate;
        const int seen = proxy.authorizations.size();
        PageDownloadLatestDfuForm page(&settings, nullptr);
        page.setDownloadUrl(server.url(kPath));
        const auto w = fetch(page);
        QVERIFY(w->finished.count() == 1);
        QCOMPARE(w->failed.count(), 1);
        QCOMPARE(w->success.count(), 0);
        QCOMPARE(filesOnDisk(), QStringList());
        QCOMPARE(server.requestLines.size(), 1);
        const QList<QByteArray> sent = proxy.authorizations.mid(seen);
        QVERIFY(!sent.isEmpty());
        if (!authenticate)
            QCOMPARE(sent, QList<QByteArray>{QByteArray()});
    }
}

void TestDownload::tempFileLifetime() {
    HttpServer server;
    HttpServer::Answer a;
    a.body = imageBytes(2048);
    server.answer(kPath, a);
    auto* page = new PageDownloadLatestDfuForm(&direct, nullptr);
    page->setDownloadUrl(server.url(kPath));

    QString name;
    {
        const auto w = fetch(*page);
        QVERIFY(w->finished.count() == 1);
        name = w->storedName();
    }
    QVERIFY(QFile::exists(name));
    page->doneWithTempFile();
    QVERIFY(!QFile::exists(name));
    page->doneWithTempFile();
    QCOMPARE(filesOnDisk(), QStringList());

    {
        const auto w = fetch(*page);
        QVERIFY(w->finished.count() == 1);
        name = w->storedName();
    }
    QVERIFY(QFile::exists(name));
    delete page;
    QVERIFY(!QFile::exists(name));
    QCOMPARE(filesOnDisk(), QStringList());
}

void TestDownload::secondDownloadReleasesTheFirstFile() {
    HttpServer server;
    HttpServer::Answer first, second;
    first.body = imageBytes(3000);
    second.body = imageBytes(5000).right(4000);
    server.answer(kPath, first);
    PageDownloadLatestDfuForm page(&direct, nullptr);
    page.setDownloadUrl(server.url(kPath));

    Watch w(page);
    page.startDownload();
    QVERIFY(w.waitFinished(1));
    server.answer(kPath, second);
    page.startDownload();
    QVERIFY(w.waitFinished(2));
    QCOMPARE(w.success.count(), 2);
    const QString older = w.success.at(0).at(0).toString();
    const QString newer = w.success.at(1).at(0).toString();
    QVERIFY(older != newer);
    QVERIFY(!QFile::exists(older));
    QFile stored(newer);
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QCOMPARE(stored.readAll(), second.body);
    QCOMPARE(filesOnDisk(), QStringList{QFileInfo(newer).fileName()});

    // Two downloads running at once: only the one stored last stays on disk.
    page.startDownload();
    page.startDownload();
    QVERIFY(w.waitFinished(4));
    QCOMPARE(w.success.count(), 4);
    QCOMPARE(filesOnDisk(), QStringList{QFileInfo(w.storedName()).fileName()});
}

void TestDownload::destroyedWhileDownloading() {
    HttpServer server;
    HttpServer::Answer a;
    a.body = imageBytes(5000);
    a.holdAt = 1000;
    a.delayMs = 150;
    server.answer(kPath, a);
    auto* page = new PageDownloadLatestDfuForm(&direct, nullptr);
    page->setDownloadUrl(server.url(kPath));
    QSignalSpy failed(page, &PageDownloadLatestDfuForm::downloadFailed);
    QSignalSpy stored(page, &PageDownloadLatestDfuForm::downloadSuccess);
    QSignalSpy progress(page, &PageDownloadLatestDfuForm::progress);
    page->startDownload();
    QVERIFY(progress.wait(10000));
    QPointer<QTcpSocket> connection = server.findChild<QTcpSocket*>();
    QVERIFY(connection);
    delete page;
    // The client side goes away with the page; the server sees the connection close.
    QTRY_VERIFY_WITH_TIMEOUT(!connection || connection->state() != QAbstractSocket::ConnectedState,
                             10000);
    QCOMPARE(failed.count(), 0);
    QCOMPARE(stored.count(), 0);
    QCOMPARE(filesOnDisk(), QStringList());
}

void TestDownload::unwritableTemporaryDirectory() {
    HttpServer server;
    HttpServer::Answer a;
    a.body = imageBytes(1500);
    server.answer(kPath, a);
    PageDownloadLatestDfuForm page(&direct, nullptr);
    page.setDownloadUrl(server.url(kPath));

    // A directory that does not exist, and a path that is a plain file.
    const QString missing = tmp->path() + QStringLiteral("/absent/deeper");
    const QString plainFile = tmp->path() + QStringLiteral("/not-a-directory");
    {
        QFile f(plainFile);
        QVERIFY(f.open(QIODevice::WriteOnly));
    }
    for (const QString& dir : {missing, plainFile}) {
        qputenv("TMPDIR", QFile::encodeName(dir));
        const auto w = fetch(page);
        QVERIFY(w->finished.count() == 1);
        QCOMPARE(w->failed.count(), 1);
        QCOMPARE(w->success.count(), 0);
        page.doneWithTempFile();
        page.doneWithTempFile();
    }
    QVERIFY(!QDir(missing).exists());
    QCOMPARE(filesOnDisk(), QStringList{QStringLiteral("not-a-directory")});
    // Nothing may land elsewhere instead, such as the filesystem root.
    QCOMPARE(
        QDir(QDir::rootPath()).entryList({kStem + QLatin1Char('*')}, QDir::Files | QDir::Hidden),
        QStringList());
    QVERIFY(QFile::remove(plainFile));

    // Once the directory is usable again, the same page stores the next download.
    qputenv("TMPDIR", QFile::encodeName(tmp->path()));
    const auto w = fetch(page);
    QVERIFY(w->finished.count() == 1);
    QCOMPARE(w->success.count(), 1);
    QCOMPARE(filesOnDisk().size(), 1);
}

void TestDownload::shortWriteIsAFailure_data() {
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("limit");
    QTest::newRow("large image, written straight to the file") << 256 * 1024 << 64 * 1024;
    QTest::newRow("small image, held in the file's buffer") << 3000 << 1000;
}

void TestDownload::shortWriteIsAFailure() {
    QFETCH(int, size);
    QFETCH(int, limit);
    HttpServer server;
    HttpServer::Answer a;
    a.body = imageBytes(size);
    server.answer(kPath, a);
    PageDownloadLatestDfuForm page(&direct, nullptr);
    page.setDownloadUrl(server.url(kPath));
    Watch w(page);
    {
        FileSizeLimit fileSizeLimit{rlim_t(limit)};
        QVERIFY(fileSizeLimit.active);
        page.startDownload();
        QVERIFY(w.waitFinished());
    }
    QCOMPARE(w.success.count(), 0);
    QCOMPARE(w.failed.count(), 1);
    // The partial file is not left behind.
    QCOMPARE(filesOnDisk(), QStringList());
}

QTEST_MAIN(TestDownload)
#include "tst_download.moc"

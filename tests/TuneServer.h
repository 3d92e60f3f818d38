#pragma once

// A loopback HTTP server in a thread of its own: a sound effect's destructor blocks the GUI
// thread until its download has ended. It sends the raw reply given for a path (none for an
// empty one) or else a short WAV, and closes the connection if the reply says so; asked for an
// absolute URL, it is a proxy for itself that wants the user "atelier" / "m0t-de-passe".
// With a pause, a reply goes out in pieces of the given size, one after each pause.

#include <QtNetwork>

class TuneServer {
public:
    explicit TuneServer(const QHash<QString, QByteArray>& answers = {}, int pauseMs = 0,
                        int piece = 0) {
        server->listen(QHostAddress::LocalHost);
        QObject::connect(server, &QTcpServer::newConnection, [=] {
            QTcpSocket* socket = server->nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, [=] {
                const QByteArray head = socket->readAll();
                const QString target = QString::fromLatin1(head.split(' ').value(1));
                QMutexLocker lock(&mutex);
                requested << target;
                static const QByteArray wav = QByteArray::fromHex( // 4 samples of silence
                    "524946462c00000057415645666d74201000000001000100401f0000803e0000"
                    "0200100064617461080000000000000000000000");
                QByteArray raw = answers.value(QUrl(target).path(), reply(200, wav));
                if (target.startsWith(QLatin1String("http:")) &&
                    !head.contains("Basic " + QByteArray("atelier:m0t-de-passe").toBase64()))
                    raw = reply(407, {}, "Proxy-Authenticate: Basic realm=\"kerno\"\r\n");
                send(socket, raw, pauseMs, piece ? piece : raw.size());
            });
        });
        server->moveToThread(&thread);
        thread.start();
    }
    ~TuneServer() { server->deleteLater(), thread.quit(), thread.wait(); }

    QUrl url(const QString& path) const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(server->serverPort()).arg(path));
    }
    // Request targets as they came; absolute URLs came through the proxy.
    QStringList paths() const { return QMutexLocker(&mutex), requested; }
    static QByteArray reply(int status, const QByteArray& body, const QByteArray& headers = {}) {
        return "HTTP/1.1 " + QByteArray::number(status) + " X\r\nConnection: close\r\n" + headers +
               "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    }

private:
    static void send(QTcpSocket* socket, const QByteArray& raw, int pauseMs, int piece) {
        socket->write(raw.left(piece));
        if (raw.size() > piece)
            QTimer::singleShot(pauseMs, socket,
                               [=] { send(socket, raw.mid(piece), pauseMs, piece); });
        else if (raw.contains("Connection: close"))
            socket->disconnectFromHost();
    }

    QTcpServer* server = new QTcpServer;
    QThread thread;
    QStringList requested;
    mutable QMutex mutex;
};

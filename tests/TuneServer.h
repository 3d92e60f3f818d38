#pragma once

// A loopback HTTP server that serves a short generated WAV and records the
// paths it was asked for. It runs in a thread of its own: the sound effect's
// destructor blocks the GUI thread until a pending download has finished.

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QUrl>
#include <QtEndian>

#include <cmath>

class TuneServer {
public:
    TuneServer() {
        context->moveToThread(&thread);
        thread.start();
        QMetaObject::invokeMethod(
            context,
            [this] {
                auto* server = new QTcpServer(context);
                server->listen(QHostAddress::LocalHost);
                port = server->serverPort();
                QObject::connect(server, &QTcpServer::newConnection, context, [this, server] {
                    while (QTcpSocket* socket = server->nextPendingConnection()) {
                        QObject::connect(socket, &QTcpSocket::disconnected, socket,
                                         &QObject::deleteLater);
                        QObject::connect(socket, &QTcpSocket::readyRead, context,
                                         [this, socket] { serve(socket); });
                    }
                });
            },
            Qt::BlockingQueuedConnection);
    }

    ~TuneServer() {
        context->deleteLater();
        thread.quit();
        thread.wait();
    }

    QUrl url(const QString& path) const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path));
    }

    QStringList paths() const {
        QMutexLocker lock(&mutex);
        return requested;
    }

    // 0.2 s of a 440 Hz tone, 8 kHz, 16-bit mono.
    static QByteArray wav() {
        const int samples = 1600;
        QByteArray data(samples * 2, Qt::Uninitialized);
        for (int i = 0; i < samples; ++i)
            qToLittleEndian<qint16>(qint16(8000 * std::sin(2 * M_PI * 440 * i / 8000.0)),
                                    data.data() + 2 * i);
        QByteArray out;
        auto u32 = [&out](quint32 v) { char b[4]; qToLittleEndian(v, b); out.append(b, 4); };
        auto u16 = [&out](quint16 v) { char b[2]; qToLittleEndian(v, b); out.append(b, 2); };
        out += "RIFF";
        u32(36 + data.size());
        out += "WAVEfmt ";
        u32(16), u16(1), u16(1), u32(8000), u32(16000), u16(2), u16(16);
        out += "data";
        u32(data.size());
        return out + data;
    }

private:
    void serve(QTcpSocket* socket) {
        QByteArray& request = pending[socket];
        request += socket->readAll();
        if (!request.contains("\r\n\r\n"))
            return;
        {
            QMutexLocker lock(&mutex);
            requested << QString::fromLatin1(request.split(' ').value(1));
        }
        pending.remove(socket);
        const QByteArray body = wav();
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: audio/wav\r\nContent-Length: " +
                      QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
        socket->disconnectFromHost();
    }

    QThread thread;
    QObject* context = new QObject;
    quint16 port = 0;
    QHash<QTcpSocket*, QByteArray> pending;
    mutable QMutex mutex;
    QStringList requested;
};

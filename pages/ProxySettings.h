#pragma once

#include <QNetworkProxy>
#include <QString>

// Proxy configuration that the download page reads each time a download starts.
struct ProxySettings {
    bool enabled = false;
    QString hostName;
    quint16 port = 0;
    QNetworkProxy::ProxyType type = QNetworkProxy::HttpProxy;
    bool authenticate = false;
    QString user;
    QString password;
};

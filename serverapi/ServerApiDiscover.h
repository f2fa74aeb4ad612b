// The discovery endpoint: which API version the server speaks.
#pragma once

#include <QString>
#include <QVersionNumber>

#include "ServerApi.h"

class ServerApiDiscover : public ServerApi {
    Q_OBJECT

public:
    ServerApiDiscover(QObject* parent, const QString& baseUrl);

    // "server" -> "version" of the discovery reply, or defaultVersion with a warning.
    QVersionNumber version();

    const QString defaultVersion = QStringLiteral("0.3.0");
    const QString discoverPath = QStringLiteral("/api/discover/");
};

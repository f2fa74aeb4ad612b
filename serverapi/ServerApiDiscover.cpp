#include "ServerApiDiscover.h"

#include <QJsonObject>
#include <QJsonValue>

#include "logger.h"

ServerApiDiscover::ServerApiDiscover(QObject* parent, const QString& baseUrl)
    : ServerApi(parent, baseUrl) {}

QVersionNumber ServerApiDiscover::version() {
    const QJsonDocument doc = makeApiRequestSync(discoverPath);
    if (!doc.isNull()) {
        const QJsonValue value = doc.object().value("server").toObject().value("version");
        if (value.isString()) {
            return QVersionNumber::fromString(value.toString());
        }
    }
    const QVersionNumber v = QVersionNumber::fromString(defaultVersion);
    cli_log(LL_WARNING, "%s: Server didn't return version, default version %s set\n",
            "ServerApiDiscover", v.toString().toUtf8().constData());
    return v;
}

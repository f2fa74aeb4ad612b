#include "SettingsLog.h"

#include <QSysInfo>

#include "logger.h"

void printCliParams(const char* title, const GlobalSettings& settings) {
    const ConnectionParams& p = settings.connectionParams;
    cli_log(LL_INFO, "%s\n%s=%s,\n%s=%s,\n%s=%d,\n%s=%s,\n%s=%s,\n%s=%s,\n%s=%d\n%s=%d\n", title,
            sessionIdLabel, p.sessionId.c_str(), serverUrlLabel, p.serverUrl.c_str(), tmoLabel,
            p.timeout, videoCodecLabel, p.videoCodec.c_str(), audioCodecLabel, p.audioCodec.c_str(),
            stunUrlLabel, p.stunUrl.c_str(), disableSslLabel, p.disableSsl ? 1 : 0, fromLinkLabel,
            settings.fromLink ? 1 : 0);
}

void readAndLogSystemInfo(const QString& platformName, GlobalSettings& settings) {
    const QString line =
        QString("System info : %1 %2 %3 %4 %5 %6")
            .arg(QSysInfo::kernelType(), QSysInfo::kernelVersion(), QSysInfo::prettyProductName(),
                 qEnvironmentVariable("XDG_SESSION_TYPE"),
                 qEnvironmentVariable("XDG_CURRENT_DESKTOP"), platformName);
    cli_log(LL_INFO, "%s", line.toUtf8().constData());
    if (platformName.contains("wayland", Qt::CaseInsensitive)) {
        cli_log(LL_WARNING, "Usage of wayland protocol is not supported\n");
        settings.waylandSession = true;
    }
}

#pragma once

#include "platform/LinuxXcb.hpp"
#include "platform/Session.hpp"

#include <QDBusConnection>
#include <QStringList>
#include <QVariantMap>

namespace tovu {

// The screens sleep when DPMS has turned the monitors off; the session is away when logind says
// it is not the active one, or idle, or locked (the session this user sits at, on the given
// system bus; none: always there). The X screen saver alone proves nothing: any client can start
// it with a window of its own that hides nothing.
class LinuxSession final : public Session {
    Q_OBJECT

public:
    explicit LinuxSession(const QDBusConnection& systemBus);

private slots:
    void propertiesChanged(const QString& interface, const QVariantMap& changed,
                           const QStringList& invalidated);

private:
    void watchLogind();
    void readLogind();
    void readDpms();
    void update();

    XcbConnection x_;
    std::uint8_t screenSaverEvent_ = 0;
    bool dpms_ = false;
    QDBusConnection bus_;
    QString sessionPath_;
    bool screensOn_ = true;
    QVariantMap logind_;
    bool awake_ = true;
};

} // namespace tovu

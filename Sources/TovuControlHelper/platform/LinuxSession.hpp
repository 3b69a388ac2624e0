#pragma once

#include "platform/LinuxXcb.hpp"
#include "platform/Session.hpp"

#include <QDBusConnection>
#include <QStringList>
#include <QVariantMap>

namespace tovu {

// Screen sleep from the X screen saver; session switches from logind's Active property of the
// session this user sits at, on the given system bus (none: the session is always active).
class LinuxSession final : public Session {
    Q_OBJECT

public:
    explicit LinuxSession(const QDBusConnection& systemBus);

private slots:
    void propertiesChanged(const QString& interface, const QVariantMap& changed,
                           const QStringList& invalidated);

private:
    void watchLogind();
    void readActive();
    void update();

    XcbConnection x_;
    std::uint8_t screenSaverEvent_ = 0;
    QDBusConnection bus_;
    QString sessionPath_;
    bool screensOn_ = true;
    bool active_ = true;
    bool awake_ = true;
};

} // namespace tovu

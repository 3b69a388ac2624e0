#include "platform/LinuxSession.hpp"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <xcb/screensaver.h>

namespace tovu {
namespace {

const QString logind = QStringLiteral("org.freedesktop.login1");
const QString sessionInterface = QStringLiteral("org.freedesktop.login1.Session");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
constexpr int callTimeoutMs = 2000;

} // namespace

LinuxSession::LinuxSession(const QDBusConnection& systemBus)
    : bus_(systemBus) {
    if (x_.ok()) {
        const xcb_query_extension_reply_t* ext =
            xcb_get_extension_data(x_.get(), &xcb_screensaver_id);
        if (ext && ext->present) {
            screenSaverEvent_ =
                static_cast<std::uint8_t>(ext->first_event + XCB_SCREENSAVER_NOTIFY);
            xcb_screensaver_select_input(x_.get(), x_.root(), XCB_SCREENSAVER_EVENT_NOTIFY_MASK);
            xcb_flush(x_.get());
            x_.setHandler([this](const xcb_generic_event_t& event) {
                if ((event.response_type & 0x7f) != screenSaverEvent_) return;
                const auto& e = reinterpret_cast<const xcb_screensaver_notify_event_t&>(event);
                if (e.state == XCB_SCREENSAVER_STATE_ON)
                    screensOn_ = false;
                else if (e.state == XCB_SCREENSAVER_STATE_OFF)
                    screensOn_ = true;
                update();
            });
        }
    }
    if (bus_.isConnected()) watchLogind();
}

void LinuxSession::watchLogind() {
    // "auto" is the caller's session, or the user's graphical one for a process started by the
    // user's service manager; change signals come from the session's real path only.
    auto get = QDBusMessage::createMethodCall(
        logind, QStringLiteral("/org/freedesktop/login1/session/auto"), propertiesInterface,
        QStringLiteral("Get"));
    get << sessionInterface << QStringLiteral("Id");
    QDBusMessage id = bus_.call(get, QDBus::Block, callTimeoutMs);
    if (id.type() != QDBusMessage::ReplyMessage || id.arguments().isEmpty()) return;
    auto find = QDBusMessage::createMethodCall(logind, QStringLiteral("/org/freedesktop/login1"),
                                               QStringLiteral("org.freedesktop.login1.Manager"),
                                               QStringLiteral("GetSession"));
    find << id.arguments().front().value<QDBusVariant>().variant().toString();
    QDBusMessage path = bus_.call(find, QDBus::Block, callTimeoutMs);
    if (path.type() != QDBusMessage::ReplyMessage || path.arguments().isEmpty()) return;
    sessionPath_ = path.arguments().front().value<QDBusObjectPath>().path();
    bus_.connect(logind, sessionPath_, propertiesInterface, QStringLiteral("PropertiesChanged"),
                 this, SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
    readActive();
}

void LinuxSession::readActive() {
    auto get = QDBusMessage::createMethodCall(logind, sessionPath_, propertiesInterface,
                                              QStringLiteral("Get"));
    get << sessionInterface << QStringLiteral("Active");
    QDBusMessage reply = bus_.call(get, QDBus::Block, callTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return;
    active_ = reply.arguments().front().value<QDBusVariant>().variant().toBool();
    update();
}

void LinuxSession::propertiesChanged(const QString& interface, const QVariantMap& changed,
                                     const QStringList& invalidated) {
    if (interface != sessionInterface) return;
    if (auto it = changed.find(QStringLiteral("Active")); it != changed.end()) {
        active_ = it->toBool();
        update();
    } else if (invalidated.contains(QStringLiteral("Active"))) {
        readActive();
    }
}

void LinuxSession::update() {
    // Waking the screens of a session that is not in front does not bring the child back.
    bool awake = screensOn_ && active_;
    if (awake == awake_) return;
    awake_ = awake;
    if (awake)
        emit this->awake();
    else
        emit asleep();
}

std::unique_ptr<Session> makeSession() {
    return std::make_unique<LinuxSession>(QDBusConnection::systemBus());
}

} // namespace tovu

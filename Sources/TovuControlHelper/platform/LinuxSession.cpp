#include "platform/LinuxSession.hpp"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <algorithm>
#include <unistd.h>
#include <xcb/dpms.h>
#include <xcb/screensaver.h>

namespace tovu {
namespace {

const QString logind = QStringLiteral("org.freedesktop.login1");
const QString sessionInterface = QStringLiteral("org.freedesktop.login1.Session");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
constexpr int callTimeoutMs = 2000;
const QStringList hints{"Active", "IdleHint", "LockedHint"};

} // namespace

LinuxSession::LinuxSession(const QDBusConnection& systemBus)
    : bus_(systemBus)
    , logind_{{"Active", true}, {"IdleHint", false}, {"LockedHint", false}} {
    if (x_.ok()) {
        const xcb_query_extension_reply_t* dpms = xcb_get_extension_data(x_.get(), &xcb_dpms_id);
        dpms_ = dpms && dpms->present;
        const xcb_query_extension_reply_t* ext =
            xcb_get_extension_data(x_.get(), &xcb_screensaver_id);
        if (ext && ext->present) {
            screenSaverEvent_ =
                static_cast<std::uint8_t>(ext->first_event + XCB_SCREENSAVER_NOTIFY);
            xcb_screensaver_select_input(x_.get(), x_.root(), XCB_SCREENSAVER_EVENT_NOTIFY_MASK);
            xcb_flush(x_.get());
            // DPMS sends no events of its own; it starts the saver as it turns the monitors off
            // and stops it as they come back.
            x_.setHandler([this](const xcb_generic_event_t& event) {
                if ((event.response_type & 0x7f) == screenSaverEvent_) readDpms();
            });
        }
    }
    if (bus_.isConnected()) watchLogind();
}

void LinuxSession::readDpms() {
    if (!dpms_) return;
    XcbReply<xcb_dpms_info_reply_t> info{
        xcb_dpms_info_reply(x_.get(), xcb_dpms_info(x_.get()), nullptr)};
    if (!info) return;
    screensOn_ = !info->state || info->power_level == XCB_DPMS_DPMS_MODE_ON;
    update();
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
    readLogind();
}

void LinuxSession::readLogind() {
    auto get = QDBusMessage::createMethodCall(logind, sessionPath_, propertiesInterface,
                                              QStringLiteral("GetAll"));
    get << sessionInterface;
    QDBusMessage reply = bus_.call(get, QDBus::Block, callTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return;
    const auto all = qdbus_cast<QVariantMap>(reply.arguments().front());
    for (const QString& name : hints)
        if (all.contains(name)) logind_[name] = all[name];
    update();
}

void LinuxSession::propertiesChanged(const QString& interface, const QVariantMap& changed,
                                     const QStringList& invalidated) {
    if (interface != sessionInterface) return;
    bool reread = false;
    for (const QString& name : hints) {
        if (changed.contains(name))
            logind_[name] = changed[name];
        else
            reread = reread || invalidated.contains(name);
    }
    if (reread)
        readLogind();
    else
        update();
}

void LinuxSession::update() {
    // Waking the screens of a session that is not in front does not bring the child back.
    const bool awake = screensOn_ && logind_["Active"].toBool() && !logind_["IdleHint"].toBool() &&
                       !logind_["LockedHint"].toBool();
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

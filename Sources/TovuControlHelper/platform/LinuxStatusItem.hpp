#pragma once

#include "platform/StatusItem.hpp"

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QString>
#include <memory>

class QSystemTrayIcon;

namespace tovu {

class ItemAdaptor;
class DBusMenu;

// A StatusNotifierItem with a text label and a D-Bus menu while the panel watches for such items;
// a classic tray icon, with the text as its tooltip, while nothing does. Notifications go to the
// desktop's notification server.
class LinuxStatusItem final : public StatusItem {
    Q_OBJECT

public:
    explicit LinuxStatusItem(const QDBusConnection& sessionBus);
    ~LinuxStatusItem() override;

    void show(const QIcon& icon, QMenu* menu) override;
    void setTitle(const QString& title) override;
    void notify(const QString& summary, const QString& body) override;

    // The classic tray icon, present only while no panel has taken the item.
    QSystemTrayIcon* tray() const { return tray_.get(); }

private:
    friend class ItemAdaptor;
    friend class DBusMenu;

    void dangKy();
    void veKhay();
    void veIcon();
    // The widest text of the title's form, so that the panel keeps its width as it counts down.
    QString guide() const;

    QDBusConnection bus_;
    QString service_;
    QDBusServiceWatcher watcher_;
    QIcon icon_;
    // Panels that take only icons by name find a copy of the icon in this folder.
    QString iconFolder_;
    QString iconName_;
    QPointer<QMenu> menu_;
    QString title_ = QStringLiteral("TovuControl");
    std::unique_ptr<QSystemTrayIcon> tray_;
    ItemAdaptor* adaptor_ = nullptr;
    std::unique_ptr<DBusMenu> dbusMenu_;
    uint notification_ = 0;
};

} // namespace tovu

#include "platform/LinuxStatusItem.hpp"

#include <QCursor>
#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QDir>
#include <QGuiApplication>
#include <QMenu>
#include <QSet>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QtEndian>
#include <unistd.h>

namespace tovu {

struct IconPixmap {
    int width = 0;
    int height = 0;
    QByteArray argb; // 32-bit pixels in network byte order
};

struct ToolTip {
    QString iconName;
    QList<IconPixmap> icon;
    QString title;
    QString text;
};

struct MenuLayout {
    int id = 0;
    QVariantMap properties;
    QList<MenuLayout> children;
};

struct MenuProperties {
    int id = 0;
    QVariantMap properties;
};

struct MenuEvent {
    int id = 0;
    QString eventId;
    QDBusVariant data;
    uint timestamp = 0;
};

} // namespace tovu

Q_DECLARE_METATYPE(tovu::IconPixmap)
Q_DECLARE_METATYPE(tovu::ToolTip)
Q_DECLARE_METATYPE(tovu::MenuLayout)
Q_DECLARE_METATYPE(tovu::MenuProperties)
Q_DECLARE_METATYPE(tovu::MenuEvent)

namespace tovu {

QDBusArgument& operator<<(QDBusArgument& a, const IconPixmap& p) {
    a.beginStructure();
    a << p.width << p.height << p.argb;
    a.endStructure();
    return a;
}

const QDBusArgument& operator>>(const QDBusArgument& a, IconPixmap& p) {
    a.beginStructure();
    a >> p.width >> p.height >> p.argb;
    a.endStructure();
    return a;
}

QDBusArgument& operator<<(QDBusArgument& a, const ToolTip& t) {
    a.beginStructure();
    a << t.iconName << t.icon << t.title << t.text;
    a.endStructure();
    return a;
}

const QDBusArgument& operator>>(const QDBusArgument& a, ToolTip& t) {
    a.beginStructure();
    a >> t.iconName >> t.icon >> t.title >> t.text;
    a.endStructure();
    return a;
}

QDBusArgument& operator<<(QDBusArgument& a, const MenuLayout& l) {
    a.beginStructure();
    a << l.id << l.properties;
    a.beginArray(qMetaTypeId<QDBusVariant>());
    for (const MenuLayout& child : l.children)
        a << QDBusVariant(QVariant::fromValue(child));
    a.endArray();
    a.endStructure();
    return a;
}

const QDBusArgument& operator>>(const QDBusArgument& a, MenuLayout& l) {
    a.beginStructure();
    a >> l.id >> l.properties;
    a.beginArray();
    l.children.clear();
    while (!a.atEnd()) {
        QDBusVariant child;
        a >> child;
        l.children << qdbus_cast<MenuLayout>(child.variant());
    }
    a.endArray();
    a.endStructure();
    return a;
}

QDBusArgument& operator<<(QDBusArgument& a, const MenuProperties& p) {
    a.beginStructure();
    a << p.id << p.properties;
    a.endStructure();
    return a;
}

const QDBusArgument& operator>>(const QDBusArgument& a, MenuProperties& p) {
    a.beginStructure();
    a >> p.id >> p.properties;
    a.endStructure();
    return a;
}

QDBusArgument& operator<<(QDBusArgument& a, const MenuEvent& e) {
    a.beginStructure();
    a << e.id << e.eventId << e.data << e.timestamp;
    a.endStructure();
    return a;
}

const QDBusArgument& operator>>(const QDBusArgument& a, MenuEvent& e) {
    a.beginStructure();
    a >> e.id >> e.eventId >> e.data >> e.timestamp;
    a.endStructure();
    return a;
}

namespace {

const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString itemPath = QStringLiteral("/StatusNotifierItem");
const QString menuPath = QStringLiteral("/MenuBar");

} // namespace

class ItemAdaptor final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Id READ id)
    Q_PROPERTY(QString Title READ id)
    Q_PROPERTY(QString Status READ status)
    Q_PROPERTY(int WindowId READ windowId)
    Q_PROPERTY(QString IconThemePath READ iconThemePath)
    Q_PROPERTY(QString IconName READ iconName)
    Q_PROPERTY(QList<tovu::IconPixmap> IconPixmap READ iconPixmap)
    Q_PROPERTY(tovu::ToolTip ToolTip READ toolTip)
    Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)
    Q_PROPERTY(QString XAyatanaLabel READ label)
    Q_PROPERTY(QString XAyatanaLabelGuide READ guide)

public:
    explicit ItemAdaptor(LinuxStatusItem* item)
        : QDBusAbstractAdaptor(item)
        , item_(item) {}

    QString category() const { return QStringLiteral("ApplicationStatus"); }
    QString id() const { return QStringLiteral("TovuControl"); }
    QString status() const { return QStringLiteral("Active"); }
    int windowId() const { return 0; }
    QString iconThemePath() const { return item_->iconFolder_; }
    QString iconName() const { return item_->iconName_; }
    QList<IconPixmap> iconPixmap() const {
        QList<IconPixmap> pixmaps;
        for (const QSize& size : item_->icon_.availableSizes()) {
            const QImage image =
                item_->icon_.pixmap(size).toImage().convertToFormat(QImage::Format_ARGB32);
            IconPixmap p{image.width(), image.height(), {}};
            p.argb.resize(qsizetype(image.width()) * image.height() * 4);
            auto* out = reinterpret_cast<uchar*>(p.argb.data());
            for (int y = 0; y < image.height(); ++y) {
                const auto* line = reinterpret_cast<const quint32*>(image.constScanLine(y));
                for (int x = 0; x < image.width(); ++x, out += 4)
                    qToBigEndian(line[x], out);
            }
            pixmaps << p;
        }
        return pixmaps;
    }
    ToolTip toolTip() const { return {item_->iconName_, {}, id(), item_->title_}; }
    bool itemIsMenu() const { return true; }
    QDBusObjectPath menu() const { return QDBusObjectPath(menuPath); }
    QString label() const { return item_->title_; }
    QString guide() const { return item_->guide(); }

public slots:
    void Activate(int x, int y) { moMenu(x, y); }
    void ContextMenu(int x, int y) { moMenu(x, y); }

signals:
    void NewToolTip();
    void XAyatanaNewLabel(const QString& label, const QString& guide);

private:
    // Opens the menu where the panel says, or under the pointer when that is on no screen; a
    // flood of calls opens it once, at the last place asked.
    void moMenu(int x, int y) {
        at_ = QGuiApplication::screenAt(QPoint(x, y)) ? QPoint(x, y) : QCursor::pos();
        if (opening_) return;
        opening_ = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                opening_ = false;
                if (item_->menu_) item_->menu_->popup(at_);
            },
            Qt::QueuedConnection);
    }

    LinuxStatusItem* item_;
    QPoint at_;
    bool opening_ = false;
};

// The item's menu for panels that draw it themselves: the root (0) holds one entry per action.
// Any program of the session may call it with anything: ids that name no entry get an error,
// and a flood of clicks runs each entry's action once.
class DBusMenu final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString TextDirection READ textDirection)
    Q_PROPERTY(QString Status READ status)

public:
    explicit DBusMenu(LinuxStatusItem* item)
        : item_(item) {}

    uint version() const { return 3; }
    QString textDirection() const { return QStringLiteral("ltr"); }
    QString status() const { return QStringLiteral("normal"); }

public slots:
    uint GetLayout(int parentId, int depth, const QStringList& names, tovu::MenuLayout& layout) {
        const auto top = properties(parentId, names);
        if (!top) {
            noEntry();
            return 0;
        }
        layout = {parentId, *top, {}};
        if (parentId == 0 && depth != 0)
            for (int id = 1; id <= actions().size(); ++id)
                layout.children << MenuLayout{id, *properties(id, names), {}};
        return revision;
    }

    QList<tovu::MenuProperties> GetGroupProperties(const QList<int>& ids,
                                                   const QStringList& names) {
        QList<MenuProperties> found;
        for (int id : known(ids))
            found << MenuProperties{id, *properties(id, names)};
        if (found.isEmpty() && !ids.isEmpty()) noEntry();
        return found;
    }

    QDBusVariant GetProperty(int id, const QString& name) {
        const auto p = properties(id, {name});
        if (!p || p->isEmpty()) {
            noEntry();
            return {};
        }
        return QDBusVariant(p->first());
    }

    void Event(int id, const QString& eventId, const QDBusVariant&, uint) {
        if (!co(id)) return noEntry();
        nhan(id, eventId);
    }

    // The ids that name no entry.
    QList<int> EventGroup(const QList<tovu::MenuEvent>& events) {
        QList<int> ids;
        for (const MenuEvent& e : events)
            ids << e.id;
        for (const MenuEvent& e : events)
            if (co(e.id)) nhan(e.id, e.eventId);
        return unknown(ids);
    }

    // The entries never change while the menu is open.
    bool AboutToShow(int id) {
        if (!co(id)) noEntry();
        return false;
    }
    QList<int> AboutToShowGroup(const QList<int>& ids, QList<int>& idErrors) {
        idErrors = unknown(ids);
        return {};
    }

private:
    static constexpr uint revision = 1;

    QList<QAction*> actions() const {
        return item_->menu_ ? item_->menu_->actions() : QList<QAction*>();
    }

    bool co(int id) const { return id >= 0 && id <= actions().size(); }

    // The entries among ids, each once.
    QList<int> known(const QList<int>& ids) const {
        QList<int> found;
        for (int id = 0; id <= actions().size(); ++id)
            if (ids.contains(id)) found << id;
        return found;
    }

    // The ids that name no entry, each once; an error when none does.
    QList<int> unknown(const QList<int>& ids) {
        if (known(ids).isEmpty() && !ids.isEmpty()) {
            noEntry();
            return {};
        }
        QList<int> missing;
        QSet<int> seen;
        for (int id : ids)
            if (!co(id) && !seen.contains(id)) {
                seen << id;
                missing << id;
            }
        return missing;
    }

    void noEntry() {
        sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("No such menu entry"));
    }

    // A click runs the entry's action once the calls at hand are answered, however many came.
    void nhan(int id, const QString& eventId) {
        QAction* action = id > 0 ? actions()[id - 1] : nullptr;
        if (!action || eventId != QStringLiteral("clicked") || action->isSeparator() ||
            clicked_.contains(action))
            return;
        clicked_ << action;
        QMetaObject::invokeMethod(
            this,
            [this, action = QPointer<QAction>(action)] {
                clicked_.removeAll(action);
                if (action && action->isEnabled()) action->trigger();
            },
            Qt::QueuedConnection);
    }

    // The properties of entry id (0: the root) among names (all when empty); none when no entry
    // has that id.
    std::optional<QVariantMap> properties(int id, const QStringList& names) const {
        if (!co(id)) return std::nullopt;
        QVariantMap p;
        const QAction* action = id > 0 ? actions()[id - 1] : nullptr;
        if (!action) {
            p = {{QStringLiteral("children-display"), QStringLiteral("submenu")}};
        } else if (action->isSeparator()) {
            p = {{QStringLiteral("type"), QStringLiteral("separator")}};
        } else {
            // An underscore would mark the access key.
            QString label = action->text();
            label.replace(QLatin1Char('_'), QStringLiteral("__"));
            p = {{QStringLiteral("label"), label},
                 {QStringLiteral("enabled"), action->isEnabled()},
                 {QStringLiteral("visible"), action->isVisible()}};
        }
        if (!names.isEmpty())
            p.removeIf([&](QVariantMap::iterator it) { return !names.contains(it.key()); });
        return p;
    }

    LinuxStatusItem* item_;
    QList<QPointer<QAction>> clicked_;
};

LinuxStatusItem::LinuxStatusItem(const QDBusConnection& sessionBus)
    : bus_(sessionBus)
    , watcher_(watcherService, bus_,
               QDBusServiceWatcher::WatchForRegistration |
                   QDBusServiceWatcher::WatchForUnregistration) {
    qDBusRegisterMetaType<IconPixmap>();
    qDBusRegisterMetaType<QList<IconPixmap>>();
    qDBusRegisterMetaType<ToolTip>();
    qDBusRegisterMetaType<MenuLayout>();
    qDBusRegisterMetaType<MenuProperties>();
    qDBusRegisterMetaType<QList<MenuProperties>>();
    qDBusRegisterMetaType<MenuEvent>();
    qDBusRegisterMetaType<QList<MenuEvent>>();
}

LinuxStatusItem::~LinuxStatusItem() {
    if (!adaptor_) return;
    bus_.unregisterObject(itemPath);
    bus_.unregisterObject(menuPath);
    if (service_ != bus_.baseService()) bus_.unregisterService(service_);
}

void LinuxStatusItem::show(const QIcon& icon, QMenu* menu) {
    icon_ = icon;
    menu_ = menu;
    veIcon();
    if (bus_.isConnected()) {
        adaptor_ = new ItemAdaptor(this);
        dbusMenu_ = std::make_unique<DBusMenu>(this);
        bus_.registerObject(itemPath, this, QDBusConnection::ExportAdaptors);
        bus_.registerObject(menuPath, dbusMenu_.get(),
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties);
        const QString name = QStringLiteral("org.kde.StatusNotifierItem-%1-1").arg(getpid());
        service_ = bus_.registerService(name) ? name : bus_.baseService();
        connect(&watcher_, &QDBusServiceWatcher::serviceRegistered, this, &LinuxStatusItem::dangKy);
        connect(&watcher_, &QDBusServiceWatcher::serviceUnregistered, this,
                &LinuxStatusItem::veKhay);
        if (bus_.interface()->isServiceRegistered(watcherService)) {
            dangKy();
            return;
        }
    }
    veKhay();
}

void LinuxStatusItem::veIcon() {
    const QString runtime = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (runtime.isEmpty()) return;
    const QString folder = runtime + QStringLiteral("/tovucontrol");
    if (QDir().mkpath(folder) &&
        icon_.pixmap(64).save(folder + QStringLiteral("/tovucontrol.png"))) {
        iconFolder_ = folder;
        iconName_ = QStringLiteral("tovucontrol");
    }
}

void LinuxStatusItem::dangKy() {
    auto call = QDBusMessage::createMethodCall(
        watcherService, QStringLiteral("/StatusNotifierWatcher"), watcherService,
        QStringLiteral("RegisterStatusNotifierItem"));
    call << service_;
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        // The tray icon stays until the panel has taken the item.
        if (w->isError())
            veKhay();
        else
            tray_.reset();
    });
}

void LinuxStatusItem::veKhay() {
    if (tray_) return;
    tray_ = std::make_unique<QSystemTrayIcon>(icon_);
    tray_->setContextMenu(menu_);
    tray_->setToolTip(title_);
    // A click opens the menu, as the secondary click does.
    connect(tray_.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger && menu_) menu_->popup(QCursor::pos());
            });
    tray_->show();
}

QString LinuxStatusItem::guide() const {
    QString widest = title_;
    for (QChar& c : widest)
        if (c.isDigit()) c = QLatin1Char('0');
    return widest;
}

void LinuxStatusItem::setTitle(const QString& title) {
    if (title == title_) return;
    title_ = title;
    if (tray_) tray_->setToolTip(title_);
    if (!adaptor_) return;
    emit adaptor_->NewToolTip();
    emit adaptor_->XAyatanaNewLabel(title_, guide());
}

void LinuxStatusItem::notify(const QString& summary, const QString& body) {
    if (!bus_.isConnected()) return;
    const QString notifications = QStringLiteral("org.freedesktop.Notifications");
    auto call = QDBusMessage::createMethodCall(notifications,
                                               QStringLiteral("/org/freedesktop/Notifications"),
                                               notifications, QStringLiteral("Notify"));
    const QString icon = iconName_.isEmpty() ? QString() : iconFolder_ + "/" + iconName_ + ".png";
    // Each warning takes the place of the one before, if that one still shows.
    call << QStringLiteral("TovuControl") << notification_ << icon << summary << body
         << QStringList() << QVariantMap() << -1;
    auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusPendingReply<uint> reply = *w;
        if (reply.isValid()) notification_ = reply.value();
    });
}

std::unique_ptr<StatusItem> makeStatusItem() {
    return std::make_unique<LinuxStatusItem>(QDBusConnection::sessionBus());
}

} // namespace tovu

#include "LinuxStatusItem.moc"

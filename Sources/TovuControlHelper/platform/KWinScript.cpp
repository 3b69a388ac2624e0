#include "platform/KWinScript.hpp"

#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QPointer>

namespace tovu {

namespace {

const QString kwinService = QStringLiteral("org.kde.KWin");
// Checks without a report before the script is loaded again: the script reports every 5 s.
constexpr int silentChecks = 3;

} // namespace

KWinScript::KWinScript(const QDBusConnection& bus, QString script, HelperModel::Call call,
                       std::chrono::milliseconds check)
    : bus_(bus)
    , script_(std::move(script))
    , call_(std::move(call))
    , watcher_(kwinService, bus, QDBusServiceWatcher::WatchForOwnerChange) {
    bus_.registerObject(path, this, QDBusConnection::ExportScriptableSlots);
    // Queued behind anyone who holds the name: the reports reach this agent once they leave.
    // Nothing here blocks on the bus, which is the child's.
    bus_.interface()->asyncCall(QStringLiteral("RequestName"), QString(service), 0u);
    connect(&watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& owner) { kwinIs(owner); });
    auto* owner = new QDBusPendingCallWatcher(
        bus_.interface()->asyncCall(QStringLiteral("GetNameOwner"), kwinService), this);
    connect(owner, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        const QDBusPendingReply<QString> reply = *w;
        if (reply.isValid() && kwin_.isEmpty()) kwinIs(reply.value());
        w->deleteLater();
    });
    check_.setInterval(check);
    connect(&check_, &QTimer::timeout, this, [this] {
        if (!kwin_.isEmpty() && ++silent_ >= silentChecks) load();
    });
    check_.start();
}

void KWinScript::kwinIs(const QString& owner) {
    kwin_ = owner;
    if (!kwin_.isEmpty()) load();
}

void KWinScript::load() {
    silent_ = 0;
    // One connection's calls reach KWin in order: whatever holds the name goes, then ours runs.
    const auto scripting = [this](const QString& method, const QVariantList& arguments) {
        auto message =
            QDBusMessage::createMethodCall(kwinService, QStringLiteral("/Scripting"),
                                           QStringLiteral("org.kde.kwin.Scripting"), method);
        message.setArguments(arguments);
        bus_.asyncCall(message);
    };
    scripting(QStringLiteral("unloadScript"), {QString(pluginName)});
    scripting(QStringLiteral("loadScript"), {script_, QString(pluginName)});
    scripting(QStringLiteral("start"), {});
}

void KWinScript::Report(int pid) {
    // Any program of the child's may call; only KWin's word is passed on.
    if (!calledFromDBus() || message().service() != kwin_) return;
    silent_ = 0;
    pending_ = pid;
    if (!sending_) forward();
}

QCoro::Task<> KWinScript::forward() {
    QPointer<KWinScript> self(this);
    sending_ = true;
    while (pending_) {
        IpcRequest request;
        request.op = "front";
        request.pid = *pending_;
        pending_.reset();
        const HelperModel::Call call = call_;
        co_await call(std::move(request));
        if (!self) co_return;
    }
    sending_ = false;
}

} // namespace tovu

#pragma once

#include "Model.hpp"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusServiceWatcher>
#include <QObject>
#include <QTimer>
#include <chrono>
#include <optional>

namespace tovu {

// The app in front in a Plasma Wayland session, which only KWin knows. The agent loads its
// script into KWin over KWin's scripting interface; the script reports the active window's pid
// to the agent on the session bus, on each activation and every few seconds. A KWin script
// cannot reach the daemon's socket, so the agent passes each report on as op "front". Reports
// count only from KWin's own bus connection; when they stop (KWin restarted, or the child
// unloaded the script), the script is loaded again.
class KWinScript final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "vn.morvane.tovucontrol.Front")

public:
    // Where the script reports, and the name it is loaded under in KWin.
    static constexpr const char* service = "vn.morvane.tovucontrol.helper";
    static constexpr const char* path = "/Front";
    static constexpr const char* pluginName = "tovucontrol";

    // script: the script's file, which KWin reads. call: how the daemon is reached. check: how
    // often the agent looks whether reports still come.
    KWinScript(const QDBusConnection& bus, QString script, HelperModel::Call call,
               std::chrono::milliseconds check = std::chrono::seconds(5));

public slots:
    // The pid of the window KWin has active; 0 when none is.
    Q_SCRIPTABLE void Report(int pid);

private:
    void kwinIs(const QString& owner);
    void load();
    // Passes on the latest report, one exchange with the daemon at a time.
    QCoro::Task<> forward();

    QDBusConnection bus_;
    QString script_;
    HelperModel::Call call_;
    QDBusServiceWatcher watcher_;
    QTimer check_;
    // KWin's unique name on the bus; empty while there is no KWin.
    QString kwin_;
    // Checks since the last report.
    int silent_ = 0;
    std::optional<std::int64_t> pending_;
    bool sending_ = false;
};

} // namespace tovu

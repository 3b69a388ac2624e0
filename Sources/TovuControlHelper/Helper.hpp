#pragma once

#include "LockWarning.hpp"
#include "Model.hpp"
#include "TovuCore/UsageTracker.hpp"
#include "TovuProtocol/Clock.hpp"
#include "platform/RunningApp.hpp"

#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <qcoro/qcorotask.h>

class QMenu;
class QWidget;

namespace tovu {

class Session;
class StatusItem;
class Workspace;

// How often the helper ticks and reports usage.
struct HelperIntervals {
    std::chrono::milliseconds nhip{5000};
    std::chrono::milliseconds usage{30000};
};

// The agent's controller: the status item and its menu, the one panel, the two timers and the
// closing of the running apps the policy does not allow. The lock screen is not the agent's: it
// is a session of its own that the daemon brings in front of the child's.
class Helper : public QObject {
    Q_OBJECT

public:
    // The services must outlive the helper.
    Helper(Workspace& workspace, Session& session, StatusItem& item,
           const Clock& clock = SystemClock::shared(), HelperIntervals intervals = {});
    ~Helper() override;

    // Creates the status item, watches apps and the session, asks the daemon for the first time
    // and starts the timers. Called once.
    void start();

    HelperModel m;
    UsageTracker tracker;

    // Absent before start.
    QMenu* menu() const { return menu_.get(); }
    QWidget* hop() const { return hop_.get(); }

    // Today's usage to the daemon, then the policy it answers is applied.
    QCoro::Task<> guiUsage();
    // The tick: the clock of the screens, a waiting request, a grant that ran out.
    QCoro::Task<> nhip();
    // Applies the model's policy to the menu bar, the warnings and the running apps.
    void apDung();

    void thuc();
    void ngu();
    void doiApp(const tovu::RunningApp& app);
    void moApp(const tovu::RunningApp& app);
    // Ends app at once when the policy does not allow it; tells the child unless locked.
    void chan(const tovu::RunningApp& app);
    // Tells the child of a program the daemon ended just now, unless locked.
    void baoDaDong();
    void gioiThieu();
    void xinThem();

private:
    QCoro::Task<> moDau();
    void dungMenu();
    // Whether app may stay open; panels, docks and the agent itself always may.
    bool choPhep(const RunningApp& app, const Policy& policy) const;
    // Ends every running app the policy does not allow, without a word.
    void quet(const Policy& policy);
    // Shows screen in the one panel, in place of the panel before.
    void moHop(QWidget* screen);
    // The closing action handed to the panel's screen.
    std::function<void()> dongHop();

    Workspace& workspace_;
    Session& session_;
    StatusItem& item_;
    const Clock& clock_;

    std::unique_ptr<QMenu> menu_;
    LockWarning lockWarning_;
    std::unique_ptr<QWidget> hop_;
    QTimer nhipTimer_;
    QTimer usageTimer_;
};

} // namespace tovu

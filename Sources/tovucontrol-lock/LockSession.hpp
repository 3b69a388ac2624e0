#pragma once

#include "Model.hpp"

#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>
#include <qcoro/qcorotask.h>

class QScreen;
class QWidget;

namespace tovu {

class ManKhoa;

// The lock on its own console: one window over the whole output layout (the kiosk compositor
// shows a single window, maximised over every monitor) holding a lock screen on each monitor,
// kept in step with the daemon on the agent's tick. It never ends by itself: the daemon stops
// the session when the lock lifts.
class LockSession : public QObject {
    Q_OBJECT
public:
    LockSession();
    ~LockSession() override;

    // Shows the window, asks the daemon for the policy and starts the tick. Called once.
    void start();

    HelperModel m;

    // The tick: the clock of the screens, a waiting request, then the policy.
    QCoro::Task<> nhip();
    // Asks the daemon to bring the display manager's greeter (or another account's session) to
    // the front.
    QCoro::Task<> openGreeter();

signals:
    void greeterChanged();

private:
    // One lock screen per monitor, each at its monitor's place in the window.
    void arrange();
    QWidget* greeterControl(QWidget* parent);

    std::unique_ptr<QWidget> window_;
    QMap<QScreen*, ManKhoa*> screens_;
    QTimer timer_;
    bool greeterBusy_ = false;
    QString greeterError_;
};

} // namespace tovu

#pragma once

#include "platform/RunningApp.hpp"

#include <QObject>
#include <memory>
#include <optional>
#include <vector>

namespace tovu {

// The apps of this user's session and which one is in front. Signals come on the main thread,
// as soon as the window system reports the change.
class Workspace : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    virtual std::vector<RunningApp> runningApps() const = 0;
    // None while no app of this user is in front (its window closed, the focus went nowhere).
    virtual std::optional<RunningApp> frontmostApp() const = 0;
    // Ends the app at once without asking it; whether it died is not reported.
    virtual void forceTerminate(const RunningApp& app) = 0;

signals:
    // Another app came to the front.
    void activated(const tovu::RunningApp& app);
    // The app in front left it and none of this user's took its place.
    void deactivated();
    // An app appeared, or an app that was running became regular.
    void launched(const tovu::RunningApp& app);
};

// The workspace of the session the agent runs in.
std::unique_ptr<Workspace> makeWorkspace();

} // namespace tovu

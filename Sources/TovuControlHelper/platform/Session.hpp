#pragma once

#include <QObject>
#include <memory>

namespace tovu {

// Whether the child can be using the computer: the screens are awake and the login session is
// the active one.
class Session : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

signals:
    // The screens went to sleep or the session was switched away from.
    void asleep();
    // The screens are awake again and the session is active.
    void awake();
};

std::unique_ptr<Session> makeSession();

} // namespace tovu

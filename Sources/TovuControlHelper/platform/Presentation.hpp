#pragma once

#include <QList>
#include <QObject>
#include <memory>

class QWidget;

namespace tovu {

// Keeps the lock windows over everything and every shortcut away from other apps while the lock
// lasts.
class Presentation : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // Shows the windows (already placed on their screens) above all others and takes the input.
    // Called again with the new windows when they are rebuilt.
    virtual void lock(const QList<QWidget*>& windows) = 0;
    // Gives the input back; the caller closes the windows.
    virtual void unlock() = 0;

signals:
    // Another client destroyed a lock window: the caller builds the windows again.
    void windowLost();
};

std::unique_ptr<Presentation> makePresentation();

} // namespace tovu

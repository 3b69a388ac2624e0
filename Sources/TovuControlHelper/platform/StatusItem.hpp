#pragma once

#include <QObject>
#include <memory>

class QIcon;
class QMenu;
class QString;

namespace tovu {

// The agent in the desktop's panel: an icon with a short text beside it (or in its tooltip where
// the panel shows no text) and a menu; and notifications that pass by themselves.
class StatusItem : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    // Puts the item in the panel. Called once; the menu must outlive the item.
    virtual void show(const QIcon& icon, QMenu* menu) = 0;
    virtual void setTitle(const QString& title) = 0;
    virtual void notify(const QString& summary, const QString& body) = 0;
};

std::unique_ptr<StatusItem> makeStatusItem();

} // namespace tovu

#pragma once

#include "Views/The.hpp"

#include <QString>
#include <functional>

class QLabel;

namespace tovu {

class HelperModel;
class HopXin;

// The card shown when an app the policy does not allow was closed; offers to ask the parents
// for that app.
class ManKhongDuoc : public The {
    Q_OBJECT
public:
    // xin: the card starts with the request box for the app.
    ManKhongDuoc(HelperModel& m, const QString& ten, const QString& appId,
                 std::function<void()> dong, bool xin, QWidget* parent = nullptr);

    bool xin() const { return hop_ != nullptr; }

private:
    void moHop();
    void capNhat();

    HelperModel& m_;
    QString ten_;
    QString appId_;
    std::function<void()> dong_;
    QWidget* noiDung_;
    QLabel* lyDo_;
    HopXin* hop_ = nullptr;
};

} // namespace tovu

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
    // xin: the card starts with the request box for the app. lyDo: why it was closed, when
    // not simply because the rules do not let it run now.
    ManKhongDuoc(HelperModel& m, const QString& ten, const QString& appId,
                 std::function<void()> dong, bool xin, const QString& lyDo = {},
                 QWidget* parent = nullptr);

    bool xin() const { return hop_ != nullptr; }

private:
    void moHop();
    void capNhat();

    HelperModel& m_;
    QString ten_;
    QString appId_;
    QString lyDoRieng_;
    std::function<void()> dong_;
    QWidget* noiDung_;
    QLabel* lyDo_;
    HopXin* hop_ = nullptr;
};

} // namespace tovu

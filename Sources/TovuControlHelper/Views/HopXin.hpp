#pragma once

#include "Views/The.hpp"

#include <QString>
#include <functional>
#include <optional>
#include <string>

class QLabel;
class QLineEdit;

namespace tovu {

class ChonMot;
class HelperModel;
class NutChu;
class NutDac;
class NutVien;
class VongXoay;

// The request box: asks the parents for more time (or for one app), or exchanges points for
// time, then follows the answer. Reads everything but its own choice and note from the model.
class HopXin : public The {
    Q_OBJECT
public:
    HopXin(HelperModel& m, std::optional<std::string> appId, std::optional<std::string> appName,
           bool doiDiem, int phut, const QString& loiNhan, std::function<void()> dong,
           QWidget* parent = nullptr);

    bool doiDiem() const { return doiDiem_; }
    void setDoiDiem(bool doiDiem);

protected:
    // Return or Enter anywhere in the box presses the send button.
    void keyPressEvent(QKeyEvent* event) override;

private:
    void capNhat();
    void gui();
    // The choice of the mode shown: asking and exchanging each keep their own.
    int& phutChon() { return doiDiem_ ? phutDoi_ : phutXin_; }

    HelperModel& m_;
    std::optional<std::string> appId_;
    std::optional<std::string> appName_;
    bool doiDiem_;
    int phutXin_;
    int phutDoi_;
    std::function<void()> dong_;

    QWidget* dau_;
    VongXoay* xoay_;
    QLabel* tieuDe_;
    QLabel* phu_;
    ChonMot* chon_;
    QLineEdit* loiNhan_;
    QLabel* loi_;
    NutDac* nutGui_;
    NutVien* nutLai_;
    NutChu* nutDong_;
};

} // namespace tovu

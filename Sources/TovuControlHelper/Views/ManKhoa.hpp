#pragma once

#include <QWidget>

class QLabel;

namespace tovu {

class BieuTuong;
class HelperModel;
class HopXin;
class NutVien;

// The lock screen that covers a display while the policy is locked: why, for whom, and a way
// to ask the parents or exchange points (except at bedtime).
class ManKhoa : public QWidget {
    Q_OBJECT
public:
    // doi: the request box starts in points-exchange mode.
    ManKhoa(HelperModel& m, bool doi, QWidget* parent = nullptr);

    bool doi() const { return doi_; }

    // Puts control under the request controls, above the offline line.
    void addControl(QWidget* control);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void capNhat();

    HelperModel& m_;
    bool doi_;
    BieuTuong* icon_;
    QLabel* tieuDe_;
    QLabel* phu_;
    HopXin* hop_;
    NutVien* nutDoi_;
    QLabel* matMang_;
};

} // namespace tovu

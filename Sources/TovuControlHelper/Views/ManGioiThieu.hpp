#pragma once

#include "Views/The.hpp"

class QLabel;

namespace tovu {

class HelperModel;

// The about card: protection is on, what the parents see, and today's time and mode.
class ManGioiThieu : public The {
    Q_OBJECT
public:
    explicit ManGioiThieu(HelperModel& m, QWidget* parent = nullptr);

private:
    void capNhat();

    HelperModel& m_;
    QWidget* vach_;
    QLabel* thoiGian_;
    QLabel* cheDo_;
};

} // namespace tovu

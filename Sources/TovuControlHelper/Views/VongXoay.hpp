#pragma once

#include <QBasicTimer>
#include <QWidget>

namespace tovu {

// A small spinning progress indicator; turns only while shown.
class VongXoay : public QWidget {
    Q_OBJECT
public:
    explicit VongXoay(QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    QBasicTimer timer_;
    int buoc_ = 0;
};

} // namespace tovu

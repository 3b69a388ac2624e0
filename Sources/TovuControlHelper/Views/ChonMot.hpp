#pragma once

#include <QWidget>
#include <vector>

class QHBoxLayout;

namespace tovu {

// A segmented choice among amounts of minutes; the enclosing view owns the selection.
class ChonMot : public QWidget {
    Q_OBJECT
public:
    explicit ChonMot(QWidget* parent = nullptr);

    const std::vector<int>& ds() const { return ds_; }
    void setDs(std::vector<int> ds);
    int chon() const { return chon_; }
    void setChon(int n);

signals:
    // A segment was clicked.
    void chonDoi(int n);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QHBoxLayout* hang_;
    std::vector<int> ds_;
    int chon_ = 0;
};

} // namespace tovu

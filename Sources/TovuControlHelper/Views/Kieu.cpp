#include "Views/Kieu.hpp"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFontDatabase>
#include <QLabel>
#include <QLocale>
#include <QPalette>
#include <chrono>

namespace tovu {

namespace {
const char* const family = "Noto Sans";
}

const QColor& Mau::xanh() {
    static const QColor c(21, 128, 61);
    return c;
}
const QColor& Mau::xanhInk() {
    static const QColor c(22, 101, 52);
    return c;
}
const QColor& Mau::chuPhu() {
    static const QColor c(74, 77, 87);
    return c;
}
const QColor& Mau::chuThe() {
    static const QColor c = QColor::fromRgbF(0.09f, 0.09f, 0.09f);
    return c;
}
const QColor& Mau::chuChinh() {
    static const QColor c(0, 0, 0, 217);
    return c;
}
const QColor& Mau::loi() {
    static const QColor c(220, 38, 38);
    return c;
}

void Kieu::napPhongChu() {
    const QDir dir("/usr/share/fonts/truetype/noto");
    for (const QString& file : dir.entryList({"NotoSans-*.ttf"}, QDir::Files))
        QFontDatabase::addApplicationFont(dir.filePath(file));
    QApplication::setFont(phong(coChu));
}

QFont Kieu::phong(int px, QFont::Weight weight) {
    QFont f(family);
    f.setPixelSize(px);
    f.setWeight(weight);
    // The same glyph shapes on every machine, whatever its fontconfig says.
    f.setHintingPreference(QFont::PreferNoHinting);
    f.setStyleStrategy(QFont::PreferAntialias);
    return f;
}

void Kieu::toMau(QWidget* widget, const QColor& colour) {
    QPalette p = widget->palette();
    p.setColor(QPalette::WindowText, colour);
    p.setColor(QPalette::Text, colour);
    p.setColor(QPalette::ButtonText, colour);
    widget->setPalette(p);
}

QLabel* Kieu::nhan(const QString& text, int px, QFont::Weight weight, std::optional<QColor> colour,
                   QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(phong(px, weight));
    if (colour) toMau(label, *colour);
    return label;
}

QString Kieu::gioPhut(Time t) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch());
    return QLocale::system().toString(QDateTime::fromMSecsSinceEpoch(ms.count()).time(),
                                      QLocale::ShortFormat);
}

} // namespace tovu

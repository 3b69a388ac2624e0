#pragma once

#include "TovuProtocol/Clock.hpp"

#include <QColor>
#include <QFont>
#include <QString>
#include <optional>
#include <string>

class QLabel;
class QWidget;

// The agent's visual vocabulary: colours, the one typeface and text labels.
namespace tovu::Mau {
const QColor& xanh();     // filled buttons at rest, status icons
const QColor& xanhInk();  // pressed buttons, text on white buttons, selection, granted headline
const QColor& chuPhu();   // secondary text, unselected choices, the close link
const QColor& chuThe();   // default text on the white cards
const QColor& chuChinh(); // primary label colour of outlined buttons
const QColor& loi();      // error messages
} // namespace tovu::Mau

namespace tovu::Kieu {

// Logical pixels of the default text.
inline constexpr int coChu = 13;

// Loads Noto Sans from the system's font files and makes it the application font, so that every
// screen draws Vietnamese the same way on every machine. Needs a QGuiApplication.
void napPhongChu();

// Noto Sans at px logical pixels.
QFont phong(int px, QFont::Weight weight = QFont::Normal);

// Sets the text colour a widget and its children draw with.
void toMau(QWidget* widget, const QColor& colour);

// A label in the given font; colour absent keeps the parent's text colour.
QLabel* nhan(const QString& text, int px = coChu, QFont::Weight weight = QFont::Normal,
             std::optional<QColor> colour = std::nullopt, QWidget* parent = nullptr);

// The time of day of t in the short form of the user's locale.
QString gioPhut(Time t);

inline QString qs(const std::string& utf8) {
    return QString::fromStdString(utf8);
}

} // namespace tovu::Kieu

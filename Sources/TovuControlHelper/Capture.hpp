#pragma once

#include "TovuProtocol/Clock.hpp"

#include <QString>
#include <memory>
#include <optional>

class QWidget;

namespace tovu {

// The directory after the first "--chup" of the command line; absent when there is no "--chup"
// or nothing follows it.
std::optional<QString> thuMucChup(int argc, const char* const* argv);

// Draws every screen of the agent once, with sample data, into PNG files in dir (made with its
// parents when missing) and prints each written file's name without extension. Returns whether
// every file was written. Needs a QApplication; contacts no daemon.
bool chup(const QString& dir, const Clock& clock = SystemClock::shared());

// Draws view, centred in width × height logical pixels, into dir/name.png and prints name.
// Returns false when the file cannot be made, after telling its path on standard error.
bool luu(const QString& dir, const QString& name, int width, int height,
         std::unique_ptr<QWidget> view);

} // namespace tovu

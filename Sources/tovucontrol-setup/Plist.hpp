#pragma once

#include <map>
#include <string>
#include <variant>
#include <vector>

namespace tovu {

// The little a launchd job description needs: texts, flags and lists of texts.
using PlistValue = std::variant<std::string, bool, std::vector<std::string>>;
using Plist = std::map<std::string, PlistValue>;

// An XML property list (version 1.0) holding the dictionary, keys in sorted order.
std::string plistXml(const Plist& dictionary);

} // namespace tovu

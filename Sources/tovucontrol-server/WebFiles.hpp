#pragma once

#include <map>
#include <string_view>

namespace tovu::server {

// The console's files, by name, as they were in web/ when the server was built.
const std::map<std::string_view, std::string_view>& webFiles();

} // namespace tovu::server

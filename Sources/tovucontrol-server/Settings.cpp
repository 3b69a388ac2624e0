#include "Settings.hpp"

#include <cerrno>
#include <fstream>
#include <grp.h>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace tovu::server {

namespace {

std::string trimmed(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

[[noreturn]] void fail(const char* what) {
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

std::vector<std::string> withSettings(const std::string& file, std::vector<std::string> args) {
    std::ifstream in(file);
    if (!in) return args;
    std::vector<std::string> settings;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        line = trimmed(line);
        if (line.empty() || line.starts_with('#')) continue;
        const auto equals = line.find('=');
        const std::string name =
            equals == std::string::npos ? std::string() : trimmed(line.substr(0, equals));
        const std::string value =
            equals == std::string::npos ? std::string() : trimmed(line.substr(equals + 1));
        if (name.empty() || value.empty())
            throw std::runtime_error(file + ":" + std::to_string(number) +
                                     ": cần dạng tên = giá trị");
        settings.insert(settings.end(), {"--" + name, value});
    }
    // The program's name stays first.
    const auto after = args.empty() ? args.begin() : args.begin() + 1;
    args.insert(after, settings.begin(), settings.end());
    return args;
}

void becomeOwnerOf(const std::string& folder) {
    struct stat st {};
    if (::geteuid() != 0 || ::stat(folder.c_str(), &st) != 0 || st.st_uid == 0) return;
    if (::setgroups(0, nullptr) != 0) fail("setgroups");
    if (::setgid(st.st_gid) != 0) fail("setgid");
    if (::setuid(st.st_uid) != 0) fail("setuid");
}

} // namespace tovu::server

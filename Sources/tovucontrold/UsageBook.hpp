#pragma once

#include "TovuProtocol/Clock.hpp"
#include "TovuProtocol/Models.hpp"

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace tovu {

// The child's minutes of the three latest days, one entry per day and app: counted by the
// daemon, named by the agent's reports and by the shell's word on the app in front. Every
// operation may run on any thread; none of them blocks on anything but the book's own lock.
class UsageBook {
public:
    // Minutes the daemon counted that no report of the app in front has named.
    static constexpr const char* khongRoId = "vn.morvane.tovucontrold.khongro";
    static constexpr const char* khongRoTen = "Không rõ ứng dụng";
    // How long the shell's word on the app in front holds.
    static constexpr std::chrono::seconds truocMatCon{15};
    static constexpr std::size_t maxAppsPerDay = 256;

    // An app identifier the server takes as it is: not empty, nothing to clean, not too long.
    static bool laAppId(const std::string& id);

    explicit UsageBook(const Clock& clock);
    UsageBook(const UsageBook&) = delete;
    UsageBook& operator=(const UsageBook&) = delete;

    // Takes back what state.json kept, held to the same bounds as what arrives: no day more
    // minutes than it has had. Returns the days that are full, for the log.
    std::vector<std::string> khoiPhuc(const std::vector<UsageEntry>& stored);
    // Names minutes the daemon counted after the agent's report: an app's minutes of a day never
    // go down, and grow only by minutes still unnamed. Keeps three days. Returns the days that
    // have just become full, for the log.
    std::vector<std::string> ghiUsage(const std::vector<UsageEntry>& entries);
    // The daemon's own count of the child's minutes of use on day so far; the minutes it adds go
    // to the app in front, if the shell said so lately, else they are booked as khongRoId until
    // a report names them. Whether the book grew.
    bool demPhut(const std::string& day, std::int64_t minutes);
    // Takes the names of entries the server refused off their minutes, which go among the day's
    // unnamed ones; the day never names those apps again. Returns how many went.
    std::size_t boQua(const std::vector<UsageEntry>& refused);
    // The app in front as the child's shell says it now; absent: none that names minutes.
    void truocMat(std::optional<std::pair<std::string, std::string>> idAndName);

    std::int64_t tongNgay(const std::string& day) const;
    std::int64_t tongHomNay() const;
    // Every entry, in the order they came.
    std::vector<UsageEntry> entries() const;
    // The entries with minutes, of one day or (day absent) of every day.
    std::vector<UsageEntry> coPhut(const std::optional<std::string>& day = std::nullopt) const;
    // Grows with every change, for the saves.
    std::uint64_t changes() const;

private:
    // What the book holds of one day, so that a merge finds an app without a search.
    struct Ngay {
        std::unordered_map<std::string, std::size_t> app; // appId → index in usage_
        std::int64_t tong = 0;                            // every minute counted, named or not
        bool daBaoDay = false;                            // the "full" log line was written
        std::set<std::string> tuChoi;                     // appIds the server refused
    };
    struct TruocMat {
        std::string id;
        std::string name;
        Time luc;
    };

    std::int64_t tong(const std::string& day) const;
    // Merges entries and keeps the three latest days; returns the days that have just become
    // full. naming: the entries name counted minutes (a report), else they are kept minutes
    // (read back at start). The caller holds mutex_.
    std::vector<std::string> gop(const std::vector<UsageEntry>& entries, bool naming);
    // Where the day's unnamed minutes are, added when missing; absent when the day is full.
    std::optional<std::size_t> khongRo(const std::string& day);
    void giuBaNgay();
    void lapChiMuc();

    const Clock& clock_;
    mutable std::mutex mutex_; // guards everything below
    std::vector<UsageEntry> usage_;
    std::map<std::string, Ngay> chiMuc_; // by day
    std::optional<TruocMat> truocMat_;
    std::uint64_t changes_ = 1;
};

} // namespace tovu

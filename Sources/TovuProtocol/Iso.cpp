#include "TovuProtocol/Iso.hpp"

#include <cstdint>
#include <ctime>

namespace tovu::Iso {

namespace {

// Reads text left to right; every read fails (returns false) rather than running past the end.
class Reader {
public:
    explicit Reader(std::string_view text)
        : text_(text) {}

    bool done() const { return pos_ == text_.size(); }
    bool peek(char c) const { return pos_ < text_.size() && text_[pos_] == c; }
    bool literal(char c) {
        if (!peek(c)) return false;
        ++pos_;
        return true;
    }
    bool digit() const { return pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9'; }
    // Exactly count decimal digits, in the range [low, high].
    bool number(int count, int low, int high, int& out) {
        out = 0;
        for (int i = 0; i < count; ++i) {
            if (!digit()) return false;
            out = out * 10 + (text_[pos_++] - '0');
        }
        return out >= low && out <= high;
    }
    // One or more digits after the decimal point, as nanoseconds (digits past the ninth are
    // read and dropped).
    bool fraction(std::int64_t& nanos) {
        if (!digit()) return false;
        nanos = 0;
        int count = 0;
        for (; digit(); ++pos_, ++count)
            if (count < 9) nanos = nanos * 10 + (text_[pos_] - '0');
        for (; count < 9; ++count)
            nanos *= 10;
        return true;
    }
    bool sign(int& out) {
        if (literal('+'))
            out = 1;
        else if (literal('-'))
            out = -1;
        else
            return false;
        return true;
    }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

} // namespace

std::optional<Time> parse(std::string_view text) {
    using namespace std::chrono;
    Reader r(text);
    int y, mo, d, h, mi, s;
    if (!(r.number(4, 0, 9999, y) && r.literal('-') && r.number(2, 1, 12, mo) && r.literal('-') &&
          r.number(2, 1, 31, d) && r.literal('T') && r.number(2, 0, 23, h) && r.literal(':') &&
          r.number(2, 0, 59, mi) && r.literal(':') && r.number(2, 0, 59, s)))
        return std::nullopt;
    std::int64_t nanos = 0;
    if (r.literal('.') && !r.fraction(nanos)) return std::nullopt;
    int offsetMinutes = 0;
    int sign, oh, om;
    if (r.sign(sign)) {
        if (!(r.number(2, 0, 23, oh) && r.literal(':') && r.number(2, 0, 59, om)))
            return std::nullopt;
        offsetMinutes = sign * (oh * 60 + om);
    } else if (!r.literal('Z')) {
        return std::nullopt;
    }
    if (!r.done()) return std::nullopt;

    const year_month_day date{year{y}, month{static_cast<unsigned>(mo)},
                              day{static_cast<unsigned>(d)}};
    if (!date.ok()) return std::nullopt;
    const sys_seconds utc =
        sys_days{date} + hours{h} + minutes{mi} + seconds{s} - minutes{offsetMinutes};
    // Time counts nanoseconds in 64 bits: roughly the years 1678 to 2261.
    const auto whole = duration_cast<seconds>(Time::duration::max()).count() - 1;
    if (utc.time_since_epoch().count() < -whole || utc.time_since_epoch().count() > whole)
        return std::nullopt;
    return time_point_cast<Time::duration>(utc) + duration_cast<Time::duration>(nanoseconds{nanos});
}

std::string format(Time t) {
    const std::time_t secs = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

} // namespace tovu::Iso

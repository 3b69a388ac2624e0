#pragma once

#include <string>

namespace tovu {

class HelperModel;
class StatusItem;

// Tells the child shortly before the day's time runs out, once when 5 minutes are left and once
// at the last minute. What was told today is kept in the session's runtime folder, so that a
// restarted agent does not tell it again; the child owns that folder, but can only lose a
// warning by it.
class LockWarning {
public:
    LockWarning();

    // Called with every apply of the policy.
    void baoTruoc(const HelperModel& m, StatusItem& item);

private:
    void nho(std::string ngay, int moc);

    std::string file_;
    std::string ngay_;
    // The last threshold told on day ngay_; 0 since the minutes were last above the first one.
    int moc_ = 0;
};

} // namespace tovu

#pragma once

#include "TovuCore/Ipc.hpp"
#include "TovuProtocol/Clock.hpp"
#include "TovuProtocol/Models.hpp"

#include <QObject>
#include <cstdint>
#include <functional>
#include <optional>
#include <qcoro/qcorotask.h>
#include <string>
#include <variant>
#include <vector>

namespace tovu {

// Where the child's request to the parents stands.
struct TrangThaiXin {
    struct Cho { // waits for the parents
        std::string id;
        std::int64_t phut = 0;
        bool operator==(const Cho&) const = default;
    };
    struct Duoc { // granted until den
        std::int64_t phut = 0;
        Time den;
        bool operator==(const Duoc&) const = default;
    };
    struct DoiDuoc { // points exchanged at once
        std::int64_t phut = 0;
        bool operator==(const DoiDuoc&) const = default;
    };
    struct ChuaXin {
        bool operator==(const ChuaXin&) const = default;
    };
    struct DangGui {
        bool operator==(const DangGui&) const = default;
    };
    struct TuChoi {
        bool operator==(const TuChoi&) const = default;
    };
    struct DoiKhong {
        bool operator==(const DoiKhong&) const = default;
    };

    std::variant<Cho, Duoc, DoiDuoc, ChuaXin, DangGui, TuChoi, DoiKhong> v = ChuaXin{};

    TrangThaiXin() = default;
    template <class Case>
    TrangThaiXin(Case c)
        : v(std::move(c)) {}

    template <class Case> bool is() const { return std::holds_alternative<Case>(v); }
    template <class Case> const Case* get() const { return std::get_if<Case>(&v); }

    bool operator==(const TrangThaiXin&) const = default;
};

// The agent's one observable model: what the daemon last said, the child's request and the
// current time. Lives on the main thread; every field announces its changes.
class HelperModel : public QObject {
    Q_OBJECT
public:
    using Call = std::function<QCoro::Task<IpcResponse>(IpcRequest)>;

    explicit HelperModel(const Clock& clock = SystemClock::shared(), QObject* parent = nullptr);

    const std::optional<Policy>& policy() const { return policy_; }
    bool online() const { return online_; }
    const std::optional<std::string>& loi() const { return loi_; }
    const TrangThaiXin& xin() const { return xin_; }
    const std::optional<std::string>& appBiChan() const { return appBiChan_; }
    const std::optional<EndedApp>& daDong() const { return daDong_; }
    Time now() const { return now_; }

    void setPolicy(std::optional<Policy> value);
    void setOnline(bool value);
    void setLoi(std::optional<std::string> value);
    void setXin(TrangThaiXin value);
    void setAppBiChan(std::optional<std::string> value);
    void setDaDong(std::optional<EndedApp> value);
    void setNow(Time value);

    // How the daemon is reached; the default runs Ipc::call off the main thread.
    Call call;
    static QCoro::Task<IpcResponse> goiDaemon(IpcRequest request);

    // Refreshes the policy (op "policy"), or reports usage and refreshes (op "usage").
    QCoro::Task<> lamMoi(std::optional<std::vector<UsageEntry>> usage = std::nullopt);
    // Polls the waiting request.
    QCoro::Task<> hoiLoiXin();
    // Asks the parents for more time, or for one app when an app is named.
    QCoro::Task<> guiXin(std::int64_t phut, std::string note, std::optional<std::string> appId,
                         std::optional<std::string> appName);
    // Asks to exchange points for time.
    QCoro::Task<> doiDiem(std::int64_t phut);

    // Menu-bar title: a grant's countdown, "Đã khoá", the minutes left or "TovuControl".
    std::string tieuDeMenu() const;

signals:
    void policyChanged();
    void onlineChanged();
    void loiChanged();
    void xinChanged();
    void appBiChanChanged();
    void daDongChanged();
    void nowChanged();
    // The daemon has another agent for this login session: this one is not wanted.
    void phienDaCoAgent();

private:
    // One exchange through call; absent when the model is gone by the time the answer comes.
    QCoro::Task<std::optional<IpcResponse>> hoi(IpcRequest request);
    // Sends a request (xin goes to dangGui); its result, or absent after a failure (xin back to
    // chuaXin, loi set) or when the model is gone.
    QCoro::Task<std::optional<RequestResult>> guiYeuCau(IpcRequest request);

    std::optional<Policy> policy_;
    bool online_ = true;
    std::optional<std::string> loi_;
    TrangThaiXin xin_;
    std::optional<std::string> appBiChan_;
    std::optional<EndedApp> daDong_;
    Time now_;
};

} // namespace tovu

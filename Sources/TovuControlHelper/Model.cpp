#include "Model.hpp"

#include "TovuCore/Paths.hpp"
#include "TovuCore/Rules.hpp"
#include "TovuProtocol/Iso.hpp"

#include <QPointer>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>
#include <cstdio>
#include <cstdlib>
#include <qcoro/qcorofuture.h>

namespace tovu {

namespace {

constexpr const char* khongChay = "Dịch vụ TovuControl không chạy";

// The socket exchange blocks up to 25 s; a pool of its own keeps a slow daemon from queueing
// every later call behind the few threads of the global pool. Never destroyed, so a call still
// waiting does not hold up the exit.
QThreadPool& socketPool() {
    static QThreadPool* const pool = [] {
        auto* p = new QThreadPool;
        p->setMaxThreadCount(16);
        return p;
    }();
    return *pool;
}

template <class T> bool thay(T& field, T value) {
    if (field == value) return false;
    field = std::move(value);
    return true;
}

} // namespace

HelperModel::HelperModel(const Clock& clock, QObject* parent)
    : QObject(parent)
    , call(&HelperModel::goiDaemon)
    , now_(clock.now()) {}

void HelperModel::setPolicy(std::optional<Policy> value) {
    if (thay(policy_, std::move(value))) emit policyChanged();
}

void HelperModel::setOnline(bool value) {
    if (thay(online_, value)) emit onlineChanged();
}

void HelperModel::setLoi(std::optional<std::string> value) {
    if (thay(loi_, std::move(value))) emit loiChanged();
}

void HelperModel::setXin(TrangThaiXin value) {
    if (thay(xin_, std::move(value))) emit xinChanged();
}

void HelperModel::setAppBiChan(std::optional<std::string> value) {
    if (thay(appBiChan_, std::move(value))) emit appBiChanChanged();
}

void HelperModel::setDaDong(std::optional<EndedApp> value) {
    if (thay(daDong_, std::move(value))) emit daDongChanged();
}

void HelperModel::setNow(Time value) {
    if (thay(now_, value)) emit nowChanged();
}

QCoro::Task<IpcResponse> HelperModel::goiDaemon(IpcRequest request) {
    // The daemon leaves the session to the agent only while it holds the session's display.
    if (const char* display = std::getenv("DISPLAY")) request.display = display;
    // Built in a statement of its own: GCC 12 mishandles a lambda temporary inside a co_await
    // expression (its capture was freed twice).
    QFuture<IpcResponse> answer = QtConcurrent::run(&socketPool(), [request = std::move(request)] {
        return Ipc::call(request, Paths::socket());
    });
    co_return co_await answer;
}

QCoro::Task<std::optional<IpcResponse>> HelperModel::hoi(IpcRequest request) {
    QPointer<HelperModel> self(this);
    // A copy, so that a replaced call cannot pull its captures from under the running exchange.
    const Call goi = call;
    IpcResponse answer = co_await goi(std::move(request));
    if (!self) co_return std::nullopt;
    if (answer.error == Ipc::daCoAgent) emit phienDaCoAgent();
    co_return answer;
}

QCoro::Task<> HelperModel::lamMoi(std::optional<std::vector<UsageEntry>> usage) {
    IpcRequest request;
    request.op = usage ? "usage" : "policy";
    request.entries = std::move(usage);
    const auto answer = co_await hoi(std::move(request));
    if (!answer) co_return;
    if (!answer->ok) {
        setLoi(answer->error);
        co_return;
    }
    if (answer->policy) setPolicy(answer->policy);
    if (answer->ended) setDaDong(answer->ended);
    setOnline(answer->online.value_or(false));
    if (loi_ == khongChay) setLoi(std::nullopt);
}

QCoro::Task<> HelperModel::hoiLoiXin() {
    const auto* waiting = xin_.get<TrangThaiXin::Cho>();
    if (!waiting) co_return;
    const TrangThaiXin::Cho asked = *waiting;
    IpcRequest request;
    request.op = "requestState";
    request.id = asked.id;
    const auto answer = co_await hoi(std::move(request));
    if (!answer || !answer->ok || !answer->state) co_return;
    // Only the request that was asked about moves on; a late answer must not overwrite a newer
    // request or an answer that another poll already brought.
    if (xin_ != TrangThaiXin(asked)) co_return;
    const RequestState& state = *answer->state;
    if (state.status == "duoc") {
        const auto den = state.grantEndsAt ? Iso::parse(*state.grantEndsAt) : std::nullopt;
        if (!den) co_return;
        setXin(TrangThaiXin::Duoc{state.grantedMinutes.value_or(asked.phut), *den});
        co_await lamMoi();
    } else if (state.status == "tu_choi" || state.status == "thay") {
        setXin(TrangThaiXin::TuChoi{});
    }
}

QCoro::Task<std::optional<RequestResult>> HelperModel::guiYeuCau(IpcRequest request) {
    setXin(TrangThaiXin::DangGui{});
    const auto answer = co_await hoi(std::move(request));
    if (!answer) co_return std::nullopt;
    if (answer->ok && answer->result) {
        setLoi(std::nullopt);
        co_return answer->result;
    }
    setLoi(answer->error.value_or("Chưa gửi được"));
    setXin(TrangThaiXin::ChuaXin{});
    co_return std::nullopt;
}

QCoro::Task<> HelperModel::guiXin(std::int64_t phut, std::string note,
                                  std::optional<std::string> appId,
                                  std::optional<std::string> appName) {
    IpcRequest request;
    request.op = "request";
    request.kind = "them_gio";
    request.minutes = phut;
    request.appId = std::move(appId);
    request.appName = std::move(appName);
    request.note = std::move(note);
    const auto result = co_await guiYeuCau(std::move(request));
    if (result) setXin(TrangThaiXin::Cho{result->id, phut});
}

QCoro::Task<> HelperModel::doiDiem(std::int64_t phut) {
    IpcRequest request;
    request.op = "request";
    request.kind = "doi_diem";
    request.minutes = phut;
    const auto result = co_await guiYeuCau(std::move(request));
    if (!result) co_return;
    if (result->status == "tu_duyet") {
        setXin(TrangThaiXin::DoiDuoc{phut});
        co_await lamMoi();
    } else if (result->status == "cho") {
        setXin(TrangThaiXin::Cho{result->id, phut});
    } else {
        setXin(TrangThaiXin::DoiKhong{});
    }
}

std::string HelperModel::tieuDeMenu() const {
    if (!policy_) return "TovuControl";
    if (const auto end = policy_->grantEnd(); end && *end > now_)
        return Rules::demNguoc(*end, now_);
    if (policy_->locked) return "Đã khoá";
    if (!policy_->minutesLeft) return "TovuControl";
    const std::int64_t n = *policy_->minutesLeft;
    if (n < 60) return std::to_string(n) + " ph";
    char phut[8];
    std::snprintf(phut, sizeof phut, "%02d", static_cast<int>(n % 60));
    return std::to_string(n / 60) + "g" + phut;
}

} // namespace tovu

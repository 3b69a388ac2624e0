#include "Helper.hpp"

#include "TovuCore/Rules.hpp"
#include "TovuProtocol/Iso.hpp"
#include "Views/BieuTuong.hpp"
#include "Views/HopXin.hpp"
#include "Views/Kieu.hpp"
#include "Views/ManGioiThieu.hpp"
#include "Views/ManKhongDuoc.hpp"
#include "platform/Session.hpp"
#include "platform/StatusItem.hpp"
#include "platform/Workspace.hpp"

#include <QGuiApplication>
#include <QIcon>
#include <QMenu>
#include <QPointer>
#include <QScreen>
#include <QVBoxLayout>
#include <unistd.h>
#include <utility>

namespace tovu {

namespace {

// A window may be closed from inside one of its own event handlers (a button of the panel), so
// it goes when control is back in the event loop.
void bo(std::unique_ptr<QWidget>& window) {
    if (!window) return;
    window->hide();
    window.release()->deleteLater();
}

// A program ended longer ago than this is not told: the agent was not there to tell it then.
constexpr std::chrono::minutes daDongGanDay{1};

QIcon khien() {
    QIcon icon;
    for (int side : {16, 22, 24, 32, 48, 64})
        icon.addPixmap(BieuTuong::anh(BieuTuong::Hinh::KhienCheck, Mau::xanh(), side));
    return icon;
}

} // namespace

Helper::Helper(Workspace& workspace, Session& session, StatusItem& item, const Clock& clock,
               HelperIntervals intervals)
    : m(clock)
    , workspace_(workspace)
    , session_(session)
    , item_(item)
    , clock_(clock) {
    nhipTimer_.setInterval(intervals.nhip);
    usageTimer_.setInterval(intervals.usage);
}

Helper::~Helper() = default;

void Helper::start() {
    dungMenu();

    connect(&workspace_, &Workspace::activated, this, &Helper::doiApp);
    // Nothing in front: nothing is counted until the next activation, as while asleep.
    connect(&workspace_, &Workspace::deactivated, this, &Helper::ngu);
    connect(&workspace_, &Workspace::launched, this, &Helper::moApp);
    connect(&session_, &Session::asleep, this, &Helper::ngu);
    connect(&session_, &Session::awake, this, &Helper::thuc);
    connect(&m, &HelperModel::daDongChanged, this, &Helper::baoDaDong);

    moDau();

    // A firing does not wait for the task of the one before: a slow daemon must not stop the
    // clock or the blocking.
    connect(&usageTimer_, &QTimer::timeout, this, [this] { guiUsage(); });
    connect(&nhipTimer_, &QTimer::timeout, this, [this] { nhip(); });
    usageTimer_.start();
    nhipTimer_.start();
}

void Helper::dungMenu() {
    menu_ = std::make_unique<QMenu>();
    connect(menu_->addAction("TovuControl đang bật"), &QAction::triggered, this,
            &Helper::gioiThieu);
    menu_->addSeparator();
    connect(menu_->addAction("Xin thêm thời gian…"), &QAction::triggered, this, &Helper::xinThem);

    item_.show(khien(), menu_.get());
}

QCoro::Task<> Helper::moDau() {
    QPointer<Helper> self(this);
    IpcRequest request;
    request.op = "usageToday";
    const HelperModel::Call goi = m.call;
    const IpcResponse answer = co_await goi(std::move(request));
    if (!self) co_return;
    // The stored minutes count even when the daemon reports a failure with them.
    if (answer.entries) tracker.khoiPhuc(*answer.entries);
    thuc();
    co_await m.lamMoi();
    if (!self) co_return;
    apDung();
}

QCoro::Task<> Helper::guiUsage() {
    QPointer<Helper> self(this);
    const Time now = clock_.now();
    tracker.chot(now);
    co_await m.lamMoi(tracker.entries(UsageTracker::ngay(now)));
    if (!self) co_return;
    apDung();
}

QCoro::Task<> Helper::nhip() {
    QPointer<Helper> self(this);
    m.setNow(clock_.now());
    const bool cho = m.xin().is<TrangThaiXin::Cho>();
    if (cho) {
        co_await m.hoiLoiXin();
        if (!self) co_return;
    }
    // Until the daemon's policy no longer carries the past end, every tick asks again; and
    // every tick calls the daemon, which counts a session as guarded only while its agent calls.
    const auto end = m.policy() ? m.policy()->grantEnd() : std::nullopt;
    if (!cho || (end && *end <= clock_.now())) {
        co_await m.lamMoi();
        if (!self) co_return;
    }
    apDung();
}

void Helper::apDung() {
    item_.setTitle(Kieu::qs(m.tieuDeMenu()));
    lockWarning_.baoTruoc(m, item_);
    if (!m.policy()) return;
    const Policy& policy = *m.policy();
    // While locked the lock screen is in front and everything else closes; in "hoc" only the
    // allowed apps stay.
    if (policy.locked || policy.mode == "hoc") quet(policy);
}

bool Helper::choPhep(const RunningApp& app, const Policy& policy) const {
    if (!app.regular || app.pid == getpid()) return true;
    return Rules::choMo(
        app.identifier ? std::optional<std::string_view>(*app.identifier) : std::nullopt, policy);
}

void Helper::quet(const Policy& policy) {
    for (const RunningApp& app : workspace_.runningApps())
        if (!choPhep(app, policy)) workspace_.forceTerminate(app);
}

void Helper::chan(const RunningApp& app) {
    if (!m.policy() || choPhep(app, *m.policy())) return;
    const QString ten = app.name && !app.name->empty() ? Kieu::qs(*app.name) : "App này";
    const QString id = app.identifier ? Kieu::qs(*app.identifier) : QString();
    workspace_.forceTerminate(app);
    // The lock screen already says why.
    if (m.policy()->locked) return;
    m.setAppBiChan(ten.toStdString());
    moHop(new ManKhongDuoc(m, ten, id, dongHop(), false));
}

void Helper::baoDaDong() {
    const auto& ended = m.daDong();
    const auto at = ended ? Iso::parse(ended->at) : std::nullopt;
    // The lock screen already says why.
    if (!at || clock_.now() - *at > daDongGanDay || !m.policy() || m.policy()->locked) return;
    const QString ten = ended->appName.empty() ? "App này" : Kieu::qs(ended->appName);
    const QString lyDo = ended->reason == EndedApp::notNow
                             ? QString()
                             : "TovuControl đã đóng " + ten + ": " + Kieu::qs(ended->reason) + ".";
    m.setAppBiChan(ten.toStdString());
    moHop(new ManKhongDuoc(m, ten, Kieu::qs(ended->appId), dongHop(), false, lyDo));
}

void Helper::thuc() {
    const auto front = workspace_.frontmostApp();
    tracker.doiApp(front ? front->identifier : std::nullopt, front ? front->name : std::nullopt,
                   clock_.now());
}

void Helper::ngu() {
    tracker.doiApp(std::nullopt, std::nullopt, clock_.now());
}

void Helper::doiApp(const RunningApp& app) {
    tracker.doiApp(app.identifier, app.name, clock_.now());
    chan(app);
}

void Helper::moApp(const RunningApp& app) {
    chan(app);
}

void Helper::gioiThieu() {
    moHop(new ManGioiThieu(m));
}

void Helper::xinThem() {
    if (!m.xin().is<TrangThaiXin::Cho>()) m.setXin(TrangThaiXin::ChuaXin{});
    moHop(new HopXin(m, std::nullopt, std::nullopt, false, 60, QString(), dongHop()));
}

void Helper::moHop(QWidget* screen) {
    bo(hop_);
    hop_ = std::make_unique<QWidget>(nullptr, Qt::Window | Qt::CustomizeWindowHint |
                                                  Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                                                  Qt::WindowStaysOnTopHint);
    hop_->setWindowTitle("TovuControl");
    auto* layout = new QVBoxLayout(hop_.get());
    layout->setContentsMargins(0, 0, 0, 0);
    // The cards change height with the request's state; the panel follows.
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->addWidget(screen);
    layout->activate();
    if (QScreen* primary = QGuiApplication::primaryScreen()) {
        // The content is centred; the window manager's frame comes around it.
        QRect area = hop_->rect();
        area.moveCenter(primary->availableGeometry().center());
        hop_->setGeometry(area);
    }
    hop_->show();
    hop_->raise();
    hop_->activateWindow();
}

std::function<void()> Helper::dongHop() {
    return [self = QPointer<Helper>(this)] {
        if (self) bo(self->hop_);
    };
}

} // namespace tovu

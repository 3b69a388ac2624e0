#include "LockSession.hpp"

#include "TovuProtocol/Clock.hpp"
#include "Views/Kieu.hpp"
#include "Views/ManKhoa.hpp"
#include "Views/Nut.hpp"
#include "Views/The.hpp"

#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QScreen>
#include <QVBoxLayout>
#include <QWidget>
#include <chrono>

namespace tovu {

LockSession::LockSession()
    : window_(std::make_unique<QWidget>(nullptr, Qt::Window | Qt::FramelessWindowHint)) {
    // The agent's tick.
    timer_.setInterval(std::chrono::seconds(5));
    window_->setWindowTitle("TovuControl");
    // Only a gap between monitors of different sizes shows it.
    QPalette palette = window_->palette();
    palette.setColor(QPalette::Window, QColor::fromRgbF(0.13f, 0.33f, 0.23f));
    window_->setPalette(palette);
    window_->setAutoFillBackground(true);
}

LockSession::~LockSession() {
    if (qGuiApp) qGuiApp->disconnect(this);
}

void LockSession::start() {
    auto watch = [this](QScreen* screen) {
        connect(screen, &QScreen::geometryChanged, this, &LockSession::arrange);
    };
    connect(qGuiApp, &QGuiApplication::screenAdded, this, [this, watch](QScreen* screen) {
        watch(screen);
        arrange();
    });
    connect(qGuiApp, &QGuiApplication::screenRemoved, this, &LockSession::arrange);
    for (QScreen* screen : QGuiApplication::screens())
        watch(screen);

    arrange();
    window_->show();
    // Typing goes to the note to the parents at once, and Return sends it.
    if (ManKhoa* view = screens_.value(QGuiApplication::primaryScreen()))
        if (auto* note = view->findChild<QLineEdit*>("loiNhan")) note->setFocus();

    connect(&timer_, &QTimer::timeout, this, [this] { nhip(); });
    nhip();
    timer_.start();
}

void LockSession::arrange() {
    const QList<QScreen*> screens = QGuiApplication::screens();
    QRect layout;
    for (QScreen* screen : screens)
        layout |= screen->geometry();
    for (auto it = screens_.begin(); it != screens_.end();) {
        if (screens.contains(it.key())) {
            ++it;
            continue;
        }
        delete it.value();
        it = screens_.erase(it);
    }
    for (QScreen* screen : screens) {
        ManKhoa*& view = screens_[screen];
        if (!view) {
            view = new ManKhoa(m, false, window_.get());
            view->addControl(greeterControl(view));
            view->show();
        }
        // The window's origin is the layout's top-left corner.
        view->setGeometry(screen->geometry().translated(-layout.topLeft()));
    }
    window_->resize(layout.size());
}

QWidget* LockSession::greeterControl(QWidget* parent) {
    auto* control = new QWidget(parent);
    auto* cot = new QVBoxLayout(control);
    cot->setContentsMargins(0, 0, 0, 0);
    cot->setSpacing(8);
    auto* button = new NutVien("Đăng nhập tài khoản khác", true, control);
    button->setFixedWidth(The::rong);
    // Reached with Tab, but a click leaves the keyboard in the request box.
    button->setFocusPolicy(Qt::TabFocus);
    auto* error = Kieu::nhan({}, 14, QFont::Normal, Qt::white, control);
    error->setFixedWidth(The::rong);
    error->setWordWrap(true);
    error->setAlignment(Qt::AlignHCenter);
    cot->addWidget(button);
    cot->addWidget(error);

    auto update = [this, button, error] {
        button->setEnabled(!greeterBusy_);
        error->setText(greeterError_);
        error->setVisible(!greeterError_.isEmpty());
    };
    connect(button, &QPushButton::clicked, this, [this] { openGreeter(); });
    connect(this, &LockSession::greeterChanged, control, update);
    update();
    return control;
}

QCoro::Task<> LockSession::nhip() {
    QPointer<LockSession> self(this);
    m.setNow(SystemClock::shared().now());
    if (m.xin().is<TrangThaiXin::Cho>()) {
        co_await m.hoiLoiXin();
        if (!self) co_return;
    }
    co_await m.lamMoi();
}

QCoro::Task<> LockSession::openGreeter() {
    QPointer<LockSession> self(this);
    greeterBusy_ = true;
    greeterError_.clear();
    emit greeterChanged();
    IpcRequest request;
    request.op = "greeter";
    const HelperModel::Call goi = m.call;
    const IpcResponse answer = co_await goi(std::move(request));
    if (!self) co_return;
    greeterBusy_ = false;
    if (!answer.ok) greeterError_ = Kieu::qs(answer.error.value_or("Chưa mở được"));
    emit greeterChanged();
}

} // namespace tovu

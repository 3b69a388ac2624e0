#pragma once

#include "Model.hpp"
#include "Views/Kieu.hpp"

#include <QAbstractButton>
#include <QApplication>
#include <QFuture>
#include <QLabel>
#include <QPromise>
#include <QTest>
#include <deque>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <qcoro/qcorofuture.h>

// Readable failure messages for Qt texts.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace tovu::test {

// One QApplication on the offscreen platform for the whole test program.
class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "tests";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QApplication>(argc, argv);
        Kieu::napPhongChu();
    }
    void TearDown() override { app_.reset(); }

private:
    std::unique_ptr<QApplication> app_;
};

static ::testing::Environment* const qtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// A daemon that records every request and answers only when the test says so.
class FakeDaemon {
public:
    struct Cuoc {
        IpcRequest request;
        QPromise<IpcResponse> promise;
        bool resumed = false;
    };

    HelperModel::Call call() {
        return [this](IpcRequest request) -> QCoro::Task<IpcResponse> {
            auto& cuoc = *calls_.emplace_back(std::make_unique<Cuoc>());
            cuoc.request = std::move(request);
            cuoc.promise.start();
            IpcResponse response = co_await cuoc.promise.future();
            cuoc.resumed = true;
            co_return response;
        };
    }

    std::size_t count() const { return calls_.size(); }
    const IpcRequest& request(std::size_t i) const { return calls_.at(i)->request; }
    const IpcRequest& last() const { return calls_.back()->request; }

    // Releases the answer of call i and runs the main thread until the waiting operation has
    // taken it (and gone on to its next call or its end).
    [[nodiscard]] bool answer(std::size_t i, IpcResponse response) {
        Cuoc& cuoc = *calls_.at(i);
        cuoc.promise.addResult(std::move(response));
        cuoc.promise.finish();
        return QTest::qWaitFor([&] { return cuoc.resumed; }, 5000);
    }

private:
    std::deque<std::unique_ptr<Cuoc>> calls_;
};

// The request the model is expected to send: yeuCau("request").kind("them_gio").minutes(30).
struct yeuCau {
    IpcRequest r;
    explicit yeuCau(std::string op) { r.op = std::move(op); }
    yeuCau& kind(std::string v) { return r.kind = std::move(v), *this; }
    yeuCau& minutes(std::int64_t v) { return r.minutes = v, *this; }
    yeuCau& appId(std::string v) { return r.appId = std::move(v), *this; }
    yeuCau& appName(std::string v) { return r.appName = std::move(v), *this; }
    yeuCau& note(std::string v) { return r.note = std::move(v), *this; }
    yeuCau& id(std::string v) { return r.id = std::move(v), *this; }
    operator IpcRequest() const { return r; }
};

inline IpcResponse ok() {
    IpcResponse r;
    r.ok = true;
    return r;
}

inline IpcResponse failed(std::optional<std::string> error) {
    IpcResponse r;
    r.error = std::move(error);
    return r;
}

inline Policy policy(bool locked = false, std::optional<std::string> lockReason = std::nullopt) {
    Policy p;
    p.serverTime = "2025-03-01T10:00:00Z";
    p.childName = "Bin";
    p.mode = "tu_do";
    p.locked = locked;
    p.lockReason = std::move(lockReason);
    p.nextCheckSec = 60;
    return p;
}

// Runs the event loop until the operation has finished; false after the deadline.
inline bool xong(const QCoro::Task<>& task) {
    return QTest::qWaitFor([&] { return task.isReady(); }, 5000);
}

// Texts of the labels and buttons inside root that would show with it.
inline QStringList chuHien(const QWidget* root) {
    QStringList texts;
    for (const QWidget* w : root->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(root)) continue;
        if (const auto* label = qobject_cast<const QLabel*>(w))
            texts << label->text();
        else if (const auto* button = qobject_cast<const QAbstractButton*>(w))
            texts << button->text();
    }
    return texts;
}

// The visible button labelled text, or null.
inline QAbstractButton* nut(const QWidget* root, const QString& text) {
    for (auto* button : root->findChildren<QAbstractButton*>())
        if (button->text() == text && button->isVisibleTo(root)) return button;
    return nullptr;
}

} // namespace tovu::test

#pragma once

#include "Model.hpp"
#include "Views/Kieu.hpp"
#include "support/Support.hpp"
#include "support/XServer.hpp"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QPromise>
#include <QTest>
#include <deque>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <qcoro/qcorofuture.h>

// Readable failure messages for Qt texts.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace tovu::test {

// One QApplication for the whole test program, on the offscreen platform, or, onX, on an Xvfb
// server of its own with openbox.
class QtEnvironment : public ::testing::Environment {
public:
    explicit QtEnvironment(bool onX = false)
        : onX_(onX) {}
    void SetUp() override {
        if (onX_) {
            server_.emplace(true);
            qputenv("DISPLAY", QByteArray::fromStdString(server_->display()));
            // No session bus: Qt would start one through dbus-launch on the test display.
            qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent");
        }
        qputenv("QT_QPA_PLATFORM", onX_ ? "xcb" : "offscreen");
        static int argc = 1;
        static char name[] = "tests";
        static char* argv[] = {name, nullptr};
        app_.emplace(argc, argv);
        Kieu::napPhongChu();
    }
    void TearDown() override {
        app_.reset();
        server_.reset();
    }

private:
    bool onX_;
    std::optional<XServer> server_;
    std::optional<QApplication> app_;
};

inline bool waitFor(const std::function<bool()>& condition) {
    return QTest::qWaitFor(condition, 10000);
}

// A daemon answer: tra().policy(p), tra().result("r1", "cho"), tra(false).error("x").
struct tra {
    IpcResponse r;
    explicit tra(bool ok = true) { r.ok = ok; }
    tra& error(std::string v) { return r.error = std::move(v), *this; }
    tra& policy(Policy v, bool online = true) {
        return r.policy = std::move(v), r.online = online, *this;
    }
    tra& result(std::string id, std::string status) {
        return r.result = RequestResult{std::move(id), std::move(status), std::nullopt}, *this;
    }
    tra& state(std::string status, std::optional<std::int64_t> minutes = std::nullopt,
               std::optional<std::string> ends = std::nullopt) {
        return r.state = RequestState{std::move(status), minutes, std::move(ends)}, *this;
    }
    tra& entries(std::vector<UsageEntry> v) { return r.entries = std::move(v), *this; }
    tra& ended(EndedApp v) { return r.ended = std::move(v), *this; }
    operator IpcResponse() const { return r; }
};

// A daemon that records every request and answers only when the test says so. Calls still open
// at its end fail, so that no operation outlives the test.
class FakeDaemon {
public:
    ~FakeDaemon() {
        for (std::size_t i = 0; i < calls_.size(); ++i)
            if (!calls_[i]->answered) (void)answer(i, tra(false));
    }

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
    // The last request as it goes over the socket, keys sorted: {"id":"r1","op":"requestState"}.
    std::string last() const { return nlohmann::json(calls_.back()->request).dump(); }

    // Releases the answer of call i and runs the main thread until the waiting operation has
    // taken it (and gone on to its next call or its end).
    [[nodiscard]] bool answer(std::size_t i, IpcResponse response) {
        Cuoc& cuoc = *calls_.at(i);
        cuoc.answered = true;
        cuoc.promise.addResult(std::move(response));
        cuoc.promise.finish();
        return QTest::qWaitFor([&] { return cuoc.resumed; }, 5000);
    }

private:
    struct Cuoc {
        IpcRequest request;
        QPromise<IpcResponse> promise;
        bool answered = false;
        bool resumed = false;
    };
    std::deque<std::unique_ptr<Cuoc>> calls_;
};

// A model whose calls go to a fake daemon, at a time the test sets.
class ModelTest : public ::testing::Test {
protected:
    void SetUp() override { m.call = daemon.call(); }

    FakeDaemon daemon;
    ManualClock clock{utcTime(2025, 3, 1, 10, 0)};
    HelperModel m{clock};
};

inline Policy policy(bool locked = false, std::optional<std::string> lockReason = std::nullopt) {
    Policy p;
    p.childName = "Bin";
    p.mode = "tu_do";
    p.locked = locked;
    p.lockReason = std::move(lockReason);
    return p;
}

// Runs the event loop until the operation has finished; false after the deadline.
inline bool xong(const QCoro::Task<>& task) {
    return QTest::qWaitFor([&] { return task.isReady(); }, 5000);
}

// Texts of the labels and buttons inside root that would show with it.
inline QStringList chuHien(const QWidget* root) {
    QStringList texts;
    for (const QWidget* w : root->findChildren<QWidget*>())
        if (w->isVisibleTo(root) &&
            (qobject_cast<const QLabel*>(w) || qobject_cast<const QAbstractButton*>(w)))
            texts << w->property("text").toString();
    return texts;
}

// The visible button labelled text, or null.
inline QAbstractButton* nut(const QWidget* root, const QString& text) {
    for (auto* button : root->findChildren<QAbstractButton*>())
        if (button->text() == text && button->isVisibleTo(root)) return button;
    return nullptr;
}

} // namespace tovu::test

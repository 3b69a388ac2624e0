// The built lock program in the real kiosk compositor with two monitors, against a stand-in
// daemon on a real socket; what it draws is read back through the compositor's screen copy.
#include "TovuCore/Ipc.hpp"
#include "support/Support.hpp"
#include "support/XServer.hpp"

#include <QImage>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace tovu::test {
namespace {

constexpr uid_t nobody = 65534;

class StandInDaemon {
public:
    explicit StandInDaemon(const std::string& path)
        : server_(Ipc::serve(path, [this](const IpcRequest& request, const Ipc::Peer&) {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
            const auto it = answers_.find(request.op);
            return it == answers_.end() ? IpcResponse::failure("no answer") : it->second;
        })) {}

    void answer(const std::string& op, IpcResponse response) {
        std::lock_guard lock(mutex_);
        answers_[op] = std::move(response);
    }
    std::optional<IpcRequest> last(const std::string& op) const {
        std::lock_guard lock(mutex_);
        for (auto it = requests_.rbegin(); it != requests_.rend(); ++it)
            if (it->op == op) return *it;
        return std::nullopt;
    }

private:
    mutable std::mutex mutex_;
    std::map<std::string, IpcResponse> answers_;
    std::vector<IpcRequest> requests_;
    std::unique_ptr<Ipc::Server> server_;
};

IpcResponse locked(const std::string& reason, bool exchange = false, bool online = true) {
    Policy policy;
    policy.childName = "Bin";
    policy.mode = "khoa";
    policy.locked = true;
    policy.lockReason = reason;
    policy.canExchangePoints = exchange;
    IpcResponse answer;
    answer.ok = true;
    answer.policy = policy;
    answer.online = online;
    return answer;
}

IpcResponse requestResult(const std::string& status) {
    IpcResponse answer;
    answer.ok = true;
    answer.result = RequestResult{"r1", status, std::nullopt};
    return answer;
}

IpcResponse requestState(const std::string& status, std::optional<std::string> grantEnd = {}) {
    IpcResponse answer;
    answer.ok = true;
    answer.state = RequestState{status, 30, std::move(grantEnd)};
    return answer;
}

// The widest run of white in any row wider than the card's inner part is the request box.
struct Card {
    int top = -1, bottom = -1, centre = -1;
    int height() const { return top < 0 ? 0 : bottom - top + 1; }
};

Card card(const QImage& image) {
    Card found;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0, run = 0; x <= image.width(); ++x) {
            const QRgb c = x < image.width() ? image.pixel(x, y) : 0;
            if (qRed(c) > 250 && qGreen(c) > 250 && qBlue(c) > 250) {
                ++run;
                continue;
            }
            if (run >= 300) {
                if (found.top < 0) found.top = y;
                found.bottom = y;
                found.centre = x - run / 2;
            }
            run = 0;
        }
    }
    return found;
}

// The lock's gradient on every pixel of the edges, from its light corner to its dark one.
bool coveredEdgeToEdge(const QImage& image) {
    const auto green = [&](int x, int y) {
        const QRgb c = image.pixel(x, y);
        return qGreen(c) >= qRed(c) && qGreen(c) >= qBlue(c) && qGreen(c) < 245;
    };
    const auto near = [&](int x, int y, int r, int g, int b) {
        const QRgb c = image.pixel(x, y);
        return std::abs(qRed(c) - r) + std::abs(qGreen(c) - g) + std::abs(qBlue(c) - b) < 20;
    };
    const int w = image.width(), h = image.height();
    for (int x = 0; x < w; ++x)
        if (!green(x, 0) || !green(x, h - 1)) return false;
    for (int y = 0; y < h; ++y)
        if (!green(0, y) || !green(w - 1, y)) return false;
    return near(0, 0, 214, 237, 217) && near(w - 1, h - 1, 33, 84, 59);
}

// Pixels of a colour close to c inside the card's rows.
int pixelsNear(const QImage& image, const Card& box, QRgb c) {
    int n = 0;
    for (int y = std::max(box.top, 0); y <= box.bottom; ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QRgb p = image.pixel(x, y);
            n += std::abs(qRed(p) - qRed(c)) + std::abs(qGreen(p) - qGreen(c)) +
                     std::abs(qBlue(p) - qBlue(c)) <
                 12;
        }
    return n;
}

// Light text in the band of rows [y0, y1) across the middle of the screen.
bool textIn(const QImage& image, int y0, int y1) {
    for (int y = std::max(y0, 0); y < std::min(y1, image.height()); ++y)
        for (int x = image.width() / 2 - 150; x < image.width() / 2 + 150; ++x)
            if (qRed(image.pixel(x, y)) > 200) return true;
    return false;
}

int headlineInk(const QImage& image) {
    return pixelsNear(image, card(image), qRgb(22, 101, 52));
}

enum class Backend { Headless, X11 };

class LockScreen : public ::testing::Test {
protected:
    void SetUp() override {
        // The compositor refuses to run as root; it runs as nobody, as it does as its own user.
        if (geteuid() != 0) GTEST_SKIP() << "needs root to run the compositor as nobody";
        chmod(dir_.path().c_str(), 0755);
        for (const char* sub : {"run", "shots"}) {
            std::filesystem::create_directory(dir_.path() / sub);
            ASSERT_EQ(chown(dir_.file(sub).c_str(), nobody, nobody), 0);
        }
        chmod(dir_.file("run").c_str(), 0700);
    }

    void start(Backend backend) {
        backend_ = backend;
        std::string display;
        if (backend == Backend::X11) {
            x_.emplace(false);
            display = x_->display();
        }
        const bool x11 = backend == Backend::X11;
        ScopedEnv env[] = {{"XDG_RUNTIME_DIR", dir_.file("run")},
                           {"WLR_BACKENDS", x11 ? "x11" : "headless"},
                           {x11 ? "WLR_X11_OUTPUTS" : "WLR_HEADLESS_OUTPUTS", "2"},
                           {"WLR_RENDERER", "pixman"},
                           {"WLR_LIBINPUT_NO_DEVICES", "1"},
                           {"TOVUC_SOCK", daemon_path_}};
        cage_.emplace(std::vector<std::string>{"cage", "-d", "--", TOVU_LOCK_EXE}, display, nobody);
    }

    // Both outputs, read through the compositor; empty before it draws.
    std::vector<QImage> shoot() {
        std::vector<QImage> images;
        for (const std::string output : {"1", "2"}) {
            const std::string name = (backend_ == Backend::X11 ? "X11-" : "HEADLESS-") + output;
            const std::string file = dir_.file("shots/" + output + ".png");
            if (!run({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "env",
                      "XDG_RUNTIME_DIR=" + dir_.file("run"), "WAYLAND_DISPLAY=wayland-0", "grim",
                      "-o", name, file},
                     ""))
                return {};
            images.emplace_back(QString::fromStdString(file));
        }
        return images;
    }

    // Screenshots until both outputs show the lock and ok(image, output 0 or 1) holds for each;
    // kept as state-1.png and state-2.png.
    std::vector<QImage> shootUntil(const std::string& state,
                                   const std::function<bool(const QImage&, int)>& ok) {
        std::vector<QImage> images;
        const bool shown = waitUntil(
            [&] {
                images = shoot();
                return images.size() == 2 && coveredEdgeToEdge(images[0]) &&
                       coveredEdgeToEdge(images[1]) && ok(images[0], 0) && ok(images[1], 1);
            },
            std::chrono::seconds(20));
        std::filesystem::create_directories(TOVU_SCREENSHOTS);
        for (std::size_t i = 0; i < images.size(); ++i)
            images[i].save(QString::fromStdString(std::string(TOVU_SCREENSHOTS) + "/" + state +
                                                  "-" + std::to_string(i + 1) + ".png"));
        EXPECT_TRUE(shown) << state;
        return images;
    }

    void xdotool(std::vector<std::string> args) {
        args.insert(args.begin(), "xdotool");
        ASSERT_TRUE(run(args, x_->display()));
    }
    // Both outputs' windows lie at the X screen's origin; the one on top takes the input.
    void click(int x, int y) {
        xdotool({"mousemove", std::to_string(x), std::to_string(y), "click", "1"});
    }

    TempDir dir_;
    std::string daemon_path_ = dir_.file("tovucontrold.sock");
    StandInDaemon daemon_{daemon_path_};
    Backend backend_ = Backend::Headless;
    std::optional<XServer> x_;
    std::optional<Child> cage_;
};

// Without any X server or input device, as on a console: each monitor gets its own lock screen,
// corner to corner, with the request box in its middle.
TEST_F(LockScreen, EachMonitorShowsTheStateOfThePolicy) {
    struct Case {
        std::string state;
        IpcResponse policy;
        bool requestBox;
        bool offlineLine;
    };
    for (const Case& c :
         {Case{"het_gio", locked("het_gio"), true, false}, Case{"ngu", locked("ngu"), false, false},
          Case{"mat_mang", locked("het_gio", false, false), true, true}}) {
        SCOPED_TRACE(c.state);
        daemon_.answer("policy", c.policy);
        start(Backend::Headless);
        shootUntil(c.state, [&](const QImage& image, int) {
            const Card box = card(image);
            if (!c.requestBox) return box.height() == 0;
            // Under the box: the other-account button, then the offline line or nothing.
            const int offline = box.bottom + 22 + 44 + 22;
            return std::abs(box.centre - image.width() / 2) <= 2 &&
                   textIn(image, offline, offline + 24) == c.offlineLine;
        });
        cage_.reset();
    }
}

TEST_F(LockScreen, NoteAndReturnAskTheParentsAndTheAnswerShows) {
    for (const bool granted : {false, true}) {
        SCOPED_TRACE(granted);
        daemon_.answer("policy", locked("het_gio"));
        daemon_.answer("request", requestResult("cho"));
        daemon_.answer("requestState", requestState("cho"));
        start(Backend::X11);
        const int form =
            card(shootUntil("xin", [](const QImage& i, int) { return card(i).height() > 0; })[0])
                .height();

        // Typing goes to the note at once; the pointer gives the output the keyboard.
        xdotool({"mousemove", "5", "5"});
        xdotool({"type", "--delay", "30", "xin them"});
        xdotool({"key", "Return"});
        ASSERT_TRUE(waitUntil([&] { return daemon_.last("request").has_value(); }));
        const IpcRequest sent = *daemon_.last("request");
        EXPECT_EQ(sent.kind, "them_gio");
        EXPECT_EQ(sent.minutes, 60);
        EXPECT_EQ(sent.note, "xin them");
        const int waiting =
            card(shootUntil("cho",
                            [&](const QImage& i, int) {
                                return card(i).height() > 0 && card(i).height() < form;
                            })[0])
                .height();

        daemon_.answer("requestState", granted ? requestState("duoc", "2030-01-01T10:00:00Z")
                                               : requestState("tu_choi"));
        // The granted headline is in the dark green ink; a refusal offers to ask again.
        shootUntil(granted ? "duoc" : "tu_choi", [&](const QImage& i, int) {
            return granted ? headlineInk(i) > 100
                           : headlineInk(i) == 0 && card(i).height() > waiting + 20;
        });
        cage_.reset();
        x_.reset();
    }
}

TEST_F(LockScreen, PointsExchangeAndTheOtherAccountButton) {
    daemon_.answer("policy", locked("het_gio", true));
    daemon_.answer("request", requestResult("tu_duyet"));
    daemon_.answer("greeter", IpcResponse::failure("Chưa có màn hình đăng nhập"));
    start(Backend::X11);
    const Card asking =
        card(shootUntil("xin_doi", [](const QImage& i, int) { return card(i).height() > 0; })[1]);

    // The mode button lies under the box; exchanging asks no note, so the box is shorter. Only
    // the output on top gets the click: each monitor's screen keeps its own mode.
    click(asking.centre, asking.bottom + 22 + 22);
    const Card exchange = card(shootUntil("doi_diem", [&](const QImage& i, int output) {
        const int height = card(i).height();
        return output == 0 ? height == asking.height() : height > 0 && height < asking.height();
    })[1]);
    click(exchange.centre, exchange.bottom - 22 - 22);
    ASSERT_TRUE(waitUntil([&] { return daemon_.last("request").has_value(); }));
    EXPECT_EQ(daemon_.last("request")->kind, "doi_diem");
    EXPECT_EQ(daemon_.last("request")->minutes, 30);
    // Exchanged at once: no mode button any more, the other-account button right under the box.
    const Card done =
        card(shootUntil("doi_duoc", [](const QImage& i, int) { return headlineInk(i) > 100; })[1]);

    click(done.centre, done.bottom + 22 + 22);
    ASSERT_TRUE(waitUntil([&] { return daemon_.last("greeter").has_value(); }));
    shootUntil("tai_khoan_khac_loi", [](const QImage& i, int) {
        const int under = card(i).bottom + 22 + 44 + 8;
        return textIn(i, under, under + 24);
    });
}

} // namespace
} // namespace tovu::test

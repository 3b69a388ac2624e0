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
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <unistd.h>

namespace tovu::test {
namespace {

constexpr uid_t nobody = 65534;

// Answers each op with what the test set last, and keeps every request.
class StandInDaemon {
public:
    explicit StandInDaemon(const std::string& path)
        : server_(Ipc::serve(path, [this](const IpcRequest& request, const Ipc::Peer&) {
            std::lock_guard lock(mutex_);
            requests_.push_back(request);
            return answers_.contains(request.op) ? answers_[request.op] : IpcResponse::failure("?");
        })) {}
    void answer(const std::string& op, const nlohmann::json& response) {
        std::lock_guard lock(mutex_);
        answers_[op] = response.get<IpcResponse>();
    }
    std::optional<IpcRequest> last(const std::string& op) {
        std::lock_guard lock(mutex_);
        const auto it =
            std::ranges::find(requests_.rbegin(), requests_.rend(), op, &IpcRequest::op);
        return it == requests_.rend() ? std::nullopt : std::optional(*it);
    }

private:
    std::mutex mutex_;
    std::map<std::string, IpcResponse> answers_;
    std::vector<IpcRequest> requests_;
    std::unique_ptr<Ipc::Server> server_;
};

nlohmann::json locked(const std::string& reason, bool exchange = false, bool online = true) {
    Policy policy;
    policy.childName = "Bin";
    policy.locked = true;
    policy.lockReason = reason;
    policy.canExchangePoints = exchange;
    return {{"ok", true}, {"online", online}, {"policy", policy}};
}

// The request box: the rows holding a run of white wider than any text, and where it is.
struct Card {
    int top = -1, bottom = -1, centre = -1;
    int height() const { return top < 0 ? 0 : bottom - top + 1; }
};

Card card(const QImage& image) {
    Card found;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0, run = 0; x <= image.width(); ++x) {
            if (x < image.width() && (image.pixel(x, y) & 0xffffff) == 0xffffff) {
                ++run;
                continue;
            }
            if (run >= 300) found = {found.top < 0 ? y : found.top, y, x - run / 2};
            run = 0;
        }
    return found;
}

// Pixels in the rows [y0, y1) across the middle 380 columns that pass test.
int count(const QImage& image, int y0, int y1, const std::function<bool(QRgb)>& test) {
    int n = 0;
    for (int y = std::max(y0, 0); y < std::min(y1, image.height()); ++y)
        for (int x = image.width() / 2 - 190; x < image.width() / 2 + 190; ++x)
            n += test(image.pixel(x, y));
    return n;
}

bool near(QRgb c, int r, int g, int b) {
    return std::abs(qRed(c) - r) + std::abs(qGreen(c) - g) + std::abs(qBlue(c) - b) < 20;
}

int headlineInk(const QImage& image) {
    const Card box = card(image);
    return count(image, box.top, box.bottom, [](QRgb c) { return near(c, 22, 101, 52); });
}

bool textUnder(const QImage& image, int below) {
    const int y = card(image).bottom + below;
    return count(image, y, y + 24, [](QRgb c) { return qRed(c) > 200; }) > 0;
}

// The lock's green on every pixel of the edges, from its light corner to its dark one.
bool coveredEdgeToEdge(const QImage& image) {
    const int w = image.width(), h = image.height();
    const auto green = [&](int x, int y) {
        const QRgb c = image.pixel(x, y);
        return qGreen(c) >= qRed(c) && qGreen(c) >= qBlue(c) && qGreen(c) < 245;
    };
    for (int x = 0; x < w; ++x)
        if (!green(x, 0) || !green(x, h - 1)) return false;
    for (int y = 0; y < h; ++y)
        if (!green(0, y) || !green(w - 1, y)) return false;
    return near(image.pixel(0, 0), 214, 237, 217) && near(image.pixel(w - 1, h - 1), 33, 84, 59);
}

class LockScreen : public ::testing::Test {
protected:
    void SetUp() override {
        // The compositor refuses to run as root; it runs as nobody, as it does as its own user.
        if (geteuid() != 0) GTEST_SKIP() << "needs root to run the compositor as nobody";
        chmod(dir_.path().c_str(), 0755);
        // Run from where nobody can surely reach it, wherever the build folder is.
        std::filesystem::copy_file(TOVU_LOCK_EXE, program_);
        std::filesystem::create_directory(dir_.path() / "run");
        chmod(dir_.file("run").c_str(), 0700);
        ASSERT_EQ(chown(dir_.file("run").c_str(), nobody, nobody), 0);
    }

    // Without X: the headless backend, with no input device, as on a console. With X: the X11
    // backend over Xvfb, whose seat takes xdotool's keys and clicks.
    void start(bool x11) {
        if (x11) x_.emplace(false);
        outputPrefix_ = x11 ? "X11-" : "HEADLESS-";
        ScopedEnv env[] = {{"XDG_RUNTIME_DIR", dir_.file("run")},
                           {"WLR_BACKENDS", x11 ? "x11" : "headless"},
                           {x11 ? "WLR_X11_OUTPUTS" : "WLR_HEADLESS_OUTPUTS", "2"},
                           {"WLR_RENDERER", "pixman"},
                           {"WLR_LIBINPUT_NO_DEVICES", "1"},
                           {"TOVUC_SOCK", socket_}};
        cage_.emplace(std::vector<std::string>{"cage", "-d", "--", program_},
                      x11 ? x_->display() : "", nobody);
    }

    // Both outputs through the compositor's screen copy, until both show the lock and
    // ok(image, output index) holds for each; kept as state-1.png and state-2.png.
    std::vector<QImage> shootUntil(const std::string& state,
                                   const std::function<bool(const QImage&, int)>& ok) {
        std::vector<QImage> images(2);
        const auto shoot = [&](int i) {
            const std::string file =
                dir_.file("run/" + state + "-" + std::to_string(i + 1) + ".png");
            images[i] = run({"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "env",
                             "XDG_RUNTIME_DIR=" + dir_.file("run"), "WAYLAND_DISPLAY=wayland-0",
                             "grim", "-o", outputPrefix_ + std::to_string(i + 1), file},
                            "")
                            ? QImage(QString::fromStdString(file))
                            : QImage();
            return !images[i].isNull() && coveredEdgeToEdge(images[i]) && ok(images[i], i);
        };
        EXPECT_TRUE(waitUntil([&] { return shoot(0) && shoot(1); }, std::chrono::seconds(20)))
            << state;
        std::filesystem::create_directories(TOVU_SCREENSHOTS);
        for (int i = 0; i < 2; ++i)
            images[i].save(QString::fromStdString(std::string(TOVU_SCREENSHOTS) + "/" + state +
                                                  "-" + std::to_string(i + 1) + ".png"));
        return images;
    }

    // Both outputs' windows lie at the X screen's origin; the one on top takes the input.
    void xdotool(const std::vector<std::string>& args) {
        std::vector<std::string> argv{"xdotool"};
        argv.insert(argv.end(), args.begin(), args.end());
        ASSERT_TRUE(run(argv, x_->display()));
    }
    void click(int x, int y) {
        xdotool({"mousemove", std::to_string(x), std::to_string(y), "click", "1"});
    }

    TempDir dir_;
    std::string socket_ = dir_.file("tovucontrold.sock");
    std::string program_ = dir_.file("tovucontrol-lock");
    StandInDaemon daemon_{socket_};
    std::string outputPrefix_;
    std::optional<XServer> x_;
    std::optional<Child> cage_;
};

TEST_F(LockScreen, EachMonitorShowsTheStateOfThePolicy) {
    // State, policy, and whether the request box and the offline line show.
    for (const auto& [state, policy, requestBox, offlineLine] :
         {std::tuple{"het_gio", locked("het_gio"), true, false},
          {"ngu", locked("ngu"), false, false},
          {"mat_mang", locked("het_gio", false, false), true, true}}) {
        SCOPED_TRACE(state);
        daemon_.answer("policy", policy);
        start(false);
        // Each monitor has a screen of its own, its box in its middle; under the box the
        // other-account button, then the offline line or nothing.
        shootUntil(state, [&](const QImage& image, int) {
            const Card box = card(image);
            return requestBox ? std::abs(box.centre - image.width() / 2) <= 2 &&
                                    textUnder(image, 22 + 44 + 22) == offlineLine
                              : box.height() == 0;
        });
        cage_.reset();
    }
}

// (A refusal, and each other answer, as the box shows it: HelperTests.)
TEST_F(LockScreen, NoteAndReturnAskTheParentsAndTheGrantShows) {
    daemon_.answer("policy", locked("het_gio"));
    daemon_.answer("request", {{"ok", true}, {"result", {{"id", "r1"}, {"status", "cho"}}}});
    daemon_.answer("requestState", {{"ok", true}, {"state", {{"status", "cho"}}}});
    start(true);
    const auto has = [](const QImage& i, int) { return card(i).height() > 0; };
    const int form = card(shootUntil("xin", has)[0]).height();

    // Typing goes to the note at once; the pointer gives the output the keyboard.
    xdotool({"mousemove", "5", "5", "type", "--delay", "30", "xin them"});
    xdotool({"key", "Return"});
    ASSERT_TRUE(waitUntil([&] { return daemon_.last("request").has_value(); }));
    EXPECT_EQ(daemon_.last("request")->kind, "them_gio");
    EXPECT_EQ(daemon_.last("request")->minutes, 60);
    EXPECT_EQ(daemon_.last("request")->note, "xin them");
    shootUntil("cho", [&](const QImage& i, int) { return has(i, 0) && card(i).height() < form; });

    daemon_.answer(
        "requestState",
        {{"ok", true},
         {"state",
          {{"status", "duoc"}, {"grantedMinutes", 30}, {"grantEndsAt", "2030-01-01T10:00:00Z"}}}});
    // The granted headline is in the dark green ink.
    shootUntil("duoc", [](const QImage& i, int) { return headlineInk(i) > 100; });
}

TEST_F(LockScreen, PointsExchangeAndTheOtherAccountButton) {
    daemon_.answer("policy", locked("het_gio", true));
    daemon_.answer("request", {{"ok", true}, {"result", {{"id", "r1"}, {"status", "tu_duyet"}}}});
    daemon_.answer("greeter", {{"ok", false}, {"error", "Chưa có màn hình đăng nhập"}});
    start(true);
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
    // Exchanged at once: the mode button is gone, the other-account button is under the box.
    const Card done =
        card(shootUntil("doi_duoc", [](const QImage& i, int) { return headlineInk(i) > 100; })[1]);

    click(done.centre, done.bottom + 22 + 22);
    ASSERT_TRUE(waitUntil([&] { return daemon_.last("greeter").has_value(); }));
    shootUntil("tai_khoan_khac_loi",
               [](const QImage& i, int) { return textUnder(i, 22 + 44 + 8); });
}

} // namespace
} // namespace tovu::test

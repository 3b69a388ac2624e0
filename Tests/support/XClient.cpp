#include "support/XClient.hpp"

#include <csignal>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace tovu::test {
namespace {

// Whether a process has ended, reaped or not.
bool ended(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto name = stat.rfind(')');
    return name == std::string::npos || stat.substr(name + 2, 1) == "Z";
}

// Runs in the forked process: shows the window and reports it and the holder on out.
[[noreturn]] void show(const std::string& display, const WindowSpec& shape, XClient::Then then,
                       int out) {
    using Then = XClient::Then;
    xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
    if (xcb_connection_has_error(c)) _exit(1);
    const xcb_window_t window = createWindow(c, shape);
    // Told before the window shows: an agent may end the process the moment it does.
    auto report = [&] {
        const pid_t holder = getpid();
        if (write(out, &window, sizeof window) < 0 || write(out, &holder, sizeof holder) < 0)
            _exit(1);
    };
    auto map = [&] {
        xcb_map_window(c, window);
        std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    };
    if (then != Then::stay && then != Then::exit) {
        const pid_t program = getpid();
        const pid_t heir = fork();
        if (heir == 0) {
            if (then == Then::leaveToStranger) setsid();
            if (then == Then::leaveUnreaped) {
                // Orphaned, it is given to another parent.
                while (getppid() == program)
                    usleep(1000);
            }
            report();
            if (then == Then::leaveUnreaped) map();
            for (;;)
                pause();
        }
        if (heir < 0 || then == Then::leaveUnreaped) _exit(heir < 0);
    } else {
        report();
    }
    map();
    if (then != Then::stay && then != Then::shareWithHeir) _exit(0);
    for (;;)
        pause();
}

} // namespace

xcb_window_t createWindow(xcb_connection_t* c, const WindowSpec& plan) {
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    const xcb_window_t window = xcb_generate_id(c);
    const std::uint32_t overrideRedirect = plan.overrideRedirect;
    xcb_create_window(
        c, XCB_COPY_FROM_PARENT, window, plan.parent ? plan.parent : root,
        static_cast<std::int16_t>(plan.area.x), static_cast<std::int16_t>(plan.area.y),
        static_cast<std::uint16_t>(plan.area.width), static_cast<std::uint16_t>(plan.area.height),
        0, XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_OVERRIDE_REDIRECT,
        &overrideRedirect);
    if (!plan.wmClass.empty()) {
        const std::string value = plan.wmClass + '\0' + plan.wmClass + '\0';
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                            static_cast<std::uint32_t>(value.size()), value.data());
    }
    for (const auto& [property, value] : plan.atoms) {
        const xcb_atom_t v = internAtom(c, value);
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, internAtom(c, property),
                            XCB_ATOM_ATOM, 32, 1, &v);
    }
    return window;
}

XClient::XClient(const std::string& display, const WindowSpec& window, Then then) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    child_ = fork();
    if (child_ == 0) {
        close(fds[0]);
        // Its own process group, as a shell gives to a program it starts, or its own session.
        if (then == Then::leaveUnreaped)
            setsid();
        else
            setpgid(0, 0);
        show(display, window, then, fds[1]);
    }
    close(fds[1]);
    const bool read = ::read(fds[0], &window_, sizeof window_) == sizeof window_ &&
                      ::read(fds[0], &holder_, sizeof holder_) == sizeof holder_;
    close(fds[0]);
    if (then == Then::exit || then == Then::leaveToStranger) {
        waitpid(child_, nullptr, 0);
        reaped_ = true;
        ended_ = then == Then::exit;
    }
    if (!read) {
        if (holder_ > 0 && holder_ != child_) kill(holder_, SIGKILL);
        if (!reaped_) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
        }
        throw std::runtime_error("the client showed no window");
    }
}

XClient::~XClient() {
    if (!ended_ && holder_ > 0 && holder_ != child_) kill(holder_, SIGKILL);
    if (reaped_) return;
    kill(child_, SIGKILL);
    waitpid(child_, nullptr, 0);
}

bool XClient::dead() {
    if (!ended_ && holder_ == child_) {
        ended_ = reaped_ = waitpid(child_, nullptr, WNOHANG) == child_;
    } else if (!ended_) {
        ended_ = ended(holder_);
    }
    return ended_;
}

void XClient::leave() {
    kill(child_, SIGKILL);
    waitpid(child_, nullptr, 0);
    reaped_ = true;
}

WindowFlood::WindowFlood(const std::string& display, int count, Churn churn)
    : c_(xcb_connect(display.c_str(), nullptr)) {
    if (xcb_connection_has_error(c_)) {
        xcb_disconnect(c_);
        throw std::runtime_error("cannot connect to " + display);
    }
    for (int i = 0; i < count; ++i)
        windows_.push_back(make(i));
    xcb_flush(c_);
    thread_ = std::thread([this, churn] {
        while (!stop_)
            for (std::size_t i = 0; i < windows_.size() && !stop_; ++i) {
                if (churn == Churn::remake) {
                    xcb_destroy_window(c_, windows_[i]);
                    windows_[i] = make(static_cast<int>(i));
                } else {
                    xcb_unmap_window(c_, windows_[i]);
                    xcb_map_window(c_, windows_[i]);
                }
                if (i % 256 == 0) xcb_flush(c_);
            }
    });
}

WindowFlood::~WindowFlood() {
    stop_ = true;
    thread_.join();
    xcb_disconnect(c_);
}

xcb_window_t WindowFlood::make(int i) {
    WindowSpec shape;
    shape.area = {2 * (i % 600), 2 * (i / 600), 2, 2};
    shape.overrideRedirect = true;
    const xcb_window_t window = createWindow(c_, shape);
    xcb_map_window(c_, window);
    return window;
}

} // namespace tovu::test

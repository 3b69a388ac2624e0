#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// Operating-system services, kept apart from the logic that uses them (Linux*.cpp).
namespace tovu::platform {

// The system's name as the parents' server knows it: "linux".
std::string name();

// "Linux 6.1" (kernel major.minor).
std::string osVersion();

// Built-in support directory: /var/lib/tovucontrol.
std::string supportDirectory();

// User id of the process at the other end of a connected Unix-domain socket.
std::optional<std::uint32_t> peerUid(int fd);

// User and process id of the process that connected a Unix-domain socket, as the kernel saw
// them at connect time; absent when the system cannot say.
struct PeerCredentials {
    std::uint32_t uid = 0;
    std::int32_t pid = 0;
    bool operator==(const PeerCredentials&) const = default;
};
std::optional<PeerCredentials> peerCredentials(int fd);

// Absolute path of the executable that a process runs (Linux: /proc/PID/exe), as the kernel
// knows it; absent when the process is gone or cannot be inspected. A process cannot forge it.
std::optional<std::string> executablePath(std::int32_t pid);

// Makes the allocator hand large blocks back to the system as soon as they are freed instead of
// keeping them for later (Linux: fixed mmap and trim thresholds). Called once, at start.
void keepMemoryLean();
// Hands the memory the allocator keeps free back to the system (Linux: malloc_trim), so that
// one large request does not leave the process big.
void releaseFreeMemory();

// Whether the account can make itself root (Linux: a member of sudo, wheel, admin or a group
// that is root in all but name, such as docker or disk; or named by a rule of the sudo policy).
bool isAdmin(const std::string& user);

// The computer's name as its owner sees it (Linux: PRETTY_HOSTNAME of /etc/machine-info,
// else the host name); absent when the system gives none.
std::optional<std::string> deviceName();

// Path of the running program with symbolic links resolved (argv0 is the fallback where the
// system cannot say); empty when neither resolves.
std::string programPath(const char* argv0);

// Lowest user id of a person's account: UID_MIN of /etc/login.defs (1000 when it says nothing).
std::uint32_t firstHumanUid();

struct Account {
    std::string name;
    std::uint32_t uid = 0;
    bool operator==(const Account&) const = default;
};

// Accounts of the people who may log in: those whose home is under /home, in the system's order.
std::vector<Account> homeAccounts();

// A system service that could not be reached or refused a call; what() says what it answered.
class ServiceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The graphical session an account starts, as the display manager keeps it (Linux:
// AccountsService's Session, XSession and SessionType: a session file's name without
// ".desktop", and "x11", "wayland" or empty).
struct SessionChoice {
    std::string session;
    std::string xSession;
    std::string sessionType;
    bool operator==(const SessionChoice&) const = default;
};
// Both throw ServiceError.
SessionChoice sessionChoice(const std::string& user);
void setSessionChoice(const std::string& user, const SessionChoice& choice);

} // namespace tovu::platform

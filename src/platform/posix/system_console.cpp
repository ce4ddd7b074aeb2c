// The system console: the terminals the kernel writes its own messages to
// (and often a login prompt), as /sys/class/tty/console/active and
// /proc/consoles name them. A box on that line would get the machine's
// messages, and the machine the box's bytes; nothing here opens a device.
#include "platform/serial_ports.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <system_error>

namespace platform {

namespace {

namespace fs = std::filesystem;

// Names of the active consoles: the words of `active`, the first word of each
// line of `consoles`.
std::set<std::string> consoleNames(const ListRoots& roots) {
    std::set<std::string> names{"console"};
    std::ifstream active(fs::path(roots.sys) / "class" / "tty" / "console" / "active");
    for (std::string name; active >> name;) names.insert(name);
    std::ifstream consoles(fs::path(roots.proc) / "consoles");
    for (std::string line; std::getline(consoles, line);) {
        std::istringstream words(line);
        if (std::string name; words >> name) names.insert(name);
    }
    return names;
}

// Where a name leads, links followed as far as they exist.
fs::path resolved(const std::string& path) {
    std::error_code error;
    const fs::path result = fs::weakly_canonical(fs::absolute(path, error), error);
    return error ? fs::path(path).lexically_normal() : result;
}

bool sameCharacterDevice(const std::string& a, const std::string& b) {
    struct stat first {};
    struct stat second {};
    return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 && S_ISCHR(first.st_mode) &&
           S_ISCHR(second.st_mode) && first.st_rdev == second.st_rdev;
}

}  // namespace

ListRoots systemRoots() {
    ListRoots roots;
    const char* root = std::getenv("UPDATE_SYSTEM_ROOT");
    if (root == nullptr || root[0] == '\0') return roots;
    roots.sys = std::string(root) + "/sys";
    roots.dev = std::string(root) + "/dev";
    roots.proc = std::string(root) + "/proc";
    return roots;
}

bool isSystemConsole(const std::string& device, const ListRoots& roots) {
    if (device.empty()) return false;
    const fs::path wanted = resolved(device);
    for (const std::string& name : consoleNames(roots)) {
        if (name.find('/') != std::string::npos || name == "." || name == "..") continue;
        const std::string console = (fs::path(roots.dev) / name).string();
        if (resolved(console) == wanted || sameCharacterDevice(console, device)) return true;
    }
    return false;
}

}  // namespace platform

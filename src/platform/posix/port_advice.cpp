// Advice after a port would not open, from what the system can tell: the
// ports that do exist, the group a device belongs to, the program holding it.
#include "platform/serial_ports.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <fstream>

namespace platform {

namespace {

namespace fs = std::filesystem;

struct GroupFacts {
    std::string name;
    bool inThisSession = false;  // the process carries the group now
    bool inDatabase = false;     // the user was made a member, perhaps after logging in
};

GroupFacts groupFacts(gid_t group) {
    GroupFacts facts;
    const struct group* entry = getgrgid(group);
    facts.name = entry != nullptr ? entry->gr_name : std::to_string(group);
    if (getegid() == group) facts.inThisSession = true;
    const int count = getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<std::size_t>(count) : 0);
    if (count > 0 && getgroups(count, groups.data()) == count) {
        facts.inThisSession = facts.inThisSession || std::find(groups.begin(), groups.end(), group) != groups.end();
    }
    const struct passwd* user = getpwuid(geteuid());
    if (entry != nullptr && user != nullptr) {
        for (char** member = entry->gr_mem; *member != nullptr; ++member) {
            if (user->pw_name != nullptr && std::string(*member) == user->pw_name) facts.inDatabase = true;
        }
    }
    return facts;
}

std::vector<std::string> adviceForNoPermission(const std::string& device) {
    struct stat status {};
    if (stat(device.c_str(), &status) != 0) return {};
    if (status.st_gid == 0) {
        return {device + " is open to root alone; a udev rule (GROUP=\"dialout\") can give it to a group."};
    }
    const GroupFacts group = groupFacts(status.st_gid);
    if (group.inThisSession) {
        return {device + " belongs to group " + group.name + ", which you are in, but its permissions refuse you.",
                "Check them with: ls -l " + device};
    }
    if (group.inDatabase) {
        return {device + " belongs to group " + group.name + "; you joined it after this session began.",
                "Log out and back in (or start a shell with: newgrp " + group.name + ")."};
    }
    return {device + " belongs to group " + group.name + ", and you are not in it.",
            "Join it with: sudo usermod -aG " + group.name + " $USER, then log out and back in."};
}

struct Holder {
    std::string pid;
    std::string name;
};

bool allDigits(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

// The processes with the device open: their descriptors in /proc lead to the
// same file. Other users' processes stay hidden unless we are root.
std::vector<Holder> holdersOf(const std::string& device, const fs::path& procRoot) {
    std::vector<Holder> holders;
    struct stat wanted {};
    if (stat(device.c_str(), &wanted) != 0) return holders;
    const std::string self = std::to_string(getpid());
    std::error_code error;
    for (fs::directory_iterator process(procRoot, error), end; !error && process != end; process.increment(error)) {
        const std::string pid = process->path().filename().string();
        if (!allDigits(pid) || pid == self) continue;
        std::error_code fdError;
        for (fs::directory_iterator fd(process->path() / "fd", fdError), fdEnd; !fdError && fd != fdEnd;
             fd.increment(fdError)) {
            struct stat open {};
            if (stat(fd->path().c_str(), &open) != 0 || open.st_dev != wanted.st_dev || open.st_ino != wanted.st_ino) {
                continue;
            }
            std::ifstream comm(process->path() / "comm");
            std::string name;
            std::getline(comm, name);
            holders.push_back({pid, name.empty() ? "a program" : name});
            break;
        }
    }
    std::sort(holders.begin(), holders.end(), [](const Holder& a, const Holder& b) {
        return a.pid.size() != b.pid.size() ? a.pid.size() < b.pid.size() : a.pid < b.pid;
    });
    return holders;
}

std::vector<std::string> adviceForBusyDevice(const std::string& device, const ListRoots& roots) {
    const std::vector<Holder> holders = holdersOf(device, roots.proc);
    if (holders.empty()) {
        return {"Another program holds " + device + "; as root, fuser -v " + device + " shows which."};
    }
    std::string names;
    for (const Holder& holder : holders) {
        names += (names.empty() ? "" : ", ") + holder.name + " (pid " + holder.pid + ")";
    }
    const std::string held = device + " is held by " + names;
    const auto holds = [&](const char* name) {
        return std::any_of(holders.begin(), holders.end(), [name](const Holder& h) { return h.name == name; });
    };
    // Two services take USB serial adapters on their own as they are plugged in.
    if (holds("ModemManager")) {
        return {held + "; ModemManager probes new serial adapters for modems.",
                "Stop it with: sudo systemctl stop ModemManager (the udev rule of the update package keeps it away)."};
    }
    if (holds("brltty")) {
        return {held + "; brltty, the Braille display service, claims some USB serial adapters.",
                "Without a Braille display: sudo systemctl mask brltty-udev.service, or remove the brltty package."};
    }
    return {held + "; end it or let it close the port first."};
}

}  // namespace

std::vector<std::string> adviceForOpenFailure(const std::string& device, std::uint32_t errorCode,
                                              const ListRoots& roots) {
    switch (errorCode) {
        case ENOENT:
            return adviceForMissingDevice(device, listSerialPorts(roots),
                                          "update --list-ports tells what each is; choose one with --port <device>.");
        case EACCES: return adviceForNoPermission(device);
        case EBUSY:
        case EWOULDBLOCK: return adviceForBusyDevice(device, roots);
        case ENOTTY: return {device + " is not a terminal device, so it cannot be a serial port."};
        default: return {};
    }
}

}  // namespace platform

// Device node permissions and holders, read through stat, the user and group databases and /proc.
#include "platform/device_access.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace platform {

namespace {

std::string GroupName(uint32_t id) {
    const group* entry = getgrgid(id);
    return entry != nullptr ? entry->gr_name : std::to_string(id);
}

std::string UserName(uint32_t id) {
    const passwd* entry = getpwuid(id);
    return entry != nullptr ? entry->pw_name : std::to_string(id);
}

bool Contains(const std::vector<uint32_t>& ids, uint32_t id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

unsigned major_of(dev_t device) {
    return major(device);
}

unsigned minor_of(dev_t device) {
    return minor(device);
}

bool IsNumber(const char* text) {
    return *text != '\0' && std::all_of(text, text + std::char_traits<char>::length(text),
                                        [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

NodeFacts ReadNodeFacts(const std::string& path) {
    NodeFacts facts;
    struct stat info {};
    if (path.empty() || stat(path.c_str(), &info) != 0) {
        return facts;
    }
    char resolved[PATH_MAX];
    facts.exists = true;
    facts.path = realpath(path.c_str(), resolved) != nullptr ? resolved : path;
    facts.mode = info.st_mode & 07777;
    facts.ownerId = info.st_uid;
    facts.groupId = info.st_gid;
    facts.owner = UserName(info.st_uid);
    facts.group = GroupName(info.st_gid);
    facts.isCharDevice = S_ISCHR(info.st_mode);
    return facts;
}

std::string LinkTarget(const std::string& path) {
    char target[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    if (length <= 0) {
        return path;
    }
    return std::string(target, static_cast<size_t>(length));
}

UserFacts CurrentUser() {
    UserFacts user;
    user.userId = geteuid();
    user.name = UserName(user.userId);
    const int count = getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<size_t>(count) : 0);
    if (count > 0 && getgroups(count, groups.data()) == count) {
        user.processGroups.assign(groups.begin(), groups.end());
    }
    user.processGroups.push_back(getegid());
    int listed = 64;
    std::vector<gid_t> listedGroups(static_cast<size_t>(listed));
    const passwd* entry = getpwuid(user.userId);
    if (entry != nullptr) {
        if (getgrouplist(entry->pw_name, entry->pw_gid, listedGroups.data(), &listed) < 0) {
            listedGroups.resize(static_cast<size_t>(listed));
            getgrouplist(entry->pw_name, entry->pw_gid, listedGroups.data(), &listed);
        }
        listedGroups.resize(static_cast<size_t>(std::max(listed, 0)));
        user.listedGroups.assign(listedGroups.begin(), listedGroups.end());
    }
    std::sort(user.processGroups.begin(), user.processGroups.end());
    user.processGroups.erase(std::unique(user.processGroups.begin(), user.processGroups.end()),
                             user.processGroups.end());
    for (const uint32_t id : user.processGroups) {
        user.processGroupNames.push_back(GroupName(id));
    }
    return user;
}

AccessVerdict JudgeAccess(const NodeFacts& node, const UserFacts& user, bool usbCameraNode) {
    AccessVerdict verdict;
    constexpr uint32_t READ_WRITE_OWNER = 0600;
    constexpr uint32_t READ_WRITE_GROUP = 0060;
    constexpr uint32_t READ_WRITE_OTHER = 0006;
    const bool ownerMay = user.userId == node.ownerId && (node.mode & READ_WRITE_OWNER) == READ_WRITE_OWNER;
    const bool groupMay = (node.mode & READ_WRITE_GROUP) == READ_WRITE_GROUP;
    verdict.allowed = user.userId == 0 || ownerMay || (node.mode & READ_WRITE_OTHER) == READ_WRITE_OTHER ||
                      (groupMay && Contains(user.processGroups, node.groupId));
    if (verdict.allowed) {
        return verdict;
    }
    if (usbCameraNode) {
        verdict.fix = AccessFix::UdevRule;
    } else if (groupMay && node.groupId != 0) {
        verdict.group = node.group;
        verdict.fix =
            Contains(user.listedGroups, node.groupId) ? AccessFix::LogInAgain : AccessFix::JoinGroup;
    } else {
        verdict.fix = AccessFix::OnlyRoot;
    }
    return verdict;
}

bool MayOpen(const std::string& path) {
    return access(path.c_str(), R_OK | W_OK) == 0;
}

std::vector<Holder> FindHolders(const std::string& path, const std::string& procRoot) {
    std::vector<Holder> holders;
    struct stat target {};
    if (stat(path.c_str(), &target) != 0) {
        return holders;
    }
    const bool device = S_ISCHR(target.st_mode) || S_ISBLK(target.st_mode);
    DIR* processes = opendir(procRoot.c_str());
    if (processes == nullptr) {
        return holders;
    }
    const std::string self = std::to_string(getpid());
    while (const dirent* process = readdir(processes)) {
        if (!IsNumber(process->d_name) || self == process->d_name) {
            continue;
        }
        const std::string fdDir = procRoot + "/" + process->d_name + "/fd";
        DIR* fds = opendir(fdDir.c_str());
        if (fds == nullptr) {
            continue;
        }
        bool holds = false;
        while (const dirent* fd = readdir(fds)) {
            struct stat open {};
            if (!IsNumber(fd->d_name) || stat((fdDir + "/" + fd->d_name).c_str(), &open) != 0) {
                continue;
            }
            holds = device
                        ? (S_ISCHR(open.st_mode) || S_ISBLK(open.st_mode)) && open.st_rdev == target.st_rdev
                        : open.st_dev == target.st_dev && open.st_ino == target.st_ino;
            if (holds) {
                break;
            }
        }
        closedir(fds);
        if (!holds) {
            continue;
        }
        Holder holder;
        holder.pid = std::atoi(process->d_name);
        std::ifstream comm(procRoot + "/" + process->d_name + "/comm");
        std::getline(comm, holder.command);
        holders.push_back(holder);
    }
    closedir(processes);
    std::sort(holders.begin(), holders.end(), [](const Holder& a, const Holder& b) { return a.pid < b.pid; });
    return holders;
}

std::vector<Holder> FindLockHolders(const std::string& path, const std::string& procRoot) {
    std::vector<Holder> holders;
    struct stat target {};
    if (stat(path.c_str(), &target) != 0) {
        return holders;
    }
    // "1: FLOCK  ADVISORY  WRITE 4242 00:19:5 0 EOF": the pid, then major:minor (hexadecimal) of the
    // file system and the inode.
    std::ifstream locks(procRoot + "/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, where;
        if (!(fields >> number >> kind >> mode >> access) || number.back() != ':') {
            continue;
        }
        if (access == "->") {  // a waiter's line repeats its kind; skip it
            continue;
        }
        if (!(fields >> pid >> where)) {
            continue;
        }
        unsigned major = 0;
        unsigned minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(where.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3 ||
            inode != static_cast<unsigned long long>(target.st_ino) || major != major_of(target.st_dev) ||
            minor != minor_of(target.st_dev)) {
            continue;
        }
        Holder holder;
        holder.pid = std::atoi(pid.c_str());
        if (holder.pid == getpid() || holder.pid <= 0) {
            continue;
        }
        std::ifstream comm(procRoot + "/" + pid + "/comm");
        std::getline(comm, holder.command);
        holders.push_back(holder);
    }
    return holders;
}

std::vector<Holder> WhoHolds(const std::string& path, const std::string& procRoot) {
    std::vector<Holder> holders = FindLockHolders(path, procRoot);
    return holders.empty() ? FindHolders(path, procRoot) : holders;
}

std::string DescribeHolders(const std::vector<Holder>& holders) {
    std::string text;
    for (const Holder& holder : holders) {
        text += (text.empty() ? "" : ", ") +
                (holder.command.empty() ? std::string("a process") : holder.command) + " (pid " +
                std::to_string(holder.pid) + ")";
    }
    return text;
}

}  // namespace platform

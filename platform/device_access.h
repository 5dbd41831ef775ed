// Who may open a device node, and who holds it: the facts behind "permission denied" and "busy", read
// from the file system and /proc without opening the device. The roots are arguments so that tests can
// describe a machine with a made-up tree.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// A device node's owner, group and mode, as stat shows them.
struct NodeFacts {
    bool exists = false;
    std::string path;   // the node itself (symbolic links followed)
    uint32_t mode = 0;  // permission bits
    uint32_t ownerId = 0;
    uint32_t groupId = 0;
    std::string owner;  // names; the number when the system has no name for it
    std::string group;
    bool isCharDevice = false;
};

// The user the program runs as: its groups now, and the groups the group database lists it in (these
// differ until the user logs in again after being added to a group).
struct UserFacts {
    uint32_t userId = 0;
    std::string name;
    std::vector<uint32_t> processGroups;
    std::vector<uint32_t> listedGroups;
    std::vector<std::string> processGroupNames;
};

// What would let this user open a node it may not open now.
enum class AccessFix {
    None,        // nothing to do: the user may open it
    JoinGroup,   // the node's group may open it and the user is not in it (dialout, uucp, ...)
    LogInAgain,  // the user was added to the node's group, but this login does not have it yet
    UdevRule,    // the camera's own USB device: the installed udev rule gives it to the desktop user
    OnlyRoot,    // nobody but root may open it (a console port): nothing a user should change
};

struct AccessVerdict {
    bool allowed = false;  // by the permission bits (access lists not counted)
    AccessFix fix = AccessFix::None;
    std::string group;  // the group to join, for JoinGroup and LogInAgain
};

// Facts of the node at path (following links); exists is false when nothing is there.
NodeFacts ReadNodeFacts(const std::string& path);
// Where a symbolic link points; the path itself when it is no link.
std::string LinkTarget(const std::string& path);
// The user this process runs as.
UserFacts CurrentUser();
// Whether the user may open the node for reading and writing by its permission bits, and if not, the
// fix that fits the node. usbCameraNode: the node is the camera's own USB device (/dev/bus/usb/...).
AccessVerdict JudgeAccess(const NodeFacts& node, const UserFacts& user, bool usbCameraNode);
// True when this process may open path for reading and writing (access lists included).
bool MayOpen(const std::string& path);

// A process that has a file open.
struct Holder {
    int pid = 0;
    std::string command;  // the process's name (/proc/PID/comm), empty when unreadable
};

// Every process but this one with the file at path open, found by scanning procRoot/*/fd (the same
// device number for a device node, the same inode otherwise). Processes whose descriptors this user may
// not read are not seen.
std::vector<Holder> FindHolders(const std::string& path, const std::string& procRoot = "/proc");
// The processes holding a lock (flock, or a POSIX lock) on the file at path, from procRoot/locks.
std::vector<Holder> FindLockHolders(const std::string& path, const std::string& procRoot = "/proc");
// Who keeps other programs out of the file: the lock holders when there are any, else every process
// with it open.
std::vector<Holder> WhoHolds(const std::string& path, const std::string& procRoot = "/proc");
// "qx410fw-cli (pid 4242)", "minicom (pid 17), screen (pid 18)"; empty for none.
std::string DescribeHolders(const std::vector<Holder>& holders);

}  // namespace platform

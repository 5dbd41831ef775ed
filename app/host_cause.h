// Why a search or an update failed on this machine rather than at the camera, as a typed value: the
// cause the link recorded, the port the user chose and the device behind it, the system's errno, and
// the facts that make the advice right for that device (its owner, group and mode, the fix that fits,
// the processes holding it). Both user interfaces word it themselves; nobody parses a sentence.
#pragma once

#include <cstdint>
#include <string>

#include "link/link_cause.h"
#include "platform/device_access.h"
#include "protocol/camera_session.h"

struct HostCause {
    LinkCause cause = LinkCause::None;
    bool usb = false;
    std::string port;    // "COM3", or "\\.\QX410U-001"; empty when the search tried every link
    std::string device;  // the node or socket behind the port: "/dev/ttyUSB0", "/dev/bus/usb/001/007"
    int systemError = 0;
    // For PermissionDenied: the node's facts and what lets this user open it.
    platform::NodeFacts node;
    platform::AccessFix fix = platform::AccessFix::None;
    std::string fixGroup;
    std::string userGroups;  // "root adm cdrom", the groups this login has
    // For HeldByAnotherProgram: "minicom (pid 1234)", empty when the system does not show the holder.
    std::string holders;

    // True for the causes on this machine's side: the camera's own "not found" advice (switch it off and
    // on) is wrong for them.
    bool OnHost() const;
};

// One sentence naming the cause, the port and the device, and what to do about it on this machine:
// "COM1 (/dev/ttyUSB0): permission denied; you are not in group dialout: sudo usermod -aG dialout $USER,
// then log in again". Never the advice to switch the camera off when the cause is on the host. Empty
// for None.
std::string HostCauseSentence(const HostCause& cause);
// The line an outcome dialog adds under its own text for a cause on this machine that a user can act
// on: the port held by another program, permission denied, no such serial device. Empty otherwise, so
// the dialog shows its own text alone. Every user interface shows the same line.
std::string OutcomeCauseLine(const HostCause& cause);
// The facts behind a refused open: "/dev/ttyS0 is crw------- root:root; your groups: root adm". Empty
// for other causes.
std::string HostCauseFacts(const HostCause& cause);
// "crw-rw----" for a character device's mode bits.
std::string ModeText(uint32_t mode, bool charDevice);

// The cause of a search on `port` (PORT_AUTO, 1..9, PORT_USB) that found no camera. With AUTO every link
// was tried and none is singled out: the cause is None.
HostCause ExplainSearchFailure(const CCameraSession& session, int16_t port);
// The cause of a failed download on the link the session found the camera on.
HostCause ExplainLinkFailure(const CCameraSession& session);

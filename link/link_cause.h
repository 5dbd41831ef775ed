// Why a link step failed, as far as the host can tell: the operating system's answer at the open, the
// device vanishing, or what the serial adapter is known or seen to do. Recorded by the link beside the
// result and detail codes (CLinkSession::m_cause) for the outcome's explanation; it steers nothing in
// the protocol, and the camera's own "not found" advice is right only for CameraSilent and None.
#pragma once

enum class LinkCause {
    None,                  // nothing beyond the result code is known
    NoSuchDevice,          // nothing stands for the port or device name (ENOENT, ENXIO, ENODEV at open)
    PermissionDenied,      // the device is there but this user may not open it (EACCES, EPERM)
    HeldByAnotherProgram,  // the device is open or locked elsewhere (EBUSY, a lock held)
    DeviceIoError,         // the device failed while open (EIO)
    Unplugged,             // the device went away while open (ENODEV, a hang-up)
    CameraSilent,          // the port opened and worked, but the camera did not answer
    AdapterLatency,        // the serial adapter holds received bytes longer than the protocol allows
    BreakNotSent,          // the serial adapter refused or faked the line break of the wake-up
    FlowControlHeld,       // hardware flow control is on and the line's CTS is low: output is held
};

// The cause an errno stands for when opening a device failed, and when a transfer on an open device
// failed. An errno that says nothing about the host (a time-out, 0) gives None.
LinkCause CauseOfOpenError(int errorNumber);
LinkCause CauseOfTransferError(int errorNumber);

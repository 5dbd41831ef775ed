// Where the camera documentation's link names live on Linux (on Windows they are the system's own names:
// win32_device_namespace.cpp; the serial port names are parsed in link_names.cpp, the USB device names in
// wire/usb_device_name.h).
//
// Device directory D: $XDG_RUNTIME_DIR/qx410fw when XDG_RUNTIME_DIR is set and names a directory,
// otherwise /tmp/qx410fw-<uid>. D is trusted only when it is a real directory (not a symlink) owned by
// the current user and neither group- nor world-writable; an untrusted D is treated as absent.
//
// "COM1".."COM9": D/COMn when it exists (normally a symlink to a tty such as a pseudo-terminal slave);
// otherwise the n-th real serial device in the order /dev/ttyUSB*, /dev/ttyACM*, /dev/ttyS* (numeric
// order inside each group; a ttyS device only when real hardware backs it).
//
// "\\.\QX410U-NNN" (NNN = 001..127): the Unix-domain stream socket D/QX410U-NNN when it exists;
// otherwise the NNN-th attached QX410 camera on the USB buses (platform/usb_cameras.h).
#pragma once

#include <string>

namespace platform {

// The device directory as it should be (whether or not it exists or is trusted).
std::string DeviceDirectoryPath();
// The device directory when it exists and is trusted, else an empty string.
std::string TrustedDeviceDirectory();
// The file to open for "COM1".."COM9"; empty when the name is not of that form or no device stands for
// it (the open then fails at once, as for a missing port).
std::string ResolveSerialPortName(const std::string& portName);
// The socket path for "\\.\QX410U-NNN"; empty when the name is not of that form or there is no trusted
// device directory.
std::string ResolveUsbDevicePath(const std::string& devicePath);
// n of "COMn" (1..9); 0 when the name is not of that form.
int ParseSerialPortNumber(const std::string& portName);

}  // namespace platform

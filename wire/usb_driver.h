// The camera's USB driver as the updater addresses it: the four control codes and the pipe word that
// starts every transfer buffer (the device objects' names are in usb_device_name.h).
#pragma once

#include <cstdint>

namespace wire {

// Control codes (device type 0x22, functions 0x801..0x804, buffered, any access).
constexpr uint32_t IOCTL_CAMERA_GET_DEVICE_DESCRIPTOR = 0x222004;
constexpr uint32_t IOCTL_CAMERA_GET_CONFIGURATION = 0x222008;
constexpr uint32_t IOCTL_CAMERA_WRITE = 0x22200C;
constexpr uint32_t IOCTL_CAMERA_READ = 0x222010;

// Every transfer buffer starts with a 32-bit little-endian pipe word: 0 for writes, the read endpoint's
// address for reads. The packet bytes follow it.
constexpr int32_t USB_PIPE_WORD_SIZE = 4;

}  // namespace wire

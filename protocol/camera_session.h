// CCameraSession: the one object through which the updater talks to the camera. It finds the camera on
// the chosen port, wakes and identifies it, opens its update mode, downloads the firmware and ends the
// session. The link fields and link operations come from CLinkSession; this class adds the command
// exchange, the status records and the session and download sequences.
#pragma once

#include <cstdint>

#include "link/link_session.h"
#include "protocol/status_records.h"

// Port choices of the port dialog.
constexpr int16_t PORT_AUTO = 0;
constexpr int16_t PORT_USB = 10;

// Download status callback: callback(event kind, value, phase flag) returns non-zero to let the download
// go on. Phase flag non-zero: erase phase; zero: write phase.
constexpr uint32_t STATUS_START = 0;
constexpr uint32_t STATUS_PROGRESS = 1;
constexpr uint32_t STATUS_COMPLETED = 2;
constexpr uint32_t STATUS_FAILED = 3;
using StatusCallback = int32_t (*)(uint32_t eventKind, int32_t value, int32_t phase);

class CCameraSession : public CLinkSession {
  public:
    explicit CCameraSession(platform::IDevices& devices);
    ~CCameraSession() override;

    // ---- Public operations used by the update workflow ----
    void SearchCamera(int16_t port, CameraInfo* info, CameraName* name, int32_t* notIdentified);
    int16_t GetResultCode() const { return m_resultCode; }
    // image: the 1,048,576-byte payload (the image file from offset 128).
    void DownloadFirmware(const uint8_t* image, StatusCallback callback);
    void EndSession();

    // (The command exchange, session steps and status records follow.)
};

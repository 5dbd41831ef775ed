// CCameraSession: the one object through which the updater talks to the camera. It finds the camera on
// the chosen port, wakes and identifies it, opens its update mode, downloads the firmware and ends the
// session. The link fields and link operations come from CLinkSession; this class adds the command
// exchange, the status records and the session and download sequences.
//
// Every step returns a status and leaves it in m_result (0 = success); each public operation converts it
// at its end into the signed result code that GetResultCode returns.
#pragma once

#include <cstdint>

#include "link/link_session.h"
#include "protocol/byte_codes.h"
#include "protocol/status_records.h"

// Port choices of the port dialog: 0 searches all links, 1..9 are COM1..COM9, anything else is USB.
constexpr int16_t PORT_AUTO = 0;
constexpr int16_t PORT_USB = 10;

// Download status callback: callback(event kind, value, phase flag) returns non-zero to let the download
// go on. Phase flag non-zero: erase phase; zero: write phase.
constexpr uint32_t STATUS_START = 0;
constexpr uint32_t STATUS_PROGRESS = 1;
constexpr uint32_t STATUS_COMPLETED = 2;
constexpr uint32_t STATUS_FAILED = 3;
using StatusCallback = int32_t (*)(uint32_t eventKind, int32_t value, int32_t phase);

// Status values of m_result. Link results (link_session.h) travel in it unchanged.
constexpr int32_t RESULT_OK = 0;
constexpr int32_t RESULT_BAD_SPEED = 1;          // invalid speed code
constexpr int32_t RESULT_NO_MEMORY = 2;          // no memory for the link buffers
constexpr int32_t RESULT_REFUSED = 3;            // 0xE1, fifth 0xE3, wrong access reply, no ready byte
constexpr int32_t RESULT_BAD_COMPLETION = 4;     // completion byte other than 0x00/0xF0; lone 0xE2
constexpr int32_t RESULT_NO_REPLY = 7;           // no acknowledgement, foreign byte, time-out
constexpr int32_t RESULT_LINK_FAILED = 8;        // link failure; camera silent after the wake-up
constexpr int32_t RESULT_STOPPED = 10;           // the status callback asked to stop
constexpr int32_t RESULT_CAMERA_BUSY = 13;       // only busy bytes for over 10 s before a packet
constexpr int32_t RESULT_NOT_READY = 14;         // camera not ready, speed refused, USB not opened
constexpr int32_t RESULT_USB_PROBE_FAILED = 21;  // the USB probe failed six times

// Result codes for the user interface (m_resultCode).
constexpr int16_t CODE_OK = 0;
constexpr int16_t CODE_BAD_SPEED = -1000;
constexpr int16_t CODE_NOT_READY = -1002;
constexpr int16_t CODE_STOPPED = -1004;
constexpr int16_t CODE_TRANSFER_FAILED = -1006;
constexpr int16_t CODE_STATUS_15 = -1022;
constexpr int16_t CODE_STATUS_20 = -1009;
constexpr int16_t CODE_NO_MEMORY = -1011;
constexpr int16_t CODE_UNKNOWN = -1020;
constexpr int16_t CODE_USB_PROBE_FAILED = -1029;

// Time-outs and pauses of the command exchange, in milliseconds.
constexpr uint32_t COMMAND_SPACING_MS = 100;  // end of one exchange -> next command packet
constexpr uint32_t WRITE_TIMEOUT_MS = 200;    // every write
constexpr uint32_t REPLY_TIMEOUT_MS = 3000;   // one-byte replies
constexpr uint32_t SLOW_ACK_PAUSE_MS = 3000;  // checksum and reset: packet -> acknowledgement read
constexpr uint32_t COMPLETION_TIMEOUT_MS = 3000;
constexpr uint32_t ERASE_TIMEOUT_MS = 30000;
constexpr uint32_t ERASE_PAUSE_MS = 3000;
constexpr uint32_t ACCESS_REPLY_TIMEOUT_MS = 2000;
// A camera that sends nothing but busy bytes in place of an acknowledgement for this long is taken as
// not answering; no command the camera knows keeps it busy anywhere near this long.
constexpr uint32_t REPLY_BUSY_LIMIT_MS = 60000;

constexpr int DATA_PACKET_SENDINGS = 5;
constexpr int IDENTIFY_ATTEMPTS = 6;

// The wire form of firmware blocks: data packet size including its check byte.
constexpr int32_t SERIAL_PACKET_SIZE = qx::SERIAL_BLOCK_SIZE + 1;  // 257
constexpr int32_t USB_PACKET_SIZE = qx::USB_BLOCK_SIZE + 1;        // 4097
constexpr int32_t STATUS_PACKET_SIZE = qx::STATUS_BLOCK_SIZE + 1;  // 257

class CCameraSession : public CLinkSession {
  public:
    explicit CCameraSession(platform::IDevices& devices);
    // Sends nothing: CLinkSession's destructor releases what is still held.
    ~CCameraSession() override;

    // ---- Public operations used by the update workflow ----
    void SearchCamera(int16_t port, CameraInfo* info, CameraName* name, int32_t* notIdentified);
    int16_t GetResultCode() const { return m_resultCode; }
    // image: the 1,048,576-byte payload (the image file from offset 128).
    void DownloadFirmware(const uint8_t* image, StatusCallback callback);
    void EndSession();

    // ---- Command exchange ----
    void BeginCommand();
    int32_t SendCommand();
    int32_t AwaitReply(uint8_t expected, uint8_t refusal);
    // Waits for the completion byte. Busy bytes past timeoutMs end the wait as done, unless
    // busyPastTimeOutIsDone is false: then only the completion byte itself is a success.
    int32_t AwaitCompletion(uint32_t timeoutMs, bool busyPastTimeOutIsDone = true);
    int32_t SendDataPacket(const uint8_t* source, int32_t packetSize);
    int32_t AccessExchange();
    void ToResultCode();

    // ---- Command set ----
    int32_t WriteBlock(const uint8_t* source, int32_t block);
    int32_t EraseBlocks(int32_t unit);
    int32_t SendChecksum(uint16_t checksum);
    int32_t SetCameraSpeed(int32_t speedCode);
    int32_t ReadStatus();
    int32_t RequestUpdateMode();
    int32_t SendFlagFollowUp();
    int32_t SendSignOff();
    int32_t SendReset();

    // ---- Session steps ----
    int32_t WakeCamera(int32_t switchSpeed);
    int32_t ChangeSpeed(int32_t speedCode);
    int32_t Identify();
    int32_t ReadCameraInfo(CameraInfo* info);
    int32_t ReadCameraName(CameraName* name);
    int32_t UnlockOverUsb();
    int32_t SignOff();

    // ---- Status records ----
    void BuildCameraClock(CameraClock& clock) const;
    void BuildCameraInfo();
    void BuildCameraName();

    // ---- Exchange fields ----
    uint8_t m_command[qx::COMMAND_PACKET_SIZE] = {};
    int32_t m_result = RESULT_OK;

    // ---- Session fields ----
    int16_t m_resultCode = CODE_OK;
    uint32_t m_firmwareVersion = 0;
    int32_t m_cameraSpeed = 0;  // speed code the camera was last switched to; 0 = not known
    int32_t m_targetSpeed = 5;  // speed code WakeCamera switches the camera to
    uint8_t m_statusBlock[qx::STATUS_BLOCK_SIZE] = {};
    CameraInfo m_cameraInfo;
    CameraClock m_cameraClock;
    char m_cameraName[CAMERA_NAME_BUFFER_SIZE] = {};

  private:
    bool IsLinkReady() const;
    bool IsSerial() const { return m_portKind == PORT_KIND_SERIAL; }
    bool IsUsb() const { return m_portKind == PORT_KIND_USB; }
    // Status byte 11: bit 7 set and bits 4 and 3 clear asks for the flag follow-up command.
    bool NeedsFlagFollowUp() const;
    bool CheckCameraState();
    int32_t SendSimpleCommand(uint8_t code);
    void RunSerialSequence(CameraInfo* info, CameraName* name, int32_t* notIdentified, bool openedAtOnce);
    void RunUsbSequence(CameraInfo* info, CameraName* name, int32_t* notIdentified);
    void SearchAllLinks(CameraInfo* info, CameraName* name, int32_t* notIdentified);
};

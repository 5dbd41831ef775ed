// CCameraSession: the one object through which the updater talks to the camera. It finds the camera on
// the chosen port, wakes and identifies it, opens its update mode, downloads the firmware and ends the
// session. The link fields and link operations come from CLinkSession; this class adds the command
// exchange, the status records and the session and download sequences.
//
// Every step returns its status (0 = success) and its caller branches on that value. Each public
// operation (SearchCamera, DownloadFirmware, EndSession) ends in Conclude, the one place where its
// status is converted into the signed result code that GetResultCode returns. m_result keeps the status
// of the last command for whoever inspects the session; no step reads it to decide anything.
#pragma once

#include <cstdint>

#include "link/link_session.h"
#include "protocol/status_records.h"
#include "wire/byte_codes.h"
#include "wire/timing.h"

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

// Step statuses. Link results (link_session.h) travel in them unchanged.
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

// The USB probe is repeated this often while its transfers fail.
constexpr int IDENTIFY_ATTEMPTS = 6;

// How WakeCamera reaches the camera.
enum class WakeMode {
    UsbProbe,     // two single status requests on the USB device, no line to reset
    SwitchSpeed,  // serial: status request, line reset when unanswered, then the switch to m_targetSpeed
};

class CCameraSession : public CLinkSession {
  public:
    explicit CCameraSession(platform::IDevices& devices);
    // Sends nothing to the camera. CLinkSession's destructor closes a port or device handle still open
    // and frees the link buffers, so a session dropped mid-way (an early return, a closed window) never
    // leaves the port locked for the next program.
    ~CCameraSession() override;

    // ---- Public operations used by the update workflow ----
    // The records may be null (or a name without a buffer): the search then fills scratch records of
    // its own, so it runs the same exchange whether or not the caller wants the answers.
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
    // Converts m_result into m_resultCode by the result table and clears m_result.
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
    int32_t WakeCamera(WakeMode mode);
    int32_t ChangeSpeed(int32_t speedCode);
    int32_t Identify();
    // Over USB these reopen the device for the step and release it after; *deviceLost (when given)
    // tells a device that could not be reopened from a camera that failed the step.
    int32_t ReadCameraInfo(CameraInfo* info, bool* deviceLost = nullptr);
    int32_t ReadCameraName(CameraName* name, bool* deviceLost = nullptr);
    int32_t UnlockOverUsb(bool* deviceLost = nullptr);
    int32_t SignOff();

    // ---- Status records ----
    void BuildCameraClock(CameraClock& clock) const;
    void BuildCameraInfo();
    void BuildCameraName();

    // ---- Exchange fields ----
    uint8_t m_command[wire::COMMAND_PACKET_SIZE] = {};
    int32_t m_result = RESULT_OK;

    // ---- Session fields ----
    int16_t m_resultCode = CODE_OK;
    uint32_t m_firmwareVersion = 0;
    int32_t m_cameraSpeed = 0;  // speed code the camera was last switched to; 0 = not known
    int32_t m_targetSpeed = 5;  // speed code WakeCamera switches the camera to
    uint8_t m_statusBlock[wire::STATUS_BLOCK_SIZE] = {};
    CameraInfo m_cameraInfo;
    CameraClock m_cameraClock;
    char m_cameraName[CAMERA_NAME_BUFFER_SIZE] = {};

  private:
    // What a search found: the status that ends it, and how far the camera was identified. Nothing
    // found leaves the caller's notIdentified word as it was.
    enum class Identification { NothingFound, NotIdentified, Identified };
    struct SearchOutcome {
        int32_t status = RESULT_OK;
        Identification identification = Identification::NothingFound;
    };

    bool IsLinkReady() const;
    bool IsSerial() const { return m_portKind == PORT_KIND_SERIAL; }
    bool IsUsb() const { return m_portKind == PORT_KIND_USB; }
    // The end of every public operation: the status becomes the result code.
    void Conclude(int32_t status);
    // Status byte 11: bit 7 set and bits 4 and 3 clear asks for the flag follow-up command.
    bool NeedsFlagFollowUp() const;
    int32_t CheckCameraState();
    int32_t SendSimpleCommand(uint8_t code);
    int32_t StatusWithSingleAttempt();

    // Search
    SearchOutcome SearchSerialPort(int16_t port, CameraInfo* info, CameraName* name);
    SearchOutcome SearchAllLinks(CameraInfo* info, CameraName* name);
    SearchOutcome FinishSerialSearch(CameraInfo* info, CameraName* name);
    SearchOutcome IdentifyOverSerial(CameraInfo* info, CameraName* name);
    SearchOutcome IdentifyOverUsb(CameraInfo* info, CameraName* name);
    // Wake-up
    int32_t ProbeOverUsb();
    int32_t WakeOverSerial();
    int32_t ResetLineAndWake(bool hasTarget);
    int32_t SwitchToTargetSpeed(uint32_t pauseBeforeStatusMs);
    // The start of a step that may follow others: the detail status cleared and, over USB, the device
    // reopened for the step (a device that cannot be reopened sets *deviceLost).
    int32_t BeginLinkStep(bool* deviceLost);
    int32_t ReadStatusRecord(void (CCameraSession::*build)(), bool* deviceLost);
    // Download phases
    void DownloadOverUsb(const uint8_t* image, StatusCallback callback);
    void DownloadOverSerial(const uint8_t* image, StatusCallback callback);
    int32_t EraseOverUsb(StatusCallback callback);
    int32_t EraseOverSerial();
    void WriteAndFinish(const uint8_t* image, StatusCallback callback);
    int32_t WriteBlocks(const uint8_t* image, StatusCallback callback, int32_t& percent, uint32_t& checksum);
    void FinishDownload(int32_t status, uint16_t checksum, int32_t percent, StatusCallback callback);
};

// Lets every command sent in its scope go out once, however many attempts the link gives commands; the
// link's attempt count is back when the scope ends.
class ScopedSingleAttempt {
  public:
    explicit ScopedSingleAttempt(CLinkSession& link) : m_link(link), m_saved(link.m_commandAttempts) {
        m_link.m_commandAttempts = 1;
    }
    ~ScopedSingleAttempt() { m_link.m_commandAttempts = m_saved; }
    ScopedSingleAttempt(const ScopedSingleAttempt&) = delete;
    ScopedSingleAttempt& operator=(const ScopedSingleAttempt&) = delete;

  private:
    CLinkSession& m_link;
    int16_t m_saved;
};

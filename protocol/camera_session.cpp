// The camera session's connection logic: which ports are tried in which order, how a camera that does
// not answer is woken, how camera and serial line change speed together, how the camera is identified
// over USB, and the sequences that read its records, open its update mode, sign off and end the session.
#include "protocol/camera_session.h"

#include <cstring>

#include "common/clock.h"

namespace {

constexpr int FIRST_SERIAL_PORT = 1;
constexpr int LAST_SERIAL_PORT = 9;

void SetFlag(bool* flag) {
    if (flag != nullptr) {
        *flag = true;
    }
}

}  // namespace

CCameraSession::CCameraSession(platform::IDevices& devices) : CLinkSession(devices) {
    m_lastExchangeTime = StampNow();
}

CCameraSession::~CCameraSession() = default;

void CCameraSession::Conclude(int32_t status) {
    m_result = status;
    ToResultCode();
}

bool CCameraSession::NeedsFlagFollowUp() const {
    const uint8_t flags = m_statusBlock[STATUS_FLAGS];
    return (flags & FLAG_VALID) != 0 && (flags & (FLAG_INVALID | FLAG_FOLLOWED_UP)) == 0;
}

// Status byte 1 says whether the camera can go on; anything but 6 is "camera not ready".
int32_t CCameraSession::CheckCameraState() {
    if (m_statusBlock[STATUS_STATE] == wire::CAMERA_STATE_READY) {
        return RESULT_OK;
    }
    m_detailStatus = DETAIL_CAMERA_NOT_READY;
    return RESULT_NOT_READY;
}

// ---- Search ----

void CCameraSession::SearchCamera(int16_t port, CameraInfo* info, CameraName* name, int32_t* notIdentified) {
    m_result = RESULT_OK;
    m_cause = LinkCause::None;  // a cause names this search's failure, never an earlier one's
    m_firmwareVersion = 0;
    m_heldSerialPort = 0;
    m_heldUsbInstance = 0;
    CameraInfo scratchInfo;
    char scratchText[CAMERA_NAME_BUFFER_SIZE] = {};
    CameraName scratchName;
    scratchName.name = scratchText;
    if (info == nullptr) {
        info = &scratchInfo;
    }
    if (name == nullptr || name->name == nullptr) {
        if (name != nullptr) {
            scratchName.clock = name->clock;
        }
        name = &scratchName;
    }

    SearchOutcome outcome;
    if (port == PORT_AUTO) {
        outcome = SearchAllLinks(info, name);
    } else if (port >= FIRST_SERIAL_PORT && port <= LAST_SERIAL_PORT) {
        outcome = SearchSerialPort(port, info, name);
    } else {
        m_portKind = PORT_KIND_USB;
        outcome = IdentifyOverUsb(info, name);
    }
    if (notIdentified != nullptr && outcome.identification != Identification::NothingFound) {
        *notIdentified = outcome.identification == Identification::Identified ? 0 : 1;
    }
    Conclude(outcome.status);
}

CCameraSession::SearchOutcome CCameraSession::SearchSerialPort(int16_t port, CameraInfo* info,
                                                               CameraName* name) {
    m_portKind = PORT_KIND_SERIAL;
    const int32_t opened = OpenSerialPort(port);
    if (opened != RESULT_OK) {
        return {opened, Identification::NothingFound};
    }
    m_portNumber = port;
    DelayMs(wire::PORT_OPEN_PAUSE_MS);
    // A camera whose update mode is still open answers the access string right away.
    if (AccessExchange() == RESULT_OK) {
        return {RESULT_OK, Identification::NotIdentified};
    }
    return IdentifyOverSerial(info, name);
}

CCameraSession::SearchOutcome CCameraSession::SearchAllLinks(CameraInfo* info, CameraName* name) {
    // USB first: a camera there is signed off again and then identified by the USB sequence.
    m_portKind = PORT_KIND_USB;
    if (Identify() == RESULT_OK) {
        SignOff();
        return IdentifyOverUsb(info, name);
    }
    m_portKind = PORT_KIND_SERIAL;
    int32_t status = RESULT_OK;
    for (int n = FIRST_SERIAL_PORT; n <= LAST_SERIAL_PORT; ++n) {
        status = OpenSerialPort(n);
        if (status != RESULT_OK) {
            continue;  // a port that does not exist costs no time
        }
        DelayMs(wire::PORT_OPEN_PAUSE_MS);
        if (AccessExchange() == RESULT_OK) {
            m_portNumber = n;
            return {RESULT_OK, Identification::NotIdentified};
        }
        m_targetSpeed = m_cameraSpeed;
        DelayMs(wire::INFO_READ_PAUSE_MS);
        status = ReadCameraInfo(info);
        if (status == RESULT_OK) {
            m_firmwareVersion = info->version;
            m_portNumber = n;
            return IdentifyOverSerial(info, name);
        }
        CloseSerialPort();
    }
    // Every port failed: the last failure is the search's.
    return {status, Identification::NothingFound};
}

// Reads the records, brings the line back to 9600 baud and opens the update mode. Any failure closes
// the port and ends the search with that failure.
CCameraSession::SearchOutcome CCameraSession::IdentifyOverSerial(CameraInfo* info, CameraName* name) {
    int32_t status = RESULT_OK;
    if (m_firmwareVersion == 0) {
        m_targetSpeed = m_cameraSpeed;
        DelayMs(wire::INFO_READ_PAUSE_MS);
        status = ReadCameraInfo(info);
    }
    if (status == RESULT_OK) {
        m_firmwareVersion = info->version;
        DelayMs(wire::NAME_READ_PAUSE_MS);
        status = ReadCameraName(name);
    }
    if (status == RESULT_OK) {
        DelayMs(wire::SPEED_RESTORE_PAUSE_MS);
        status = ChangeSpeed(wire::SPEED_CODE_9600);
    }
    if (status == RESULT_OK) {
        DelayMs(wire::UPDATE_MODE_PAUSE_MS);
        status = RequestUpdateMode();
    }
    if (status == RESULT_OK) {
        DelayMs(wire::ACCESS_EXCHANGE_PAUSE_MS);
        status = AccessExchange();
    }
    if (status != RESULT_OK) {
        CloseSerialPort();
        return {status, Identification::NotIdentified};
    }
    return {RESULT_OK, Identification::Identified};
}

// Identifies the camera, reads its records and unlocks its update mode, reopening the device for each
// step. A camera that was found but refuses a step stays found (status 0) and unidentified, signed off;
// a device that can no longer be opened ends the search with that failure, so a version that was never
// read is never reported.
CCameraSession::SearchOutcome CCameraSession::IdentifyOverUsb(CameraInfo* info, CameraName* name) {
    const int32_t identified = Identify();
    if (identified != RESULT_OK) {
        return {identified, Identification::NotIdentified};
    }
    bool deviceLost = false;
    DelayMs(wire::INFO_READ_PAUSE_MS);
    int32_t status = ReadCameraInfo(info, &deviceLost);
    if (status == RESULT_OK) {
        m_firmwareVersion = info->version;
        DelayMs(wire::NAME_READ_PAUSE_MS);
        status = ReadCameraName(name, &deviceLost);
    }
    if (status == RESULT_OK) {
        DelayMs(wire::UNLOCK_PAUSE_MS);
        status = UnlockOverUsb(&deviceLost);
    }
    if (status == RESULT_OK) {
        return {RESULT_OK, Identification::Identified};
    }
    SignOff();
    return {deviceLost ? status : RESULT_OK, Identification::NotIdentified};
}

// ---- Wake-up, speed, identification ----

int32_t CCameraSession::WakeCamera(WakeMode mode) {
    return mode == WakeMode::UsbProbe ? ProbeOverUsb() : WakeOverSerial();
}

int32_t CCameraSession::StatusWithSingleAttempt() {
    ScopedSingleAttempt once(*this);
    return ReadStatus();
}

// Two status requests, each sent once. A camera that answers the first is attentive: its commands go
// out once from then on. One that answers only the second gets the full attempts per command.
int32_t CCameraSession::ProbeOverUsb() {
    if (StatusWithSingleAttempt() == RESULT_OK) {
        m_commandAttempts = 1;
        return CheckCameraState();
    }
    if (StatusWithSingleAttempt() != RESULT_OK) {
        m_detailStatus = DETAIL_CAMERA_NOT_READY;
        return RESULT_LINK_FAILED;
    }
    const int32_t state = CheckCameraState();
    m_commandAttempts = 1;
    if (state == RESULT_OK) {
        DelayMs(wire::STATUS_SETTLE_MS);
        m_commandAttempts = wire::COMMAND_ATTEMPTS;
    }
    return state;
}

// A status request; unanswered, a line reset. A camera that answers is then switched to the target
// speed. A target outside 1..5 means no speed has been chosen yet (the first search): the camera stays
// at the speed it answers on instead of being sent an invalid speed command.
int32_t CCameraSession::WakeOverSerial() {
    const bool hasTarget = wire::IsSpeedCode(m_targetSpeed);
    const int32_t status = StatusWithSingleAttempt();
    if (status != RESULT_OK) {
        return IsUsb() ? status : ResetLineAndWake(hasTarget);
    }
    const int32_t state = CheckCameraState();
    if (state != RESULT_OK) {
        return state;
    }
    DelayMs(wire::STATUS_SETTLE_MS);
    if (!hasTarget || m_targetSpeed == m_cameraSpeed) {
        return RESULT_OK;
    }
    return SwitchToTargetSpeed(0);
}

// Speed command to m_targetSpeed (line following), a pause, and a status request at the new speed.
int32_t CCameraSession::SwitchToTargetSpeed(uint32_t pauseBeforeStatusMs) {
    int32_t status = ChangeSpeed(m_targetSpeed);
    if (status == RESULT_OK) {
        if (pauseBeforeStatusMs > 0) {
            DelayMs(pauseBeforeStatusMs);
        }
        status = ReadStatus();
    }
    if (status == RESULT_OK) {
        DelayMs(wire::STATUS_SETTLE_MS);
    }
    return status;
}

// A break brings the camera back to 9600 baud; the line follows and asks again.
int32_t CCameraSession::ResetLineAndWake(bool hasTarget) {
    DelayMs(wire::BREAK_LEAD_MS);
    SetBreak(BREAK_ON);
    DelayMs(wire::BREAK_HOLD_MS);
    SetBreak(BREAK_OFF);
    DelayMs(wire::BREAK_RECOVERY_MS);
    PurgePort(PURGE_OUTPUT);
    SetLineSpeed(wire::SPEED_CODE_9600);
    DelayMs(wire::LINE_RESET_SETTLE_MS);
    if (StatusWithSingleAttempt() == RESULT_OK) {
        const int32_t state = CheckCameraState();
        if (state != RESULT_OK) {
            return state;
        }
        if (!hasTarget) {
            m_cameraSpeed =
                wire::SPEED_CODE_9600;  // the break put the camera at 9600, and the line is there too
            return RESULT_OK;
        }
        if (SwitchToTargetSpeed(wire::RESET_SPEED_SWITCH_PAUSE_MS) == RESULT_OK) {
            return RESULT_OK;
        }
    }
    SetLineSpeed(wire::SPEED_CODE_9600);
    m_cameraSpeed = wire::SPEED_CODE_9600;
    m_detailStatus = DETAIL_CAMERA_NOT_READY;
    // Silent at both speeds: say so when the adapter is known or seen to be the reason.
    // A cause the link already found on the host (the device failed or went away) stands.
    const LinkCause adapterCause = SerialAdapterCause();
    if (adapterCause != LinkCause::None &&
        (m_cause == LinkCause::None || m_cause == LinkCause::CameraSilent)) {
        m_cause = adapterCause;
    }
    return RESULT_NOT_READY;
}

int32_t CCameraSession::ChangeSpeed(int32_t speedCode) {
    const int32_t commanded = SetCameraSpeed(speedCode);
    if (commanded != RESULT_OK) {
        return commanded;
    }
    m_lastExchangeTime = StampNow();
    const int32_t status = SetLineSpeed(speedCode);
    if (status == RESULT_OK) {
        m_cameraSpeed = speedCode;
        return status;
    }
    // The line keeps its old rate; the camera may now be at the new one. No second try.
    SetLineSpeed(m_speedCode);
    m_lastExchangeTime = StampNow();
    return status;
}

// Opens the USB device and probes the camera; the probe is repeated while its transfers fail, six times
// at most. A camera that answered is released again, its device path kept for the next operation.
int32_t CCameraSession::Identify() {
    int32_t status = OpenUsbDevice();
    if (status != RESULT_OK) {
        return status;
    }
    for (int attempt = 1;; ++attempt) {
        status = GetUsbDeviceDescriptor();
        if (status == RESULT_OK) {
            GetUsbConfiguration();  // a failure keeps the records of an earlier read
        }
        bool probeAgain = false;
        {
            ScopedUsbProbe probe(*this);
            if (status == RESULT_OK) {
                status = WakeCamera(WakeMode::UsbProbe);
            }
            // A transfer that failed on the way does not matter once the camera answered.
            probeAgain = status != RESULT_OK && probe.TakeRetryMark();
        }
        if (!probeAgain) {
            break;
        }
        if (attempt == IDENTIFY_ATTEMPTS) {
            ReleaseUsbDevice();
            return RESULT_USB_PROBE_FAILED;
        }
    }
    if (status != RESULT_OK) {
        ReleaseUsbDevice();
        return RESULT_NOT_READY;
    }
    if (NeedsFlagFollowUp()) {
        status = SendFlagFollowUp();
        if (status == RESULT_OK) {
            status = ReadStatus();
        }
    }
    ReleaseUsbHandle();
    return status;
}

// ---- Records ----

int32_t CCameraSession::BeginLinkStep(bool* deviceLost) {
    m_detailStatus = 0;
    if (!IsUsb()) {
        return RESULT_OK;
    }
    const int32_t opened = ReopenUsbDevice();
    if (opened != RESULT_OK) {
        SetFlag(deviceLost);
    }
    return opened;
}

// One status request on the open link (serial: with the wake-up and speed switch), the flag follow-up
// the camera asks for, then the record built from the status block.
int32_t CCameraSession::ReadStatusRecord(void (CCameraSession::*build)(), bool* deviceLost) {
    const int32_t opened = BeginLinkStep(deviceLost);
    if (opened != RESULT_OK) {
        return opened;
    }
    int32_t status = IsUsb() ? ReadStatus() : WakeCamera(WakeMode::SwitchSpeed);
    if (status == RESULT_OK && NeedsFlagFollowUp()) {
        status = SendFlagFollowUp();
    }
    if (status == RESULT_OK) {
        (this->*build)();
    }
    if (IsUsb()) {
        ReleaseUsbHandle();
    }
    return status;
}

int32_t CCameraSession::ReadCameraInfo(CameraInfo* info, bool* deviceLost) {
    if (info == nullptr) {
        m_detailStatus = 0;
        return RESULT_OK;
    }
    const int32_t status = ReadStatusRecord(&CCameraSession::BuildCameraInfo, deviceLost);
    if (status == RESULT_OK) {
        *info = m_cameraInfo;
    }
    return status;
}

int32_t CCameraSession::ReadCameraName(CameraName* name, bool* deviceLost) {
    if (name == nullptr || name->name == nullptr) {
        m_detailStatus = 0;
        return RESULT_OK;
    }
    const int32_t status = ReadStatusRecord(&CCameraSession::BuildCameraName, deviceLost);
    if (status == RESULT_OK) {
        name->clock = m_cameraClock;
        std::memcpy(name->name, m_cameraName, CAMERA_NAME_BUFFER_SIZE);
    }
    return status;
}

// ---- Update mode, sign-off, end ----

int32_t CCameraSession::UnlockOverUsb(bool* deviceLost) {
    const int32_t opened = BeginLinkStep(deviceLost);
    if (opened != RESULT_OK) {
        return opened;
    }
    int32_t status = RequestUpdateMode();
    if (status == RESULT_OK) {
        status = AccessExchange();
    }
    if (IsUsb()) {
        ReleaseUsbHandle();
    }
    return status;
}

int32_t CCameraSession::SignOff() {
    SendSignOff();
    return IsUsb() ? CloseUsbDevice() : CloseSerialPort();
}

// The reset restarts the camera; over USB the session then signs off, and its outcome is always a
// success there (the device may already be gone). On the serial link the reset's status is the result.
void CCameraSession::EndSession() {
    if (IsUsb()) {
        ReopenUsbDevice();  // a reset that cannot be sent records its own failed write
    }
    const int32_t reset = SendReset();
    if (IsUsb()) {
        SignOff();
        Conclude(RESULT_OK);
        return;
    }
    CloseSerialPort();
    Conclude(reset);
}

// The camera session's connection logic: which ports are tried in which order, how a camera that does
// not answer is woken, how camera and serial line change speed together, how the camera is identified
// over USB, and the sequences that read its records, open its update mode, sign off and end the session.
#include "protocol/camera_session.h"

#include <cstring>

#include "common/clock.h"

namespace {

bool IsSpeedCode(int32_t speedCode) {
    return speedCode >= qx::SPEED_CODE_MIN && speedCode <= qx::SPEED_CODE_MAX;
}

void WriteFlag(int32_t* flag, int32_t value) {
    if (flag != nullptr) {
        *flag = value;
    }
}

constexpr int32_t SPEED_9600 = 1;
constexpr int FIRST_SERIAL_PORT = 1;
constexpr int LAST_SERIAL_PORT = 9;

}  // namespace

CCameraSession::CCameraSession(platform::IDevices& devices) : CLinkSession(devices) {
    m_lastExchangeTime = StampNow();
}

CCameraSession::~CCameraSession() = default;

bool CCameraSession::NeedsFlagFollowUp() const {
    const uint8_t flags = m_statusBlock[STATUS_FLAGS];
    return (flags & FLAG_VALID) != 0 && (flags & (FLAG_INVALID | FLAG_FOLLOWED_UP)) == 0;
}

// Status byte 1 says whether the camera can go on; anything but 6 is "camera not ready".
bool CCameraSession::CheckCameraState() {
    if (m_statusBlock[STATUS_STATE] == qx::CAMERA_STATE_READY) {
        return true;
    }
    m_result = RESULT_NOT_READY;
    m_detailStatus = DETAIL_CAMERA_NOT_READY;
    return false;
}

// ---- Search ----

void CCameraSession::SearchCamera(int16_t port, CameraInfo* info, CameraName* name, int32_t* notIdentified) {
    m_result = RESULT_OK;
    m_firmwareVersion = 0;
    // A caller without records still gets a complete search: the records then go to scratch space.
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

    if (port == PORT_AUTO) {
        SearchAllLinks(info, name, notIdentified);
        return;
    }
    if (port >= FIRST_SERIAL_PORT && port <= LAST_SERIAL_PORT) {
        m_portKind = PORT_KIND_SERIAL;
        m_result = OpenSerialPort(port);
        bool openedAtOnce = false;
        if (m_result == RESULT_OK) {
            m_portNumber = port;
            DelayMs(500);
            // A camera whose update mode is still open answers the access string right away.
            openedAtOnce = AccessExchange() == RESULT_OK;
            m_result = RESULT_OK;
        }
        RunSerialSequence(info, name, notIdentified, openedAtOnce);
        return;
    }
    m_portKind = PORT_KIND_USB;
    RunUsbSequence(info, name, notIdentified);
}

void CCameraSession::SearchAllLinks(CameraInfo* info, CameraName* name, int32_t* notIdentified) {
    // USB first: a camera there is signed off again and then identified by the USB sequence.
    m_portKind = PORT_KIND_USB;
    if (Identify() == RESULT_OK) {
        SignOff();
        RunUsbSequence(info, name, notIdentified);
        return;
    }
    m_portKind = PORT_KIND_SERIAL;
    for (int n = FIRST_SERIAL_PORT; n <= LAST_SERIAL_PORT; ++n) {
        m_result = OpenSerialPort(n);
        if (m_result != RESULT_OK) {
            continue;  // a port that does not exist costs no time
        }
        DelayMs(500);
        if (AccessExchange() == RESULT_OK) {
            m_portNumber = n;
            RunSerialSequence(info, name, notIdentified, true);
            return;
        }
        m_targetSpeed = m_cameraSpeed;
        m_result = RESULT_OK;
        DelayMs(2000);
        if (ReadCameraInfo(info) == RESULT_OK) {
            m_firmwareVersion = info->version;
            m_portNumber = n;
            RunSerialSequence(info, name, notIdentified, false);
            return;
        }
        CloseSerialPort();
    }
    // Every port failed: the last failure is the search's.
    RunSerialSequence(info, name, notIdentified, false);
}

void CCameraSession::RunSerialSequence(CameraInfo* info, CameraName* name, int32_t* notIdentified,
                                       bool openedAtOnce) {
    if (m_result != RESULT_OK) {
        ToResultCode();
        return;
    }
    if (openedAtOnce) {
        WriteFlag(notIdentified, 1);
        ToResultCode();
        return;
    }
    if (m_firmwareVersion == 0) {
        m_targetSpeed = m_cameraSpeed;
        DelayMs(2000);
        ReadCameraInfo(info);
    }
    if (m_result == RESULT_OK) {
        m_firmwareVersion = info->version;
        DelayMs(1000);
        ReadCameraName(name);
    }
    if (m_result == RESULT_OK) {
        DelayMs(500);
        ChangeSpeed(SPEED_9600);
    }
    if (m_result == RESULT_OK) {
        DelayMs(2000);
        RequestUpdateMode();
    }
    if (m_result == RESULT_OK) {
        DelayMs(2000);
        AccessExchange();
    }
    if (m_result == RESULT_OK) {
        WriteFlag(notIdentified, 0);
        ToResultCode();
        return;
    }
    WriteFlag(notIdentified, 1);
    CloseSerialPort();
    ToResultCode();
}

void CCameraSession::RunUsbSequence(CameraInfo* info, CameraName* name, int32_t* notIdentified) {
    if (Identify() != RESULT_OK) {
        WriteFlag(notIdentified, 1);
        ToResultCode();
        return;
    }
    // A step that cannot reopen the device converts its own failure and leaves m_result at 0, so the
    // next step still runs.
    DelayMs(2000);
    ReadCameraInfo(info);
    if (m_result == RESULT_OK) {
        m_firmwareVersion = info->version;
        DelayMs(1000);
        ReadCameraName(name);
    }
    if (m_result == RESULT_OK) {
        DelayMs(2000);
        UnlockOverUsb();
    }
    if (m_result == RESULT_OK) {
        WriteFlag(notIdentified, 0);
        return;
    }
    WriteFlag(notIdentified, 1);
    SignOff();
}

// ---- Wake-up, speed, identification ----

int32_t CCameraSession::WakeCamera(int32_t switchSpeed) {
    if (switchSpeed == 0) {
        // USB: two status requests, each sent once.
        m_commandAttempts = 0;
        if (ReadStatus() == RESULT_OK) {
            CheckCameraState();
            return m_result;
        }
        m_commandAttempts = 0;
        if (ReadStatus() == RESULT_OK) {
            if (CheckCameraState()) {
                DelayMs(10);
                m_commandAttempts = 3;
            }
            return m_result;
        }
        m_commandAttempts = 3;
        m_result = RESULT_LINK_FAILED;
        m_detailStatus = DETAIL_CAMERA_NOT_READY;
        return m_result;
    }

    // A target outside 1..5 means no speed has been chosen yet (the first search): the camera stays at
    // the speed it answers on instead of being sent an invalid speed command.
    const bool hasTarget = IsSpeedCode(m_targetSpeed);
    m_commandAttempts = 0;
    if (ReadStatus() == RESULT_OK) {
        if (!CheckCameraState()) {
            return m_result;
        }
        DelayMs(10);
        m_commandAttempts = 3;
        if (hasTarget && m_targetSpeed != m_cameraSpeed) {
            ChangeSpeed(m_targetSpeed);
            if (m_result == RESULT_OK) {
                ReadStatus();
            }
            if (m_result == RESULT_OK) {
                DelayMs(10);
                m_commandAttempts = 3;
            }
        }
        return m_result;
    }
    if (IsUsb()) {
        return m_result;
    }

    // Line reset: a break brings the camera back to 9600 baud.
    DelayMs(50);
    SetBreak(BREAK_ON);
    DelayMs(300);
    SetBreak(BREAK_OFF);
    DelayMs(200);
    PurgePort(PURGE_OUTPUT);
    m_commandAttempts = 0;
    SetLineSpeed(SPEED_9600);
    DelayMs(100);
    if (ReadStatus() == RESULT_OK) {
        if (!CheckCameraState()) {
            return m_result;
        }
        m_commandAttempts = 3;
        m_result = RESULT_OK;
        if (hasTarget) {
            ChangeSpeed(m_targetSpeed);
            if (m_result == RESULT_OK) {
                DelayMs(100);
                ReadStatus();
            }
            if (m_result == RESULT_OK) {
                DelayMs(10);
                m_commandAttempts = 3;
            }
        } else {
            m_cameraSpeed = SPEED_9600;  // the break put the camera at 9600, and the line is there too
        }
        if (m_result == RESULT_OK) {
            return m_result;
        }
    }
    SetLineSpeed(SPEED_9600);
    m_cameraSpeed = SPEED_9600;
    m_result = RESULT_NOT_READY;
    m_detailStatus = DETAIL_CAMERA_NOT_READY;
    return m_result;
}

int32_t CCameraSession::ChangeSpeed(int32_t speedCode) {
    SetCameraSpeed(speedCode);
    if (m_result != RESULT_OK) {
        return m_result;
    }
    m_lastExchangeTime = StampNow();
    m_result = SetLineSpeed(speedCode);
    if (m_result == RESULT_OK) {
        m_cameraSpeed = speedCode;
        return m_result;
    }
    // The line keeps its old rate; the camera may now be at the new one. No second try.
    SetLineSpeed(m_speedCode);
    m_lastExchangeTime = StampNow();
    return m_result;
}

int32_t CCameraSession::Identify() {
    m_result = OpenUsbDevice();
    if (m_result != RESULT_OK) {
        return m_result;
    }
    for (int attempt = 1;; ++attempt) {
        m_result = GetUsbDeviceDescriptor();
        if (m_result == RESULT_OK) {
            GetUsbConfiguration();
        }
        m_usbRetryArmed = 1;
        if (m_result == RESULT_OK) {
            WakeCamera(0);
        }
        m_usbRetryArmed = 0;
        if (m_usbRetryNeeded != 1) {
            break;
        }
        if (m_result == RESULT_OK) {
            break;  // a transfer failed on the way, but the camera answered in the end
        }
        m_usbRetryNeeded = 0;
        if (attempt == IDENTIFY_ATTEMPTS) {
            m_result = RESULT_USB_PROBE_FAILED;
            ReleaseUsbDevice();
            return m_result;
        }
    }
    if (m_result != RESULT_OK) {
        m_result = RESULT_NOT_READY;
        ReleaseUsbDevice();
        return m_result;
    }
    if (NeedsFlagFollowUp() && SendFlagFollowUp() == RESULT_OK) {
        ReadStatus();
    }
    ReleaseUsbHandle();
    return m_result;
}

// ---- Records ----

int32_t CCameraSession::ReadCameraInfo(CameraInfo* info) {
    m_resultCode = CODE_OK;
    m_result = RESULT_OK;
    m_detailStatus = 0;
    if (info == nullptr) {
        return m_result;
    }
    if (IsUsb()) {
        m_result = ReopenUsbDevice();
        if (m_result != RESULT_OK) {
            ToResultCode();
            return m_result;
        }
        ReadStatus();
    } else {
        WakeCamera(1);
    }
    if (m_result == RESULT_OK && NeedsFlagFollowUp()) {
        SendFlagFollowUp();
    }
    if (m_result == RESULT_OK) {
        BuildCameraInfo();
        *info = m_cameraInfo;
    }
    if (IsUsb()) {
        ReleaseUsbHandle();
    }
    return m_result;
}

int32_t CCameraSession::ReadCameraName(CameraName* name) {
    m_resultCode = CODE_OK;
    m_result = RESULT_OK;
    m_detailStatus = 0;
    if (name == nullptr || name->name == nullptr) {
        return m_result;
    }
    if (IsUsb()) {
        m_result = ReopenUsbDevice();
        if (m_result != RESULT_OK) {
            ToResultCode();
            return m_result;
        }
        ReadStatus();
    } else {
        WakeCamera(1);
    }
    if (m_result == RESULT_OK && NeedsFlagFollowUp()) {
        SendFlagFollowUp();
    }
    if (m_result == RESULT_OK) {
        BuildCameraName();
        name->clock = m_cameraClock;
        std::memcpy(name->name, m_cameraName, CAMERA_NAME_BUFFER_SIZE);
    }
    if (IsUsb()) {
        ReleaseUsbHandle();
    }
    return m_result;
}

// ---- Update mode, sign-off, end ----

int32_t CCameraSession::UnlockOverUsb() {
    m_resultCode = CODE_OK;
    m_result = RESULT_OK;
    m_detailStatus = 0;
    if (IsUsb()) {
        m_result = ReopenUsbDevice();
        if (m_result != RESULT_OK) {
            ToResultCode();
            return m_result;
        }
    }
    if (RequestUpdateMode() == RESULT_OK) {
        AccessExchange();
    }
    if (IsUsb()) {
        // The handle goes; a refused update mode stays the outcome, so the search does not report an
        // unlocked camera that is still locked.
        ReleaseUsbHandle();
    }
    return m_result;
}

int32_t CCameraSession::SignOff() {
    SendSignOff();
    if (IsUsb()) {
        m_result = CloseUsbDevice();
        return m_result;
    }
    m_result = CloseSerialPort();
    return m_result;
}

void CCameraSession::EndSession() {
    m_resultCode = CODE_OK;
    m_result = RESULT_OK;
    if (IsUsb()) {
        m_result = ReopenUsbDevice();
    }
    SendReset();
    if (IsUsb()) {
        SignOff();
    } else {
        CloseSerialPort();
    }
    ToResultCode();
}

// Fuzz target: the data packet receive, the command exchange and the camera search against a hostile
// camera. Byte 0 chooses the link and the operation; the rest is what the camera sends (see
// hostile_camera.h). Whatever it sends, the session must end without a crash, a hang or a stray access.
#include <cstddef>
#include <cstdint>

#include "hostile_camera.h"
#include "protocol/camera_session.h"

namespace {

void OpenLink(CCameraSession& session, bool usb) {
    session.m_portKind = usb ? PORT_KIND_USB : PORT_KIND_SERIAL;
    if (usb) {
        session.OpenUsbDevice();
        session.GetUsbConfiguration();
    } else {
        session.OpenSerialPort(1);
    }
    session.m_commandAttempts = 3;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const uint8_t choice = data[0];
    const bool usb = (choice & 0x08) != 0;
    VirtualClock clock(1000 + (choice & 0x80 ? 0xFFFFF000u : 0));  // high bit: the counter wraps soon
    ScopedClock scopedClock(clock);
    qxfuzz::HostileDevices devices(clock, data + 1, size - 1);
    CCameraSession session(devices);

    switch (choice & 0x07) {
        case 0: {  // the status block, as ReadStatus receives it
            OpenLink(session, usb);
            session.m_expectReady = (choice & 0x10) != 0 ? 1 : 0;
            uint8_t block[qx::STATUS_BLOCK_SIZE];
            session.ReceiveBlock(block, qx::STATUS_BLOCK_SIZE, STATUS_PACKET_SIZE);
            break;
        }
        case 1:  // one command, its completion and the status read
            OpenLink(session, usb);
            session.BeginCommand();
            session.m_command[0] = (choice & 0x10) != 0 ? qx::CMD_CHECKSUM : qx::CMD_UPDATE_MODE;
            if (session.SendCommand() == RESULT_OK) {
                session.AwaitCompletion(COMPLETION_TIMEOUT_MS);
            }
            session.ReadStatus();
            break;
        case 2:
            OpenLink(session, usb);
            session.m_firmwareVersion = (choice & 0x10) != 0 ? qx::ACCESS_NEW_REPLY_MIN_VERSION : 0;
            session.AccessExchange();
            break;
        case 3: {  // one firmware block
            OpenLink(session, usb);
            static uint8_t block[qx::USB_BLOCK_SIZE];
            session.WriteBlock(block, choice >> 4);
            break;
        }
        default: {  // a whole search: COM1, USB or every link
            CameraInfo info;
            char text[CAMERA_NAME_BUFFER_SIZE] = {};
            CameraName name;
            name.name = text;
            int32_t notIdentified = 0;
            const int16_t port = (choice & 0x07) == 4 ? 1 : (choice & 0x07) == 5 ? PORT_USB : PORT_AUTO;
            session.SearchCamera(port, &info, &name, &notIdentified);
            session.EndSession();
            break;
        }
    }
    return 0;
}

// Fuzz target: the data packet receive, the command exchange and the camera search against a hostile
// camera. Byte 0 chooses the link and the operation; the rest is what the camera sends (see
// hostile_camera.h). Whatever it sends, the session must end without a crash, a hang or a stray access.
#include <cstddef>
#include <cstdint>

#include "hostile_camera.h"
#include "protocol/camera_session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const uint8_t choice = data[0];
    const bool flag = (choice & 0x10) != 0;
    VirtualClock clock(1000 + (choice & 0x80 ? 0xFFFFF000u : 0));  // high bit: the counter wraps soon
    ScopedClock scopedClock(clock);
    qxfuzz::HostileCamera camera(clock, data + 1, size - 1, sim::DefaultDeviceDescriptor(),
                                 sim::DefaultConfiguration());
    CCameraSession session(camera);
    const int operation = choice & 0x07;
    if (operation < 4) {  // the link opened as the search leaves it; bit 3 chooses USB
        const bool usb = (choice & 0x08) != 0;
        session.m_portKind = usb ? PORT_KIND_USB : PORT_KIND_SERIAL;
        if (usb) {
            session.OpenUsbDevice();
            session.GetUsbConfiguration();
        } else {
            session.OpenSerialPort(1);
        }
        session.m_commandAttempts = 3;
    }
    if (operation == 0) {  // the status block, as ReadStatus receives it
        uint8_t status[wire::STATUS_BLOCK_SIZE];
        session.ReceiveBlock(status, wire::STATUS_BLOCK_SIZE, wire::STATUS_PACKET_SIZE,
                             flag ? PacketStart::AfterReadyByte : PacketStart::Immediate);
    } else if (operation == 1) {  // one command, its completion and the status read
        session.BeginCommand();
        session.m_command[0] = flag ? wire::CMD_CHECKSUM : wire::CMD_UPDATE_MODE;
        if (session.SendCommand() == RESULT_OK) {
            session.AwaitCompletion(wire::COMPLETION_TIMEOUT_MS);
        }
        session.ReadStatus();
    } else if (operation == 2) {
        session.m_firmwareVersion = flag ? wire::ACCESS_NEW_REPLY_MIN_VERSION : 0;
        session.AccessExchange();
    } else if (operation == 3) {  // one firmware block
        static uint8_t block[wire::USB_BLOCK_SIZE];
        session.WriteBlock(block, choice >> 4);
    } else {  // a whole search: COM1, USB or every link
        CameraInfo info;
        char text[CAMERA_NAME_BUFFER_SIZE] = {};
        CameraName name;
        name.name = text;
        int32_t notIdentified = 0;
        const int16_t port = operation == 4 ? int16_t{1} : operation == 5 ? PORT_USB : PORT_AUTO;
        session.SearchCamera(port, &info, &name, &notIdentified);
        session.EndSession();
    }
    return 0;
}

// The camera's side of every exchange: a byte-stream model of the Corva QX410 Zoom in its update mode.
//
// The model is a pure state machine. It never reads a clock: every call carries the current time in
// milliseconds, so the same model runs behind the virtual-time devices of the tests (sim/virtual_devices.h)
// and behind the simulator program's pseudo-terminal and driver socket on the real clock.
//
// Host bytes go in through Receive; the camera's answers are queued with the time at which they are on the
// line and are handed out by TakeDue/Transmit once that time has come. A serial line carries a byte only
// when both ends use the same bit rate: bytes sent while the rates differ are lost in both directions.
// On USB (host rate 0) nothing is lost and no busy bytes come between the ready byte and its packet,
// because one driver read takes the ready byte and the packet together.
//
// The camera's timing is stated in ResponseTimes so that a benchmark can add it up; fault switches make
// the camera misbehave in the ways the updater must survive.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace sim {

enum class LinkKind : uint8_t { Serial, Usb };

// Times the camera takes, in milliseconds from the event that starts them.
struct ResponseTimes {
    uint32_t ackMs = 2;             // end of a command packet (or data packet) -> its acknowledgement
    uint32_t readyMs = 5;           // status read acknowledged -> ready byte
    uint32_t completionMs = 5;      // acknowledgement -> completion for 0x8D, 0x96, 0x97, 0x7F's D2
    uint32_t accessReplyMs = 20;    // access string -> access reply
    uint32_t eraseMs = 200;         // erase acknowledged -> completion (per command, serial or USB)
    uint32_t blockWriteMs = 3;      // data packet accepted (0xD2) -> completion
    uint32_t checksumMs = 20;       // checksum acknowledged -> completion
    uint32_t resetMs = 30;          // reset acknowledged -> completion
    uint32_t restartMs = 100;       // reset completion -> camera back at 9600 baud, locked
    uint32_t busyIntervalMs = 100;  // spacing of busy bytes
    uint32_t packetGapMs = 500;     // a partial packet older than this is dropped
};

// Where a run of busy bytes replaces an awaited byte.
enum class ReplyPoint : uint8_t { Ack, Ready, Completion };

// Busy bytes (0xF0 every busyIntervalMs) for durationMs before the reply at `point` of the commands with
// the given code (0 = every command). endless: busy bytes without end, nothing else ever again.
struct BusyFault {
    uint8_t command = 0;
    ReplyPoint point = ReplyPoint::Ack;
    uint32_t durationMs = 0;
    bool endless = false;
};

// How the camera mishandles a speed command.
enum class SpeedFault : uint8_t {
    None,
    SwitchElsewhere,  // acknowledges, then switches to a rate other than the one asked for
    StayPut,          // acknowledges and keeps its rate
};

// Ways the camera can misbehave; all off by default.
struct CameraFaults {
    bool silent = false;                      // never answers anything
    std::vector<BusyFault> busy;              // busy bytes in place of replies
    std::optional<uint32_t> refuseBlock;      // this block's data packet gets 0xE3 ...
    uint32_t refuseBlockTimes = 0;            // ... this many times (then the check decides)
    uint32_t statusErrorTimes = 0;            // status reads answered ready + 0xE2 instead of a packet
    uint32_t corruptStatusCheckTimes = 0;     // status packets sent with a wrong check byte
    std::optional<uint8_t> refuseCommand;     // this command code is refused with 0xE1
    bool wrongAccessReply = false;            // answers the access string with the wrong reply
    bool checksumAlwaysMismatch = false;      // the checksum command always fails
    std::optional<uint32_t> silentFromBlock;  // the write command of this block and all after it
                                              // go unanswered: the camera is gone
    bool eraseNeverCompletes = false;         // erase acknowledged, completion never comes
    SpeedFault speed = SpeedFault::None;
};

// What the camera is and how it behaves; everything the status block and descriptors carry.
struct CameraConfig {
    LinkKind link = LinkKind::Serial;

    // Status block contents.
    uint8_t state = 6;                      // byte 1; 6 = ready
    uint8_t versionMajor = 10;              // byte 2: first and second version digit as 0..99
    uint8_t versionMinor = 0x60;            // byte 3: third digit high nibble, fourth digit low nibble
    uint8_t flags = 0x80;                   // byte 11
    uint16_t counter = 1234;                // bytes 14-15, high byte first
    std::string name = "Corva QX410 Zoom";  // bytes 28-59, padded with spaces, cut at 32
    std::array<uint16_t, 3> selectedValues = {100, 200, 300};  // selector 1: 64-65, 2: 62-63, 3: 60-61
    uint8_t sizeFlag = 0;                                      // byte 79
    uint8_t selector = 1;                                      // byte 80
    uint16_t year = 2001;                                      // bytes 88-89
    uint8_t month = 6;                                         // byte 90, 1..12
    uint8_t day = 15;                                          // byte 91
    uint8_t hour = 12;                                         // byte 92
    uint8_t minute = 30;                                       // byte 93
    uint8_t second = 45;                                       // byte 94

    // Update mode already open: the access string is answered at once, without 0x8D first. The reply is
    // chosen by the version word as always (an updater that has not read the version expects the second).
    bool startUnlocked = false;

    ResponseTimes times;
    CameraFaults faults;

    // Each camera byte takes 10 bit times at the current rate (the simulator's paced mode). Off: bytes
    // are due at the moment they are produced.
    bool pacing = false;

    // USB descriptors. The configuration's total length is its bytes 2-3 (little-endian); empty vectors
    // mean the built-in descriptors (see DefaultDeviceDescriptor / DefaultConfiguration).
    std::vector<uint8_t> deviceDescriptor;
    std::vector<uint8_t> configuration;
    // The flash at power-on (FLASH_SIZE bytes, e.g. as an interrupted update left it); empty: the old
    // firmware pattern.
    std::vector<uint8_t> initialFlash;
};

// The built-in USB descriptors: an 18-byte device descriptor and a 32-byte configuration (configuration
// record 9, interface 9, bulk IN endpoint 0x82 and bulk OUT endpoint 0x01, 7 each).
std::vector<uint8_t> DefaultDeviceDescriptor();
std::vector<uint8_t> DefaultConfiguration();
constexpr uint8_t DEFAULT_READ_PIPE = 0x82;

// One command packet as the camera took it.
struct CommandRecord {
    uint8_t code = 0;
    std::array<uint8_t, 6> params = {};  // bytes 1..6
    uint32_t timeMs = 0;                 // when its last byte arrived
};

// One camera byte leaving the output queue.
struct OutputByte {
    uint8_t value = 0;
    uint32_t dueMs = 0;  // when it is on the line
    bool lost = false;   // the host's rate differed: the byte never reached it
};

constexpr uint32_t FLASH_SIZE = 0x100000;
constexpr uint8_t CHECKSUM_FAILURE_BYTE = 0x04;

class CameraModel {
  public:
    explicit CameraModel(const CameraConfig& config = {});

    // ---- The line ----
    // Host bytes arriving at nowMs over a line at hostBaud (0 = USB: no line rate, nothing lost). Returns
    // how many the camera heard: none while the rates differ, a break is on, or the camera is silent.
    size_t Receive(const uint8_t* data, size_t count, uint32_t nowMs, uint32_t hostBaud);
    // Break on the line: the camera drops what it was doing and returns to 9600 baud (speed code 1).
    void SetBreak(bool on, uint32_t nowMs);
    // Removes and returns every byte due at nowMs, in order; those sent at a rate other than hostBaud are
    // marked lost (hostBaud 0 = USB: none lost). Busy bytes without end are produced as they fall due.
    std::vector<OutputByte> TakeDue(uint32_t nowMs, uint32_t hostBaud);
    // Copies up to max bytes due at nowMs that reach a host at hostBaud; lost bytes are dropped and not
    // counted. Bytes beyond max stay queued.
    size_t Transmit(uint8_t* out, size_t max, uint32_t nowMs, uint32_t hostBaud);
    // When the next queued byte falls due, or nothing when the camera has nothing more to say.
    std::optional<uint32_t> NextOutputTime() const;

    // ---- Observation ----
    const CameraConfig& Config() const { return m_config; }
    // Faults may be changed between exchanges.
    CameraFaults& Faults() { return m_config.faults; }
    // The 256-byte status block built from the configuration.
    std::array<uint8_t, 256> StatusBlock() const;
    // The firmware version word of status bytes 2 and 3 (digits as bytes, most significant first).
    uint32_t VersionWord() const;
    const std::vector<CommandRecord>& Commands() const { return m_commands; }
    // Block numbers whose data packets were accepted, in order (a block written twice appears twice).
    const std::vector<uint32_t>& BlocksWritten() const { return m_blocksWritten; }
    // Data packets the camera refused (0xE3), in all.
    uint32_t DataPacketsRefused() const { return m_dataRefused; }
    std::optional<uint16_t> ChecksumReceived() const { return m_checksumReceived; }
    std::optional<uint16_t> ChecksumComputed() const { return m_checksumComputed; }
    const std::vector<uint8_t>& Flash() const { return m_flash; }
    // Speed codes of the acknowledged speed commands, in order.
    const std::vector<int>& SpeedsUsed() const { return m_speedsUsed; }
    uint32_t AccessStringsSeen() const { return m_accessStrings; }
    uint32_t EraseCommands() const { return m_eraseCommands; }
    bool ResetSeen() const { return m_resetSeen; }
    bool Unlocked() const { return m_unlocked; }
    int SpeedCode() const { return m_speedCode; }
    uint32_t BaudRate() const;
    // USB descriptors as the driver hands them out.
    const std::vector<uint8_t>& DeviceDescriptor() const { return m_deviceDescriptor; }
    const std::vector<uint8_t>& Configuration() const { return m_configuration; }
    // The configuration's total length (bytes 2-3).
    uint16_t ConfigurationTotalLength() const;

  private:
    enum class Phase : uint8_t {
        Idle,               // waiting for a command packet or the access string
        AwaitStatusAnswer,  // status packet sent: 0xD2 or 0xE3 expected
        AwaitAccessAck,     // access reply sent: the updater's 0xD1 unlocks
        AwaitDataPacket,    // write command acknowledged: the data packet comes
        Gone,               // silent for good (endless busy, or dropped at a block)
    };

    struct Pending {
        uint32_t dueMs;
        uint8_t value;
        uint32_t baud;  // rate the byte is sent at
    };

    void ApplyPendingSpeed(uint32_t nowMs);
    uint32_t RateAt(uint32_t atMs) const;
    bool PopDue(uint32_t nowMs, uint32_t hostBaud, OutputByte& out);
    void TakeByte(uint8_t byte, uint32_t nowMs);
    void ParseIdle(uint32_t nowMs);
    void HandleCommand(const std::array<uint8_t, 8>& packet, uint32_t nowMs);
    void HandleAccessString(uint32_t nowMs);
    void HandleDataPacket(uint32_t nowMs);
    void StartStatusRead(uint32_t nowMs);
    void SendStatusPacket(uint32_t atMs);
    void EraseCommand(const std::array<uint8_t, 8>& packet, uint32_t ackAtMs);
    void WriteCommand(const std::array<uint8_t, 8>& packet, uint32_t ackAtMs);
    void SpeedCommand(const std::array<uint8_t, 8>& packet, uint32_t ackAtMs);
    uint16_t ComputeChecksum() const;

    // Queues a byte no earlier than atMs (and after every byte already queued); returns its due time.
    uint32_t Emit(uint32_t atMs, uint8_t byte);
    uint32_t EmitBytes(uint32_t atMs, const uint8_t* data, size_t count);
    // Busy bytes for the faults matching (command, point) from atMs, then the byte; returns its due time.
    // An endless fault starts the endless busy stream instead and returns nothing.
    std::optional<uint32_t> EmitReply(uint32_t atMs, uint8_t command, ReplyPoint point, uint8_t byte);
    uint32_t DataPacketSize() const;
    uint32_t BlockSize() const;

    CameraConfig m_config;
    std::vector<uint8_t> m_deviceDescriptor;
    std::vector<uint8_t> m_configuration;
    std::vector<uint8_t> m_flash;

    // Line state.
    int m_speedCode = 1;
    std::optional<std::pair<uint32_t, int>> m_pendingSpeed;  // (time, code): the rate changes then
    bool m_breakOn = false;
    bool m_haveQueued = false;   // m_lastDueMs is meaningful
    uint32_t m_lastDueMs = 0;    // due time of the last byte queued: the line sends in order
    uint32_t m_paceCarryUs = 0;  // pacing: microseconds of the last byte beyond m_lastDueMs

    // Parser state.
    Phase m_phase = Phase::Idle;
    std::vector<uint8_t> m_rx;
    uint32_t m_lastRxMs = 0;
    uint32_t m_phaseSinceMs = 0;
    uint32_t m_currentBlock = 0;

    // Camera state.
    bool m_unlocked = false;
    bool m_updateModeRequested = false;
    uint32_t m_statusErrorsGiven = 0;
    uint32_t m_statusCorruptionsGiven = 0;
    uint32_t m_blockRefusalsGiven = 0;
    std::vector<bool> m_writtenSinceErase;
    bool m_anyWrittenSinceErase = false;

    // Output queue and the endless busy stream.
    std::deque<Pending> m_out;
    std::optional<uint32_t> m_endlessBusyNextMs;

    // Observation.
    std::vector<CommandRecord> m_commands;
    std::vector<uint32_t> m_blocksWritten;
    uint32_t m_dataRefused = 0;
    std::optional<uint16_t> m_checksumReceived;
    std::optional<uint16_t> m_checksumComputed;
    std::vector<int> m_speedsUsed;
    uint32_t m_accessStrings = 0;
    uint32_t m_eraseCommands = 0;
    bool m_resetSeen = false;
};

}  // namespace sim

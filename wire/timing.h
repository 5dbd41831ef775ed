// Every time-out and pause of the camera protocol, in milliseconds, with the reason the camera needs it.
// The links, the camera session, the camera model's checks and the benchmark's floor all read them here,
// so a pause is changed in one place or not at all.
#pragma once

#include <cstdint>

namespace wire {

// ---- Command exchange ----
constexpr uint32_t COMMAND_SPACING_MS = 100;        // end of one exchange -> the next command packet
constexpr uint32_t FIRST_COMMAND_SPACING_MS = 100;  // a link just opened -> its first command packet
constexpr uint32_t WRITE_TIMEOUT_MS = 200;   // every write: command packets, data packets, control bytes
constexpr uint32_t REPLY_TIMEOUT_MS = 3000;  // one-byte replies (acknowledgements)
// A camera that sends nothing but busy bytes in place of an acknowledgement for this long is taken as
// not answering; no command the camera knows keeps it busy anywhere near this long.
constexpr uint32_t REPLY_BUSY_LIMIT_MS = 60000;
constexpr uint32_t SLOW_ACK_PAUSE_MS = 3000;         // checksum and reset: the camera answers only after this
constexpr uint32_t COMPLETION_TIMEOUT_MS = 3000;     // the completion byte of every command but the erase
constexpr uint32_t ERASE_PAUSE_MS = 3000;            // the erase starts at once: no read before this
constexpr uint32_t ERASE_TIMEOUT_MS = 30000;         // the erase's completion byte
constexpr uint32_t CHECKSUM_VERIFY_PAUSE_MS = 2000;  // the camera reads its flash back before it answers
constexpr uint32_t SPEED_SWITCH_PAUSE_MS = 100;      // the camera switches its line after the speed command
constexpr uint32_t ACCESS_REPLY_PAUSE_MS = 500;      // access string -> reading the camera's reply
constexpr uint32_t ACCESS_REPLY_TIMEOUT_MS = 2000;   // the 12-byte access reply
constexpr uint32_t ACCESS_ACK_PAUSE_MS = 200;        // after the updater's acknowledgement of the reply
constexpr uint32_t STATUS_SETTLE_MS = 10;            // a camera that reported ready, before the next step

// ---- Data packet receive ----
constexpr uint32_t READY_READ_TIMEOUT_MS = 3000;   // each read while waiting for the ready byte
constexpr uint32_t READY_BUSY_LIMIT_MS = 10000;    // busy bytes before a packet: "camera busy" after this
constexpr uint32_t PACKET_READ_TIMEOUT_MS = 2000;  // one data packet
constexpr uint32_t DRAIN_PAUSE_MS = 500;           // a lost packet: wait for stray bytes before asking again

// ---- Serial line ----
constexpr uint32_t OPEN_SETTLE_MS = 100;        // port opened -> line configured
constexpr uint32_t READ_INTERVAL_MS = 30;       // a normal read ends this long after a byte without the next
constexpr uint32_t POLLED_GAP_LIMIT_MS = 1000;  // a polled read gives up after input paused this long
constexpr uint32_t WRITE_MS_PER_BYTE = 50;      // a write's bytes must have left the port within this
// Line reset: a break brings a camera that does not answer back to 9600 baud.
constexpr uint32_t BREAK_LEAD_MS = 50;                 // before the break
constexpr uint32_t BREAK_HOLD_MS = 300;                // length of the break
constexpr uint32_t BREAK_RECOVERY_MS = 200;            // after the break, before the line is touched
constexpr uint32_t LINE_RESET_SETTLE_MS = 100;         // line at 9600 -> the status request
constexpr uint32_t RESET_SPEED_SWITCH_PAUSE_MS = 100;  // after the speed switch of a line reset

// ---- Camera search and session ----
constexpr uint32_t PORT_OPEN_PAUSE_MS = 500;         // serial port opened -> the access string
constexpr uint32_t INFO_READ_PAUSE_MS = 2000;        // -> reading the camera's record
constexpr uint32_t NAME_READ_PAUSE_MS = 1000;        // record -> reading the camera's name
constexpr uint32_t SPEED_RESTORE_PAUSE_MS = 500;     // name -> back to 9600 baud
constexpr uint32_t UPDATE_MODE_PAUSE_MS = 2000;      // -> the update mode command
constexpr uint32_t ACCESS_EXCHANGE_PAUSE_MS = 2000;  // update mode -> the access exchange
constexpr uint32_t UNLOCK_PAUSE_MS = 2000;           // USB: name -> update mode and access exchange

// ---- Download ----
constexpr uint32_t ERASE_LEAD_MS = 200;  // before each erase command (USB), after the speed switch (serial)
constexpr uint32_t CHECKSUM_LEAD_MS = 500;     // last block -> the checksum command
constexpr uint32_t SPEED_BACK_PAUSE_MS = 500;  // serial: before and after the switch back to 9600 baud
constexpr uint32_t RESET_LEAD_MS = 1000;       // -> the reset command
constexpr uint32_t RESET_SETTLE_MS = 200;      // after the reset, before the link is let go

// ---- USB driver ----
// No legitimate request takes longer than this (the longest is the erase's completion, 30 s, awaited after
// a 3 s pause); a driver that keeps a request longer is treated as having failed it.
constexpr uint32_t USB_REQUEST_LIMIT_MS = 35000;

}  // namespace wire

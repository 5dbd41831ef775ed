// The stand-in driver's link to the camera simulator's driver socket, served on a loopback TCP port
// (qx410-camera-sim --driver-tcp): one stream connection per open handle, one framed exchange per device
// control request.
//   request  = u32 LE control code | u32 LE length L | L bytes
//   response = u32 LE status (0 = success) | u32 LE length R (R <= L) | R bytes
// Kept apart from the kernel-mode part because the Winsock headers and the driver kit's do not mix.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum ForwardResult {
    FORWARD_ANSWERED = 0,  // the simulator answered; its status and answer length are set
    FORWARD_BROKEN = 1,    // the connection failed, was interrupted or the answer did not fit
} ForwardResult;

// Once, before any other call: 0 when Winsock cannot start.
int ForwardStartup(void);
// Connects to the simulator's driver requests on 127.0.0.1:port; 0 when they cannot be reached.
uintptr_t ForwardConnect(uint16_t port);
// Sends the request and waits, without a bound, for its answer, which is written into buffer (at most
// capacity bytes).
ForwardResult ForwardExchange(uintptr_t link, uint32_t controlCode, uint8_t* buffer, uint32_t length,
                              uint32_t capacity, uint32_t* status, uint32_t* answerLength);
// Ends the connection's traffic both ways, from any thread: an exchange waiting on it returns
// FORWARD_BROKEN at once. The link stays to be closed.
void ForwardInterrupt(uintptr_t link);
void ForwardClose(uintptr_t link);

#ifdef __cplusplus
}
#endif

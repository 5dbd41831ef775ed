// The download's status callback: drives the progress notice of each download phase (erase, write)
// through the running update's user interface, and always lets the download go on.
#pragma once

#include <cstdint>

#include "app/update_ui.h"

// How long the final picture of a phase (completed or failed) stays on screen before the notice closes.
constexpr uint32_t NOTICE_FINAL_HOLD_MS = 1000;

// The label of the notice for an event of a phase. Null for an unknown kind.
const char* GetNoticeText(uint32_t eventKind, DownloadPhase phase);

// StatusCallback handed to DownloadFirmware (phase non-zero: the erase phase). Start opens a notice (closing
// one still open), every event of kinds 0..3 paints it, completed and failed hold the picture
// NOTICE_FINAL_HOLD_MS and close it. Events without a notice, events of other kinds and calls without a
// controller do nothing. Returns 1.
int32_t ReportDownloadStatus(uint32_t eventKind, int32_t value, int32_t phase);

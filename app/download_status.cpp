// The download status callback and its progress notice events.
#include "app/download_status.h"

#include "app/update_controller.h"
#include "common/clock.h"

const char* GetNoticeText(uint32_t eventKind, DownloadPhase phase) {
    const bool erasing = phase == DownloadPhase::Erase;
    switch (eventKind) {
        case STATUS_START:
        case STATUS_PROGRESS:
            return erasing ? "Erasing data block ..." : "Downloading firmware ...";
        case STATUS_COMPLETED:
            return erasing ? "Erasing data block completed." : "Downloading firmware completed.";
        case STATUS_FAILED:
            return erasing ? "Erasing data block failed." : "Downloading firmware failed.";
        default:
            return nullptr;
    }
}

int32_t ReportDownloadStatus(uint32_t eventKind, int32_t value, int32_t phase) {
    CUpdateController* controller = g_pController;
    if (controller == nullptr) {
        return 1;
    }
    const DownloadPhase notice = phase != 0 ? DownloadPhase::Erase : DownloadPhase::Download;
    if (eventKind == STATUS_START) {
        controller->OpenNotice(notice);
    }
    IUpdateUi* ui = controller->Notice();
    if (ui == nullptr) {
        return 1;
    }
    const char* text = GetNoticeText(eventKind, notice);
    if (text == nullptr) {
        return 1;
    }
    // The value travels as a signed 16-bit percentage.
    const int32_t percent = static_cast<int16_t>(value);
    const bool painted = ui->PaintNotice(eventKind, percent, text);
    if (eventKind == STATUS_COMPLETED || eventKind == STATUS_FAILED) {
        if (painted) {
            DelayMs(NOTICE_FINAL_HOLD_MS);
        }
        controller->CloseNotice();
    }
    return 1;
}

// The download status callback and its progress notice events.
#include "app/download_status.h"

#include "app/update_controller.h"
#include "common/clock.h"

namespace {

// Closes the notice and forgets it.
void CloseCurrentNotice(CUpdateController& controller) {
    if (controller.m_pNotice != nullptr) {
        controller.m_pNotice->CloseNotice();
    }
    controller.m_pNotice = nullptr;
    controller.m_bNoticeOpen = 0;
}

}  // namespace

const char* GetNoticeText(uint32_t eventKind, int32_t phase) {
    const bool erasing = phase != 0;
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
    if (eventKind == STATUS_START) {
        // A notice left open by an unfinished phase would otherwise stay on screen for good.
        if (controller->m_pNotice != nullptr) {
            CloseCurrentNotice(*controller);
        }
        IUpdateUi* ui = controller->CurrentUi();
        controller->m_pNotice = (ui != nullptr && ui->OpenNotice()) ? ui : nullptr;
        controller->m_bNoticeOpen = 1;
    }
    IUpdateUi* notice = controller->m_pNotice;
    if (notice == nullptr) {
        return 1;
    }
    const char* text = GetNoticeText(eventKind, phase);
    if (text == nullptr) {
        return 1;
    }
    // The value travels as a signed 16-bit percentage.
    const int32_t percent = static_cast<int16_t>(value);
    const bool painted = notice->PaintNotice(eventKind, percent, text);
    if (eventKind == STATUS_COMPLETED || eventKind == STATUS_FAILED) {
        if (painted) {
            DelayMs(NOTICE_FINAL_HOLD_MS);
        }
        CloseCurrentNotice(*controller);
    }
    return 1;
}

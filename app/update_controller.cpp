// The update controller: window placement, the status line, the file choice and the whole update run.
#include "app/update_controller.h"

#include <cstdio>
#include <cstring>

#include "app/download_status.h"
#include "app/firmware_image.h"
#include "common/clock.h"
#include "protocol/status_records.h"
#include "res/strings.h"

CUpdateController* g_pController = nullptr;

namespace {

// Text produced the way the status line and the messages format their pieces: into a zero-filled
// 100-byte buffer, truncated to fit.
constexpr size_t FORMAT_BUFFER_SIZE = 100;

// A camera version character: the byte as a digit; the last one maps 10.. to letters ('A' for 10).
char ToVersionDigit(uint32_t byte) {
    return static_cast<char>(static_cast<uint8_t>(byte + '0'));
}
char ToLastVersionChar(uint32_t byte) {
    return static_cast<char>(static_cast<uint8_t>(byte < 10 ? byte + '0' : byte + 55));
}

}  // namespace

WindowPosition ComputeDialogPosition(const WindowRect& reference, int32_t width, int32_t height) {
    const int32_t referenceWidth = reference.right - reference.left;
    const int32_t referenceHeight = reference.bottom - reference.top;
    WindowPosition position;
    position.x = referenceWidth / 2 - width / 2;
    position.y = referenceHeight / 2 - height / 2;
    if (position.x < 0) {
        position.x = 0;
    }
    if (position.y < 0) {
        position.y = 0;
    }
    return position;
}

WindowPosition ComputeNoticePosition(const WindowRect& reference, int32_t width, int32_t height) {
    WindowPosition position;
    position.x = (reference.right - reference.left) - width - 10;
    position.y = (reference.bottom - reference.top) - height;
    return position;
}

CUpdateController::CUpdateController(platform::IDevices& devices)
    : m_pSession(std::make_unique<CCameraSession>(devices)) {
    if (g_pController == nullptr) {
        g_pController = this;
    }
}

CUpdateController::~CUpdateController() {
    if (g_pController == this) {
        g_pController = nullptr;
    }
}

void CUpdateController::PlaceDialog(IPlacedWindow* window) {
    if (window == nullptr) {
        return;
    }
    const WindowRect outer = window->GetOuterRect();
    const WindowPosition position =
        ComputeDialogPosition(m_rcReference, outer.right - outer.left, outer.bottom - outer.top);
    window->MoveTo(position.x, position.y);
}

void CUpdateController::PlaceNotice(IPlacedWindow* window) {
    if (window == nullptr) {
        return;
    }
    const WindowRect outer = window->GetOuterRect();
    const WindowPosition position =
        ComputeNoticePosition(m_rcReference, outer.right - outer.left, outer.bottom - outer.top);
    window->MoveTo(position.x, position.y);
}

IUpdateUi* CUpdateController::OpenNotice(DownloadPhase phase) {
    // A notice left open by an unfinished phase would otherwise stay on screen for good.
    if (m_pNotice != nullptr) {
        CloseNotice();
    }
    m_pNotice = (m_pUi != nullptr && m_pUi->OpenNotice(phase)) ? m_pUi : nullptr;
    m_bNoticeOpen = 1;
    return m_pNotice;
}

void CUpdateController::CloseNotice() {
    if (m_pNotice != nullptr) {
        m_pNotice->CloseNotice();
    }
    m_pNotice = nullptr;
    m_bNoticeOpen = 0;
}

void CUpdateController::SetStatus(int16_t kind) {
    m_strStatus.clear();
    const char* cameraIdLabel = res::LoadString(res::IDS_CAMERA_ID);
    const char* versionLabel = res::LoadString(res::IDS_FIRMWARE_VERSION);
    if (kind == STATUS_LINE_PORT_PROMPT) {
        m_strStatus = res::LoadString(res::IDS_SELECT_PORT);
    } else if (kind == STATUS_LINE_SEARCHING) {
        m_strStatus = res::LoadString(res::IDS_SEARCHING);
    } else if (kind == STATUS_LINE_CAMERA && m_bCameraKnown != 0) {
        char piece[FORMAT_BUFFER_SIZE] = {};
        m_strStatus = cameraIdLabel;
        if (m_cameraId[0] != 0) {
            std::snprintf(piece, sizeof piece, ": %s     ", m_cameraId);
        } else {
            std::snprintf(piece, sizeof piece, ": ---    ");
        }
        m_strStatus += piece;
        m_strStatus += versionLabel;
        std::memset(piece, 0, sizeof piece);
        std::snprintf(piece, sizeof piece, ": %c.%c%c", m_cameraVersion[1], m_cameraVersion[2],
                      m_cameraVersion[3]);
        m_strStatus += piece;
    }
    if (m_pInfoBar != nullptr) {
        m_pInfoBar->RepaintNow();
    }
}

uint16_t CUpdateController::ReadWordBE(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] * 256 + p[1]);
}

void CUpdateController::SetFileVersion(const uint8_t* versionChars) {
    CopyFileVersion(versionChars, m_fileVersion);
}

int16_t CUpdateController::CompareText(const char* text, const char* reference, int16_t count) {
    return ::CompareText(text, reference, count);
}

int16_t CUpdateController::SelectFirmwareFile(IUpdateUi& owner, int32_t open, char* path,
                                              const char* filter) {
    (void)open;  // the chooser is always an open dialog; the flag is kept for callers' sake
    // The initial name: five characters from the first "*." not followed by '*'.
    std::string initialName;
    const size_t filterLength = std::strlen(filter);
    for (size_t i = 0; i + 2 < filterLength; ++i) {
        if (filter[i] == '*' && filter[i + 1] == '.' && filter[i + 2] != '*') {
            initialName.assign(filter + i, filterLength - i < 5 ? filterLength - i : 5);
            break;
        }
    }
    std::string chosen;
    for (;;) {
        switch (owner.ChooseFile(filter, initialName, chosen)) {
            case FileDialogResult::Chosen:
                break;
            case FileDialogResult::Cancelled:
                return FILE_SELECT_CANCELLED;
            case FileDialogResult::Failed:
                ShowFileError(owner, res::LoadString(res::IDS_FILE_NOT_FOUND));
                return FILE_SELECT_FAILED;
        }
        // A path that does not fit the buffer (or would be cut short by a zero byte) names another file
        // than the one chosen: refuse it and open the dialog again, its message being the one shown.
        if (chosen.size() < static_cast<size_t>(FILE_PATH_BUFFER_SIZE) &&
            chosen.find('\0') == std::string::npos) {
            break;
        }
        ShowFileError(owner, PATH_TOO_LONG_TEXT);
    }
    std::memcpy(path, chosen.c_str(), chosen.size() + 1);
    return FILE_SELECT_CHOSEN;
}

uint8_t* CUpdateController::LoadFirmwareFile(IUpdateUi& owner, const char* path, int32_t& length) {
    return LoadFirmwareImage(owner, path, length);
}

void CUpdateController::RunUpdate(IUpdateUi& view) {
    m_pUi = &view;
    RunWorkflow(view);
    m_pUi = nullptr;
}

void CUpdateController::StoreCameraVersion(uint32_t versionWord) {
    m_cameraVersion[0] = ToVersionDigit(versionWord >> 24);
    DelayMs(VERSION_PAUSE_1_MS);
    m_cameraVersion[1] = ToVersionDigit((versionWord >> 16) & 0xFF);
    DelayMs(VERSION_PAUSE_2_MS);
    m_cameraVersion[2] = ToVersionDigit((versionWord >> 8) & 0xFF);
    DelayMs(VERSION_PAUSE_3_MS);
    m_cameraVersion[3] = ToLastVersionChar(versionWord & 0xFF);
}

void CUpdateController::RunWorkflow(IUpdateUi& view) {
    const char* filter = res::LoadString(res::IDS_FILE_FILTER);
    m_rcReference = view.GetViewRect();

    int16_t port = PORT_AUTO;
    if (view.ShowPortDialog(port) != DIALOG_OK) {
        return;
    }

    view.RepaintView();
    view.SetBusyCursor(true);
    CameraInfo info;
    CameraName name;
    char nameText[36] = {};
    name.name = nameText;
    m_pSession->SearchCamera(port, &info, &name, &m_bNotIdentified);
    view.SetBusyCursor(false);

    if (m_pSession->GetResultCode() != 0) {
        view.ShowOutcomeDialog(MessageDialog::NotFound, res::LoadString(res::IDS_NOT_FOUND),
                               ExplainSearchFailure(*m_pSession, port));
        return;
    }

    if (m_bNotIdentified != 0) {
        SetStatus(STATUS_LINE_BLANK);
    } else {
        std::memcpy(m_cameraId, nameText, 32);
        StoreCameraVersion(info.version);
        m_bCameraKnown = 1;
        SetStatus(STATUS_LINE_CAMERA);
    }

    RunFileSelection(view, filter);
}

void CUpdateController::RunFileSelection(IUpdateUi& view, const char* filter) {
    for (;;) {
        char path[FILE_PATH_BUFFER_SIZE] = {};
        const int16_t selected = SelectFirmwareFile(view, 1, path, filter);
        if (selected == FILE_SELECT_CANCELLED) {
            view.RepaintView();
            if (view.ShowMessageDialog(MessageDialog::FileCancel, res::LoadString(res::IDS_FILE_CANCELLED)) ==
                DIALOG_OK) {
                continue;
            }
            m_pSession->EndSession();
            return;
        }
        if (selected != FILE_SELECT_CHOSEN) {
            m_pSession->EndSession();
            return;
        }
        if (InstallChosenFile(view, path) == FileOutcome::Done) {
            return;
        }
    }
}

// Loads and checks the chosen file and, when it passes (and the user confirms a same-version image),
// downloads it. The busy cursor is on except while a prompt waits for the user; the image block goes
// when this returns, or before a prompt that no longer needs it.
CUpdateController::FileOutcome CUpdateController::InstallChosenFile(IUpdateUi& view, const char* path) {
    ScopedBusyCursor busy(view);
    int32_t length = 0;
    FirmwareImage image(LoadFirmwareFile(view, path, length));
    if (!image) {
        busy.Hide();
        m_pSession->EndSession();
        return FileOutcome::Done;
    }

    // The checks on the bytes read: a wrong file of any kind gets the same prompt, and the version is
    // kept when an identified image holds one.
    const ImageChecks checks = CheckFirmwareImage(image.get(), length);
    if (checks.hasVersion) {
        SetFileVersion(reinterpret_cast<const uint8_t*>(checks.version));
    }
    if (checks.WrongFile()) {
        busy.Hide();
        image.reset();
        view.RepaintView();
        if (view.ShowFileCheckDialog(FileCheckCase::WrongFile, res::LoadString(res::IDS_WRONG_FILE)) ==
            DIALOG_OK) {
            return FileOutcome::ChooseAgain;
        }
        m_pSession->EndSession();
        return FileOutcome::Done;
    }

    if (m_bNotIdentified == 0 && MatchesCameraVersion(m_fileVersion, m_cameraVersion)) {
        busy.Hide();
        view.RepaintView();
        if (view.ShowFileCheckDialog(FileCheckCase::VersionMatches,
                                     res::LoadString(res::IDS_VERSION_MATCHES)) != DIALOG_OK) {
            image.reset();
            m_pSession->EndSession();
            return FileOutcome::Done;
        }
        busy.Show();
    }

    view.RepaintView();
    m_pSession->DownloadFirmware(image.get() + FIRMWARE_HEADER_SIZE, ReportDownloadStatus);
    const int16_t result = m_pSession->GetResultCode();
    busy.Hide();
    if (result != 0) {
        image.reset();
        view.ShowOutcomeDialog(MessageDialog::UpdateFailed, res::LoadString(res::IDS_UPDATE_FAILED),
                               ExplainLinkFailure(*m_pSession));
        return FileOutcome::Done;
    }
    view.Beep(BeepKind::Ok);
    char text[FORMAT_BUFFER_SIZE] = {};
    std::snprintf(text, sizeof text, res::LoadString(res::IDS_SUCCESS), m_fileVersion[1], m_fileVersion[2],
                  m_fileVersion[3]);
    view.ShowMessageDialog(MessageDialog::Success, text);
    return FileOutcome::Done;
}

// CUpdateController: the one update controller of the process. It owns the camera session and the
// status line text, places every dialog, and runs the whole update once (RunUpdate): port choice,
// camera search, firmware file choice and checks, download, and the final message. It knows the user
// interface only through IUpdateUi, so it builds and is tested without Qt.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/update_ui.h"
#include "platform/devices.h"
#include "protocol/camera_session.h"

// Status line kinds for SetStatus.
constexpr int16_t STATUS_LINE_PORT_PROMPT = 0;
constexpr int16_t STATUS_LINE_SEARCHING = 1;
constexpr int16_t STATUS_LINE_CAMERA = 2;
constexpr int16_t STATUS_LINE_BLANK = 3;

// SelectFirmwareFile results.
constexpr int16_t FILE_SELECT_CHOSEN = 0;
constexpr int16_t FILE_SELECT_CANCELLED = 100;
constexpr int16_t FILE_SELECT_FAILED = 11;

// The path buffer that SelectFirmwareFile fills: a path must fit with its terminator.
constexpr int32_t FILE_PATH_BUFFER_SIZE = 256;

// Shown (through the file error box) when the chosen file's path does not fit the path buffer; the file
// dialog then opens again. The buffer holds bytes of the file system's encoding, so the limit counts
// bytes (a character outside ASCII takes more than one).
constexpr char PATH_TOO_LONG_TEXT[] =
    "The path of the selected file is too long.\nIt must be shorter than 256 bytes.";

// Camera version pauses: after the first, the second and the third version character.
constexpr uint32_t VERSION_PAUSE_1_MS = 1000;
constexpr uint32_t VERSION_PAUSE_2_MS = 1000;
constexpr uint32_t VERSION_PAUSE_3_MS = 500;

// Where a window's top-left corner goes.
struct WindowPosition {
    int32_t x = 0;
    int32_t y = 0;
};

// A dialog of outer size width x height centred on the reference rectangle: each half truncated toward
// zero, a negative coordinate raised to 0.
WindowPosition ComputeDialogPosition(const WindowRect& reference, int32_t width, int32_t height);
// The progress notice at the bottom right of the reference rectangle, 10 pixels in from the right; not
// clamped.
WindowPosition ComputeNoticePosition(const WindowRect& reference, int32_t width, int32_t height);

class CUpdateController {
  public:
    // Creates the camera session over devices (production: platform::SystemDevices()). Becomes the
    // process-wide controller (g_pController) when there is none yet.
    explicit CUpdateController(platform::IDevices& devices);
    virtual ~CUpdateController();
    CUpdateController(const CUpdateController&) = delete;
    CUpdateController& operator=(const CUpdateController&) = delete;

    // Centres window on m_rcReference and moves it there. Nothing for a null window.
    virtual void PlaceDialog(IPlacedWindow* window);
    // Rebuilds the status line for kind (STATUS_LINE_*) and repaints the info bar at once.
    virtual void SetStatus(int16_t kind);
    // The whole update, run once; view is the user interface for the run (the main view: its client
    // rectangle, repaints, prompts and the progress notice). Returns when the update is over.
    virtual void RunUpdate(IUpdateUi& view);
    // p[0] * 256 + p[1].
    virtual uint16_t ReadWordBE(const uint8_t* p);
    // Copies the image's four version characters (image offset 61) into m_fileVersion.
    virtual void SetFileVersion(const uint8_t* versionChars);
    // 0 when the first count characters agree and none is 0, otherwise 1.
    virtual int16_t CompareText(const char* text, const char* reference, int16_t count);
    // Asks the user for a firmware file; fills path (FILE_PATH_BUFFER_SIZE bytes). FILE_SELECT_CHOSEN,
    // FILE_SELECT_CANCELLED, or FILE_SELECT_FAILED after "File not found error!" was shown.
    virtual int16_t SelectFirmwareFile(IUpdateUi& owner, int32_t open, char* path, const char* filter);
    // Loads the whole file into one zero-filled block (see LoadFirmwareImage); null after the error was
    // shown. The caller releases the block with ReleaseFirmwareImage.
    virtual uint8_t* LoadFirmwareFile(IUpdateUi& owner, const char* path, int32_t& length);

    // Puts the progress notice at the bottom right of the reference rectangle. Nothing for a null window.
    void PlaceNotice(IPlacedWindow* window);
    // The rectangle dialogs are centred on and the notice placed in: the main view's client rectangle,
    // which RunUpdate takes from its view when it starts.
    void SetReferenceRect(const WindowRect& rect) { m_rcReference = rect; }
    // The info bar that paints the status line (not owned; null for none).
    void SetInfoBar(IInfoBar* infoBar) { m_pInfoBar = infoBar; }
    const std::string& StatusText() const { return m_strStatus; }
    // The user interface of the running update, null outside RunUpdate.
    IUpdateUi* CurrentUi() const { return m_pUi; }

    // What the search found: the session (its link and its last step's details), whether the camera's
    // name and version were read (never reset), and whether a camera answered without identifying itself.
    const CCameraSession& Session() const { return *m_pSession; }
    bool CameraKnown() const { return m_bCameraKnown != 0; }
    bool CameraNotIdentified() const { return m_bNotIdentified != 0; }
    // The camera's name (zero-terminated, padded with blanks to 32 characters) and its four version
    // characters (not terminated); meaningful once CameraKnown().
    const char* CameraId() const { return m_cameraId; }
    const char* CameraVersion() const { return m_cameraVersion; }

    // The progress notice of the running download phase (the download status callback): OpenNotice
    // closes a notice still open, then asks the running update's user interface for one; Notice is the
    // user interface holding it (null for none); CloseNotice closes it.
    IUpdateUi* OpenNotice(DownloadPhase phase);
    IUpdateUi* Notice() const { return m_pNotice; }
    void CloseNotice();

  protected:
    // ---- Fields (a derived class, such as a test's, may set what a run leaves behind) ----
    int32_t m_bNoticeOpen = 0;       // 1 while a progress notice was requested and not yet closed
    IUpdateUi* m_pNotice = nullptr;  // the user interface holding the open notice, or none
    // (The digit strip of the percentage belongs to the notice painter in ui/.)
    WindowRect m_rcReference{};  // the main view's client rectangle, taken when RunUpdate starts
    int32_t m_bCameraKnown = 0;  // the camera's name and version were read; never reset
    char m_cameraVersion[4] = {};
    char m_cameraId[40] = {};  // zero-terminated; only the first 32 bytes are ever written
    char m_fileVersion[4] = {};
    IInfoBar* m_pInfoBar = nullptr;
    std::string m_strStatus;
    std::unique_ptr<CCameraSession> m_pSession;
    int32_t m_bNotIdentified = 0;  // written by the search: found but not identified
    IUpdateUi* m_pUi = nullptr;    // the view of the running update

  private:
    enum class FileOutcome { ChooseAgain, Done };
    void RunWorkflow(IUpdateUi& view);
    void RunFileSelection(IUpdateUi& view, const char* filter);
    FileOutcome InstallChosenFile(IUpdateUi& view, const char* path);
    void StoreCameraVersion(uint32_t versionWord);
};

// The process-wide controller, reached by the download status callback. Null when there is none.
extern CUpdateController* g_pController;

// The application's string table: every text the user sees that is not fixed in a dialog template,
// by its number. Shared by the update controller and the Qt user interface; the texts are exact,
// including their blanks and line breaks.
#pragma once

#include <cstdint>

namespace res {

constexpr uint32_t IDS_DOC_TEMPLATE = 2;
constexpr uint32_t IDS_TITLE = 3;
constexpr uint32_t IDS_VERSION_MATCHES = 4;
constexpr uint32_t IDS_NOT_FOUND = 6;
constexpr uint32_t IDS_UPDATE_FAILED = 10;
constexpr uint32_t IDS_FILE_FILTER = 11;
constexpr uint32_t IDS_FILE_READ_ERROR = 12;
constexpr uint32_t IDS_FILE_NOT_FOUND = 13;
constexpr uint32_t IDS_FILE_CANCELLED = 15;
constexpr uint32_t IDS_SELECT_PORT = 16;
constexpr uint32_t IDS_CAMERA_ID = 17;
constexpr uint32_t IDS_FIRMWARE_VERSION = 19;
constexpr uint32_t IDS_WRONG_FILE = 20;
constexpr uint32_t IDS_SUCCESS = 21;
constexpr uint32_t IDS_SEARCHING = 22;
constexpr uint32_t IDS_APP_TITLE = 57344;

struct StringEntry {
    uint32_t id;
    const char* text;
};

// The application's title: the main window's caption, every dialog's caption and strings 3 and 57344.
inline constexpr char APP_TITLE[] = "Corva QX410 Zoom Digital Camera Update Software";

inline constexpr StringEntry STRING_TABLE[] = {
    {IDS_DOC_TEMPLATE,
     "Corva QX410 Zoom Digital Camera Update Software\nQx410fw\nQx410fw "
     "Document\n\n\nQx410fw.Document\nQx410fw "
     "Document"},
    {IDS_TITLE, APP_TITLE},
    {IDS_VERSION_MATCHES, "\nSelected firmware matches camera version."},
    {IDS_NOT_FOUND,
     "Camera can not be found.\nPlease exit, and turn off the camera.\nThen turn it back on, and verify that "
     "it is "
     "properly connected."},
    {IDS_UPDATE_FAILED, "Camera update failed. Quit and follow the\nRETRY PROCEDURE in the ReadMe file. "},
    {IDS_FILE_FILTER, "Firmware Files (*.fw )   |*.fw||  "},
    {IDS_FILE_READ_ERROR, "File open or read error!"},
    {IDS_FILE_NOT_FOUND, "File not found error!"},
    {IDS_FILE_CANCELLED, "File selection was canceled !"},
    {IDS_SELECT_PORT, "Select the communication port. "},
    {IDS_CAMERA_ID, "Camera ID"},
    {IDS_FIRMWARE_VERSION, "Firmware Version"},
    {IDS_WRONG_FILE, "\nSelected file is wrong.\nTo select correct file, click Continue button."},
    {IDS_SUCCESS, "Firmware %c.%c%c was successfully installed in your Corva QX410 Zoom Digital Camera !"},
    {IDS_SEARCHING, "Searching for Corva QX410 Zoom Digital Camera ..."},
    {IDS_APP_TITLE, APP_TITLE},
};

// The text of string id; an empty text for a number the table does not hold.
constexpr const char* LoadString(uint32_t id) {
    for (const StringEntry& entry : STRING_TABLE) {
        if (entry.id == id) {
            return entry.text;
        }
    }
    return "";
}

}  // namespace res

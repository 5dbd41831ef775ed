// A user interface for the controller's tests: answers every prompt from a script and records every
// call in order, as one line of text each, with the clock reading for the notice events.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "app/update_controller.h"
#include "app/update_ui.h"
#include "common/clock.h"

class ScriptedUi final : public IUpdateUi {
  public:
    struct FileAnswer {
        FileDialogResult result = FileDialogResult::Cancelled;
        std::string path;
    };

    // Script.
    int portResult = DIALOG_OK;
    int16_t portChoice = 0;
    CUpdateController* controller = nullptr;  // told SetStatus(1) on OK, as the port dialog does
    std::deque<int> messageAnswers;           // one per message dialog; DIALOG_CANCEL when exhausted
    std::deque<FileAnswer> fileAnswers;       // one per file dialog; Cancelled when exhausted
    bool noticeOpens = true;
    bool noticePaints = true;
    WindowRect viewRect{0, 0, 800, 600};

    // Record.
    std::vector<std::string> calls;
    struct NoticeEvent {
        std::string what;  // "open erase", "open download", "paint", "close"
        uint32_t kind = 0;
        int32_t value = 0;
        std::string text;
        uint32_t timeMs = 0;
    };
    std::vector<NoticeEvent> notices;
    int busyDepth = 0, busyLowest = 0;

    // Only the prompts and messages, in order.
    std::vector<std::string> Prompts() const {
        std::vector<std::string> prompts;
        for (const std::string& call : calls) {
            for (const char* kind : {"message ", "file-error ", "port", "choose", "beep"}) {
                if (call.rfind(kind, 0) == 0) {
                    prompts.push_back(call);
                }
            }
        }
        return prompts;
    }

    WindowRect GetViewRect() override { return viewRect; }
    int ShowPortDialog(int16_t& port) override {
        calls.emplace_back("port");
        if (portResult == DIALOG_OK) {
            port = portChoice;
            if (controller != nullptr) {
                controller->SetStatus(STATUS_LINE_SEARCHING);
            }
        }
        return portResult;
    }
    // The cause the last outcome dialog was given.
    HostCause lastCause;
    int ShowOutcomeDialog(MessageDialog dialog, const std::string& text, const HostCause& cause) override {
        lastCause = cause;
        return ShowMessageDialog(dialog, text);
    }
    int ShowMessageDialog(MessageDialog dialog, const std::string& text) override {
        calls.push_back("message " + std::to_string(static_cast<int>(dialog)) + " " + text);
        return NextMessageAnswer();
    }
    // Recorded with its case: "message 103 version-matches <text>".
    int ShowFileCheckDialog(FileCheckCase check, const std::string& text) override {
        const char* name = check == FileCheckCase::VersionMatches ? "version-matches" : "wrong-file";
        calls.push_back("message " + std::to_string(static_cast<int>(MessageDialog::FileCheck)) + " " + name +
                        " " + text);
        return NextMessageAnswer();
    }
    int NextMessageAnswer() {
        if (messageAnswers.empty()) {
            return DIALOG_CANCEL;
        }
        const int answer = messageAnswers.front();
        messageAnswers.pop_front();
        return answer;
    }
    FileDialogResult ChooseFile(const std::string& filter, const std::string& initialName,
                                std::string& path) override {
        calls.push_back("choose [" + filter + "] [" + initialName + "]");
        if (fileAnswers.empty()) {
            return FileDialogResult::Cancelled;
        }
        FileAnswer answer = std::move(fileAnswers.front());
        fileAnswers.pop_front();
        path = answer.path;
        return answer.result;
    }
    void ShowFileError(const std::string& text) override { calls.push_back("file-error " + text); }
    void Beep(BeepKind kind) override {
        calls.emplace_back(kind == BeepKind::Ok ? "beep ok" : "beep simple");
    }
    void SetBusyCursor(bool busy) override {
        busyDepth += busy ? 1 : -1;
        busyLowest = std::min(busyLowest, busyDepth);
        calls.emplace_back(busy ? "busy on" : "busy off");
    }
    void RepaintView() override { calls.emplace_back("repaint"); }
    bool OpenNotice(DownloadPhase phase) override {
        notices.push_back(
            {phase == DownloadPhase::Erase ? "open erase" : "open download", 0, 0, {}, NowMs()});
        calls.emplace_back("notice open");
        return noticeOpens;
    }
    bool PaintNotice(uint32_t eventKind, int32_t value, const char* text) override {
        notices.push_back({"paint", eventKind, value, text != nullptr ? text : "", NowMs()});
        return noticePaints;
    }
    void CloseNotice() override {
        notices.push_back({"close", 0, 0, {}, NowMs()});
        calls.emplace_back("notice close");
    }
};

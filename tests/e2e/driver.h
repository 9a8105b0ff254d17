// Drives a real updater as a user would: starts it, finds its window of class "simple",
// reads and sets control texts, presses buttons and answers its message boxes.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace e2e {

// Milliseconds; Wine may run emulated here, so every wait is generous.
constexpr DWORD WINDOW_TIMEOUT = 180000;
constexpr DWORD BOX_TIMEOUT = 180000;
constexpr DWORD EXIT_TIMEOUT = 180000;

// A message box of the updater, its caption and text as UTF-8.
struct MessageBoxSeen {
    HWND window = nullptr;
    std::string caption;
    std::string text;
    bool hasYesNo = false;
};

class Updater {
public:
    // Starts the program; environment entries ("NAME=value") are added for it alone.
    explicit Updater(const std::string& path, const std::vector<std::string>& environment = {});
    ~Updater();
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    bool started() const { return process_ != nullptr; }
    DWORD processId() const { return processId_; }

    // The main window once it shows, or nullptr when the process ends or time runs out first.
    HWND WaitForWindow(DWORD timeout = WINDOW_TIMEOUT);
    HWND window() const { return window_; }
    std::string WindowTitle() const;

    std::string Text(int controlId) const;
    void SetText(int controlId, const std::string& utf8) const;
    bool IsEnabled(int controlId) const;
    bool IsChecked(int controlId) const;
    void SetChecked(int controlId, bool checked) const;
    // As a click does: WM_COMMAND to the main window, posted so that a box it opens cannot block us.
    void Press(int controlId) const;
    // The title bar's close box.
    void PressCloseBox() const;

    // The next message box of this process, or nothing when it ends or time runs out first.
    std::optional<MessageBoxSeen> WaitForMessageBox(DWORD timeout = BOX_TIMEOUT);
    // Presses a button of a box (IDOK, IDYES, IDNO) and waits until the box is gone.
    void Answer(const MessageBoxSeen& box, int buttonId);

    bool IsRunning() const;
    // The exit code, or nothing when the process is still running after timeout.
    std::optional<DWORD> WaitForExit(DWORD timeout = EXIT_TIMEOUT);

    // Text editor processes the updater has started so far (their process ids).
    std::vector<DWORD> EditorsStarted() const;

private:
    HANDLE process_ = nullptr;
    DWORD processId_ = 0;
    HWND window_ = nullptr;
};

// Names in the temp folder that begin with "MSA": the updaters' work directories.
std::vector<std::string> WorkDirectories();

std::string ToUtf8(const std::wstring& text);
std::wstring FromCodePage(const std::string& bytes, UINT codePage);

} // namespace e2e

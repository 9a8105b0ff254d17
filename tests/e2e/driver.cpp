// The updater driven from outside, through its windows only (see driver.h).
#include "driver.h"

#include <tlhelp32.h>

#include <cwchar>

namespace e2e {

namespace {

constexpr DWORD POLL_INTERVAL = 100;
constexpr UINT SEND_TIMEOUT = 20000;

DWORD WindowProcess(HWND window)
{
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    return processId;
}

std::wstring ClassOf(HWND window)
{
    wchar_t name[64] = L"";
    GetClassNameW(window, name, 64);
    return name;
}

struct WindowSearch {
    DWORD processId;
    const wchar_t* className;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<WindowSearch*>(parameter);
    if (WindowProcess(window) == search->processId && IsWindowVisible(window) &&
        _wcsicmp(ClassOf(window).c_str(), search->className) == 0)
        search->found.push_back(window);
    return TRUE;
}

// Top-level windows of a process with the given class, visible ones only.
std::vector<HWND> TopLevelWindows(DWORD processId, const wchar_t* className)
{
    WindowSearch search{processId, className, {}};
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// WM_GETTEXT works across processes where GetWindowText does not read controls.
std::wstring WindowText(HWND window)
{
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT, &length))
        return L"";
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                        SEND_TIMEOUT, &copied);
    text.resize(copied);
    return text;
}

// The text of a message box: its one static control that is not the icon.
std::wstring MessageBoxText(HWND box)
{
    std::wstring longest;
    for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (_wcsicmp(ClassOf(child).c_str(), L"Static") != 0)
            continue;
        if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON)
            continue;
        std::wstring text = WindowText(child);
        if (text.size() > longest.size())
            longest = text;
    }
    return longest;
}

} // namespace

std::string ToUtf8(const std::wstring& text)
{
    if (text.empty())
        return {};
    int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), utf8.data(), size, nullptr, nullptr);
    return utf8;
}

std::wstring FromCodePage(const std::string& bytes, UINT codePage)
{
    if (bytes.empty())
        return {};
    int size = MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring wide(size, L'\0');
    MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(), size);
    return wide;
}

Updater::Updater(const std::string& path, const std::vector<std::string>& environment)
{
    // The child inherits our environment, so the additions are made around its start only.
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
    for (const std::string& entry : environment) {
        std::string name = entry.substr(0, entry.find('='));
        char old[4096];
        DWORD length = GetEnvironmentVariableA(name.c_str(), old, sizeof old);
        saved.emplace_back(name, length ? std::optional<std::string>(old) : std::nullopt);
        SetEnvironmentVariableA(name.c_str(), entry.substr(name.size() + 1).c_str());
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::string commandLine = "\"" + path + "\"";
    if (CreateProcessA(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &info)) {
        process_ = info.hProcess;
        processId_ = info.dwProcessId;
        CloseHandle(info.hThread);
    }
    for (const auto& [name, value] : saved)
        SetEnvironmentVariableA(name.c_str(), value ? value->c_str() : nullptr);
}

Updater::~Updater()
{
    if (!process_)
        return;
    // A test that failed half-way must not leave an updater behind for the next one.
    if (IsRunning()) {
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, 10000);
    }
    CloseHandle(process_);
}

HWND Updater::WaitForWindow(DWORD timeout)
{
    for (DWORD waited = 0; waited < timeout && IsRunning(); waited += POLL_INTERVAL) {
        std::vector<HWND> windows = TopLevelWindows(processId_, L"simple");
        if (!windows.empty())
            return window_ = windows.front();
        Sleep(POLL_INTERVAL);
    }
    return nullptr;
}

std::string Updater::WindowTitle() const
{
    return ToUtf8(WindowText(window_));
}

std::string Updater::Text(int controlId) const
{
    return ToUtf8(WindowText(GetDlgItem(window_, controlId)));
}

void Updater::SetText(int controlId, const std::string& utf8) const
{
    std::wstring text = FromCodePage(utf8, CP_UTF8);
    DWORD_PTR result = 0;
    SendMessageTimeoutW(GetDlgItem(window_, controlId), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                        SMTO_ABORTIFHUNG, SEND_TIMEOUT, &result);
}

bool Updater::IsEnabled(int controlId) const
{
    return IsWindowEnabled(GetDlgItem(window_, controlId)) != FALSE;
}

bool Updater::IsChecked(int controlId) const
{
    DWORD_PTR state = 0;
    SendMessageTimeoutW(GetDlgItem(window_, controlId), BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, SEND_TIMEOUT, &state);
    return state == BST_CHECKED;
}

void Updater::SetChecked(int controlId, bool checked) const
{
    DWORD_PTR result = 0;
    SendMessageTimeoutW(GetDlgItem(window_, controlId), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0,
                        SMTO_ABORTIFHUNG, SEND_TIMEOUT, &result);
}

void Updater::Press(int controlId) const
{
    PostMessageW(window_, WM_COMMAND, MAKEWPARAM(controlId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window_, controlId)));
}

void Updater::PressCloseBox() const
{
    PostMessageW(window_, WM_SYSCOMMAND, SC_CLOSE, 0);
}

std::optional<MessageBoxSeen> Updater::WaitForMessageBox(DWORD timeout)
{
    for (DWORD waited = 0; waited < timeout && IsRunning(); waited += POLL_INTERVAL) {
        for (HWND box : TopLevelWindows(processId_, L"#32770")) {
            MessageBoxSeen seen;
            seen.window = box;
            seen.caption = ToUtf8(WindowText(box));
            seen.text = ToUtf8(MessageBoxText(box));
            seen.hasYesNo = GetDlgItem(box, IDYES) != nullptr;
            // A box is complete once its text is in place.
            if (!seen.text.empty())
                return seen;
        }
        Sleep(POLL_INTERVAL);
    }
    return std::nullopt;
}

void Updater::Answer(const MessageBoxSeen& box, int buttonId)
{
    PostMessageW(box.window, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box.window, buttonId)));
    for (DWORD waited = 0; waited < BOX_TIMEOUT && IsWindow(box.window); waited += POLL_INTERVAL)
        Sleep(POLL_INTERVAL);
}

bool Updater::IsRunning() const
{
    return process_ && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

std::optional<DWORD> Updater::WaitForExit(DWORD timeout)
{
    if (!process_ || WaitForSingleObject(process_, timeout) != WAIT_OBJECT_0)
        return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return code;
}

std::vector<DWORD> Updater::EditorsStarted() const
{
    std::vector<DWORD> editors;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return editors;
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
        if (entry.th32ParentProcessID == processId_ && _stricmp(entry.szExeFile, "notepad.exe") == 0)
            editors.push_back(entry.th32ProcessID);
    CloseHandle(snapshot);
    return editors;
}

std::vector<std::string> WorkDirectories()
{
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE listing = FindFirstFileA((std::string(temp) + "MSA*").c_str(), &found);
    if (listing == INVALID_HANDLE_VALUE)
        return names;
    do
        names.push_back(found.cFileName);
    while (FindNextFileA(listing, &found));
    FindClose(listing);
    return names;
}

} // namespace e2e

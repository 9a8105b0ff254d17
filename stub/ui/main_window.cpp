// The main window: shows the setup values, lets the user choose the destination and
// the backup, starts the worker and reports how the run ended.
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>
#include <stdlib.h>
#include <string.h>

#include "core/patch_data.h"
#include "stub/package/package_reader.h"
#include "stub/package/setup_file.h"
#include "stub/patch/tree_ops.h"
#include "stub/patch/update_run.h"
#include "stub/res/resource.h"
#include "stub/ui/localized_text.h"
#include "stub/ui/main_window.h"

char g_appDescription[PATH_ROOM];
char g_authorName[PATH_ROOM];
char g_authorEmail[PATH_ROOM];
char g_patchFilePath[PATH_ROOM];
char g_softwarePath[PATH_ROOM];
char g_mainFileName[PATH_ROOM];
char g_backupName[PATH_ROOM];

static char g_destination[PATH_ROOM];     // the edit's text at Update
static char g_backupDirectory[PATH_ROOM]; // destination + [Path] BackupDirectory; empty when that is unsafe
static char g_logFilePath[PATH_ROOM];     // destination + string 114
static char g_closeText[PATH_ROOM];       // string 211, the Close/Cancel button outside a run
static char g_cancelText[PATH_ROOM];      // string 212, the same button during a run
static HWND g_destinationEdit;            // control 531
static HWND g_closeCancelButton;          // control 452
static HWND g_updateButton;               // control 453
static HANDLE g_runThread;                // the worker while a run is active, NULL otherwise
static struct UpdateJob g_updateJob;      // the one run of the process

#define QUESTION_ROOM 310
#define CAPTION_ROOM 50

ATOM RegisterMainWindowClass(HINSTANCE instance)
{
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    (void)InitCommonControlsEx(&controls);
    // The folder browser needs COM on the thread that shows it, this one.
    (void)CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
    WNDCLASSA windowClass = {CS_HREDRAW | CS_VREDRAW,
                             MainWndProc,
                             0,
                             DLGWINDOWEXTRA,
                             instance,
                             LoadIconA(instance, MAKEINTRESOURCEA(IDI_MAIN)),
                             LoadCursorA(NULL, IDC_ARROW),
                             (HBRUSH)(COLOR_BTNFACE + 1),
                             NULL,
                             MAIN_WINDOW_CLASS};
    return RegisterClassA(&windowClass);
}

static void SetControlText(HWND window, int id, const char* text)
{
    (void)SetWindowTextA(GetDlgItem(window, id), text);
}

// path (PATH_ROOM bytes) = the destination joined with name by one backslash; empty when that
// would not fit in MAX_PATH_CHARS, so that nothing is ever done at a cut path.
static void JoinToDestination(char* path, const char* name)
{
    if (!JoinPath(path, g_destination, name))
        path[0] = '\0';
}

int AskToOverwrite(HWND owner, const char* fullPath)
{
    char text[QUESTION_ROOM + 2 + PATH_ROOM];
    char caption[CAPTION_ROOM];
    (void)LoadLocalizedString(g_instance, IDS_ATTACHED_EXISTS, text, QUESTION_ROOM);
    strcat(text, "\r\n");
    strcat(text, fullPath);
    (void)LoadLocalizedString(g_instance, IDS_CAPTION, caption, CAPTION_ROOM);
    return MessageBoxA(owner, text, caption, MB_ICONWARNING | MB_YESNO) == IDYES;
}

// The job's text loader: the log lines in the user's language.
static int LoadRunText(UINT id, char* buffer, int size)
{
    return LoadLocalizedString(g_instance, id, buffer, size);
}

static void ShowFailure(HWND window, UINT textId)
{
    (void)ShowLocalizedMessage(window, textId, IDS_CAPTION, MB_ICONHAND);
}

static void OnShow(HWND window)
{
    (void)LoadLocalizedString(g_instance, IDS_CANCEL, g_cancelText, PATH_ROOM);
    (void)LoadLocalizedString(g_instance, IDS_CLOSE, g_closeText, PATH_ROOM);
    (void)LocalizeControls(window);
    SubstituteAppName(GetDlgItem(window, IDC_WELCOME));
    g_destinationEdit = GetDlgItem(window, IDC_DESTINATION);
    g_closeCancelButton = GetDlgItem(window, IDC_CLOSE_CANCEL);
    g_updateButton = GetDlgItem(window, IDC_UPDATE);
    // Shown again during a run, the window must not touch the destination the run works in.
    (void)SetWindowTextA(g_destinationEdit, g_softwarePath);
    SetControlText(window, IDC_AUTHOR, g_authorName);
    SetControlText(window, IDC_EMAIL, g_authorEmail);
    SetControlText(window, IDC_DESCRIPTION, g_appDescription);
    (void)SendMessageA(GetDlgItem(window, IDC_BACKUP), BM_SETCHECK, BST_CHECKED, 0);
    (void)SetWindowTextA(g_closeCancelButton, g_closeText);
}

static void OnBrowse(HWND window)
{
    char title[PATH_ROOM];
    char displayName[PATH_ROOM];
    char path[PATH_ROOM];
    (void)LoadLocalizedString(g_instance, IDS_BROWSE_TITLE, title, PATH_ROOM);
    BROWSEINFOA browse = {window, NULL, displayName, title, 0, NULL, 0, 0};
    LPITEMIDLIST item = SHBrowseForFolderA(&browse);
    if (item && SHGetPathFromIDListA(item, path))
        (void)SetWindowTextA(g_destinationEdit, path);
    CoTaskMemFree(item);
}

// Also the close box and Alt+F4: during a run they only ask the worker to stop, so the
// process never ends with files half replaced and the originals not put back.
static void OnCloseCancel(HWND window)
{
    if (g_runThread)
        g_updateJob.runState = RUN_CANCELED;
    else
        (void)DestroyWindow(window);
}

// Non-zero when the main file exists in the destination and others at most read it.
static int MainFileIsThere(void)
{
    char probe[PATH_ROOM];
    JoinToDestination(probe, g_mainFileName);
    HANDLE file = CreateFileA(probe, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    (void)CloseHandle(file);
    return 1;
}

// A user32 call that older systems lack, or NULL there.
static void* FindUser32Call(const char* name)
{
    return (void*)GetProcAddress(GetModuleHandleA("user32.dll"), name);
}

typedef BOOL(WINAPI* ShutdownBlockReasonCreateCall)(HWND, LPCWSTR);
typedef BOOL(WINAPI* ShutdownBlockReasonDestroyCall)(HWND);

// The window refuses the end of the session while a run is active; from Vista on, Windows also
// shows the user why.
static void ExplainSessionEndRefusal(HWND window)
{
    char text[PATH_ROOM];
    WCHAR wide[PATH_ROOM];
    ShutdownBlockReasonCreateCall create = (ShutdownBlockReasonCreateCall)FindUser32Call("ShutdownBlockReasonCreate");
    if (create == NULL)
        return;
    (void)LoadLocalizedString(g_instance, IDS_SESSION_END_BLOCKED, text, PATH_ROOM);
    if (MultiByteToWideChar(CP_ACP, 0, text, -1, wide, PATH_ROOM))
        (void)create(window, wide);
}

static void WithdrawSessionEndRefusal(HWND window)
{
    ShutdownBlockReasonDestroyCall destroy =
        (ShutdownBlockReasonDestroyCall)FindUser32Call("ShutdownBlockReasonDestroy");
    if (destroy != NULL)
        (void)destroy(window);
}

// Everything the worker reads is written here, before its thread exists.
static HANDLE StartUpdateWorker(HWND window)
{
    char name[PATH_ROOM];
    DWORD threadId;
    (void)SetWindowTextA(g_closeCancelButton, g_cancelText);
    // A backup folder that would not lie below the destination stays empty: the backup then
    // counts as failed, and the rollback folder is kept and named in the log.
    if (IsSafeRelativePath(g_backupName))
        JoinToDestination(g_backupDirectory, g_backupName);
    (void)LoadStringA(g_instance, IDS_LOG_FILE, name, PATH_ROOM);
    JoinToDestination(g_logFilePath, name);
    g_updateJob.backupRequested = (DWORD)SendMessageA(GetDlgItem(window, IDC_BACKUP), BM_GETCHECK, 0, 0);
    g_updateJob.destinationDirectory = g_destination;
    g_updateJob.backupDirectory = g_backupDirectory;
    g_updateJob.patchFilePath = g_patchFilePath;
    g_updateJob.logFilePath = g_logFilePath;
    g_updateJob.mainFileName = g_mainFileName;
    g_updateJob.mainWindow = window;
    g_updateJob.progressBar = GetDlgItem(window, IDC_PROGRESS);
    g_updateJob.askToOverwrite = AskToOverwrite;
    g_updateJob.loadText = LoadRunText;
    g_updateJob.runState = RUN_ACTIVE;
    return CreateThread(NULL, 0, UpdateWorker, &g_updateJob, 0, &threadId);
}

static void OnUpdate(HWND window)
{
    (void)EnableWindow(g_updateButton, FALSE);
    (void)GetWindowTextA(g_destinationEdit, g_destination, PATH_ROOM);
    UINT refusal = !MainFileIsThere()                                            ? IDS_WRONG_DIRECTORY
                   : strlen(g_destination) > MAX_PATH_CHARS - ROLLBACK_NAME_ROOM ? IDS_DESTINATION_TOO_LONG
                                                                                 : 0;
    if (refusal != 0) {
        ShowFailure(window, refusal);
        // Nothing has been touched yet, so the user may correct the folder and try again.
        (void)EnableWindow(g_updateButton, TRUE);
        return;
    }
    // A patch bundle that cannot be unpacked says why: no memory, a full temp folder, bad data.
    UINT problem = ReadPackageRecord(RECORD_PATCH_BUNDLE);
    if (problem == 0 && (g_runThread = StartUpdateWorker(window)) != NULL) {
        ExplainSessionEndRefusal(window);
        return;
    }
    ShowFailure(window, problem != 0 ? problem : IDS_DATA_ERROR);
    exit(0);
}

static void OnCommand(HWND window, WORD id)
{
    if (id == IDC_BROWSE)
        OnBrowse(window);
    else if (id == IDC_CLOSE_CANCEL)
        OnCloseCancel(window);
    else if (id == IDC_UPDATE)
        OnUpdate(window);
}

static void OpenLogInEditor(HWND window)
{
    // The viewer starts in the destination: started in the work directory, it would keep the exit
    // handler from removing that folder for as long as it stays open. It is named by its full path
    // in the system folder, so that no program of that name in the destination is started instead.
    char system[PATH_ROOM];
    char viewer[PATH_ROOM];
    UINT length = GetSystemDirectoryA(system, PATH_ROOM);
    if (length == 0 || length >= PATH_ROOM || !JoinPath(viewer, system, "notepad.exe"))
        return;
    (void)SetCurrentDirectoryA(g_destination);
    (void)ShellExecuteA(window, "open", viewer, g_logFilePath, g_destination, SW_SHOWNORMAL);
}

static_assert(IDS_RUN_STOPPED(RUN_CANCELED) == IDS_CANCELED &&
                  IDS_RUN_STOPPED(RUN_MAIN_FILE_FAILED) == IDS_MAIN_FILE_FAILED &&
                  IDS_RUN_STOPPED(RUN_DATA_ERROR) == IDS_DATA_ERROR &&
                  IDS_RUN_STOPPED(RUN_DESTINATION_UNWRITABLE) == IDS_DESTINATION_UNWRITABLE,
              "the stopped-run messages follow the run states");

// Runs while the worker waits in its send, so the summary status is final.
static void OnUpdateDone(HWND window, LONG runState)
{
    WithdrawSessionEndRefusal(window);
    if (runState <= RUN_CANCELED) {
        ShowFailure(window, IDS_RUN_STOPPED(runState));
        exit(0);
    }
    if (g_summaryStatus <= ENTRY_FAILED_BIT) {
        (void)ShowLocalizedMessage(window, IDS_APPLIED, IDS_CAPTION, MB_ICONINFORMATION);
    } else {
        (void)ShowLocalizedMessage(window, IDS_APPLIED_WITH_SKIPS, IDS_CAPTION, MB_ICONINFORMATION);
        OpenLogInEditor(window);
    }
    (void)SetWindowTextA(g_closeCancelButton, g_closeText);
    g_runThread = NULL;
}

LRESULT CALLBACK MainWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_SHOWWINDOW:
        OnShow(window);
        return 0;
    case WM_CLOSE:
        OnCloseCancel(window);
        return 0;
    case WM_QUERYENDSESSION:
        // Ended half-way, a run would leave files replaced and their originals not put back.
        return g_runThread == NULL;
    case WM_COMMAND:
        OnCommand(window, LOWORD(wParam));
        return 0;
    case UM_UPDATE_DONE:
        OnUpdateDone(window, (LONG)wParam);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

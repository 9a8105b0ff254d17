// Start-up and shutdown: the work directory, the setup bundle, the single-instance and
// running-target checks, the main window and its message loop, and the exit handler.
#include <windows.h>
#include <sddl.h>
#include <stdlib.h>
#include <string.h>

#include "stub/package/package_reader.h"
#include "stub/package/setup_file.h"
#include "stub/patch/tree_ops.h"
#include "stub/res/resource.h"
#include "stub/startup/startup.h"
#include "stub/ui/localized_text.h"
#include "stub/ui/main_window.h"

#define WINDOW_TITLE_ROOM (PATH_ROOM + 1 + PATH_ROOM)

static char g_tempPath[PATH_ROOM];            // the user's temp folder
static char g_workDirectory[PATH_ROOM];       // private "MSA" work directory, the current directory
static int g_workDirectoryCreated;            // non-zero once this process has made the work directory
static char g_windowTitle[WINDOW_TITLE_ROOM]; // application name, a blank, text 203

// msvcrt's own atexit, called through its import: the library's atexit is a wrapper that
// needs the C start-up code, which this image does not link.
#ifdef _WIN64
extern "C" int(__cdecl* __imp_atexit)(void(__cdecl* handler)(void));
#define _imp__atexit __imp_atexit
#else
extern "C" int(__cdecl* _imp__atexit)(void(__cdecl* handler)(void));
#endif

// The exit handler.
static void DeleteWorkDirectory(void)
{
    if (g_workDirectoryCreated) {
        (void)SetCurrentDirectoryA(g_tempPath);
        (void)DeleteTree(g_workDirectory);
    }
}

// Every refusal that is not the user's doing and has no message of its own looks like a
// damaged download to the user (IDS_DATA_ERROR).
static void ExitWithMessage(UINT textId)
{
    (void)ShowLocalizedMessage(NULL, textId, IDS_CAPTION, MB_ICONHAND);
    exit(0);
}

// Where Windows offers it, DLLs loaded on demand (by the folder browser, say) come from the
// system folder only, never from the updater's own folder, typically Downloads. Older systems
// lack the call and go on as before.
static void LimitDllSearch(void)
{
    typedef BOOL(WINAPI * SetDirectories)(DWORD flags);
    SetDirectories set =
        (SetDirectories)(void*)GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories");
    if (set)
        (void)set(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// A temp folder whose path the ANSI code page cannot hold comes with question marks in its place.
static void MakeWorkDirectory(void)
{
    DWORD length = GetTempPathA(PATH_ROOM, g_tempPath);
    if (length == 0 || length >= PATH_ROOM || strstr(g_tempPath, "?") ||
        !GetTempFileNameA(g_tempPath, "MSA", 0, g_workDirectory))
        ExitWithMessage(IDS_TEMP_FOLDER_UNUSABLE);
    (void)DeleteFileA(g_workDirectory);
    // Elevated, the folder gets a high mandatory label, which keeps the user's other programs
    // (of lower integrity) from writing into it or into anything created in it. Without
    // elevation that label cannot be set, and the folder is made without it.
    SECURITY_ATTRIBUTES labelled = {sizeof labelled, NULL, FALSE};
    (void)ConvertStringSecurityDescriptorToSecurityDescriptorA("S:(ML;OICI;NW;;;HI)", SDDL_REVISION_1,
                                                               &labelled.lpSecurityDescriptor, NULL);
    if (!CreateDirectoryA(g_workDirectory, &labelled) && !CreateDirectoryA(g_workDirectory, NULL))
        ExitWithMessage(IDS_TEMP_FOLDER_UNUSABLE);
    g_workDirectoryCreated = 1;
    if (!SetCurrentDirectoryA(g_workDirectory))
        ExitWithMessage(IDS_TEMP_FOLDER_UNUSABLE);
}

static void ExitIfAnotherCopyRuns(char* name)
{
    ReadSetupValue("App", "ApplierMutex", "", name);
    if (!name[0])
        return;
    // Kept open and unowned until the process ends: its existence is the marker.
    HANDLE mutex = CreateMutexA(NULL, TRUE, name);
    DWORD error = GetLastError();
    if (mutex)
        (void)ReleaseMutex(mutex);
    if (error == ERROR_ALREADY_EXISTS)
        exit(0);
}

static void ExitIfTargetRuns(char* name)
{
    ReadSetupValue("App", "TargetMutex", "", name);
    if (!name[0] || !OpenMutexA(SYNCHRONIZE, FALSE, name))
        return;
    (void)LoadLocalizedString(g_instance, IDS_TARGET_RUNNING, name, PATH_ROOM);
    (void)ReplaceAll(name, PATH_ROOM, "%1", "Mendsmith");
    (void)MessageBoxA(NULL, name, NULL, MB_ICONEXCLAMATION);
    exit(0);
}

// The values start-up reads from Update.ini, section, key and where each goes.
static const struct {
    const char* section;
    const char* key;
    char* value;
} WINDOW_VALUES[] = {
    {"App", "AppName", g_appName},      {"App", "AppDesc", g_appDescription},     {"Author", "Name", g_authorName},
    {"Author", "Email", g_authorEmail}, {"Path", "SoftWarePath", g_softwarePath}, {"App", "MainFile", g_mainFileName},
};

// Every value is read here, once, right after the setup bundle is unpacked: a program that
// changes Update.ini in the work directory later changes nothing.
static void ReadWindowValues(void)
{
    char suffix[PATH_ROOM];
    for (unsigned i = 0; i < sizeof WINDOW_VALUES / sizeof WINDOW_VALUES[0]; i++)
        ReadSetupValue(WINDOW_VALUES[i].section, WINDOW_VALUES[i].key, "", WINDOW_VALUES[i].value);
    ReadSetupValue("Path", "BackupDirectory", DEFAULT_BACKUP_DIRECTORY, g_backupName);
    (void)LoadLocalizedString(g_instance, IDS_TITLE_SUFFIX, suffix, PATH_ROOM);
    (void)wsprintfA(g_windowTitle, "%s %s", g_appName, suffix);
}

// path (PATH_ROOM bytes) = the work directory joined with name; the names are short and the
// work directory leaves GetTempFileNameA's room for them.
static void JoinToWorkDirectory(char* path, const char* name)
{
    (void)JoinPath(path, g_workDirectory, name);
}

int RunUpdater(HINSTANCE instance, int showCommand)
{
    char mutexName[PATH_ROOM];
    char patchName[PATH_ROOM];
    HWND mainWindow;
    MSG message;
    LimitDllSearch();
    (void)_imp__atexit(DeleteWorkDirectory);
    MakeLanguageSection();
    g_instance = instance;
    MakeWorkDirectory();
    UINT problem = ReadPackageRecord(RECORD_SETUP_BUNDLE);
    if (problem != 0)
        ExitWithMessage(problem);
    JoinToWorkDirectory(g_setupFilePath, SETUP_FILE_NAME);
    JoinToWorkDirectory(g_languageFilePath, LANGUAGE_FILE_NAME);
    (void)LoadStringA(instance, IDS_PATCH_FILE, patchName, PATH_ROOM);
    JoinToWorkDirectory(g_patchFilePath, patchName);
    ExitIfAnotherCopyRuns(mutexName);
    ExitIfTargetRuns(mutexName);
    ReadWindowValues();
    // A loop without a window would never end.
    if (!RegisterMainWindowClass(instance) ||
        !(mainWindow = CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), NULL, NULL, 0)))
        ExitWithMessage(IDS_DATA_ERROR);
    (void)SetWindowTextA(mainWindow, g_windowTitle);
    (void)ShowWindow(mainWindow, showCommand);
    while (GetMessageA(&message, NULL, 0, 0)) {
        (void)TranslateMessage(&message);
        (void)DispatchMessageA(&message);
    }
    return (int)message.wParam;
}

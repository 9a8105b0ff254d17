// Start-up and shutdown: the work directory, the setup bundle, the single-instance and
// running-target checks, the main window and its message loop, and the exit handler.
#include <windows.h>
#include <shlwapi.h>
#include <stdlib.h>

#include "startup/startup.h"
#include "startup/startup_values.h"
#include "package/package_reader.h"
#include "package/setup_file.h"
#include "patch/crc32.h"
#include "patch/tree_ops.h"
#include "res/resource.h"
#include "ui/localized_text.h"
#include "ui/main_window.h"

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

// Every refusal that is not the user's doing looks like a damaged download to the user.
static void ExitWithDataError(void)
{
    (void)ShowLocalizedMessage(NULL, IDS_DATA_ERROR, IDS_CAPTION, MB_ICONHAND);
    exit(0);
}

static void MakeWorkDirectory(void)
{
    DWORD length = GetTempPathA(PATH_ROOM, g_tempPath);
    if (length == 0 || length >= PATH_ROOM || !GetTempFileNameA(g_tempPath, "MSA", 0, g_workDirectory))
        ExitWithDataError();
    (void)DeleteFileA(g_workDirectory);
    if (!CreateDirectoryA(g_workDirectory, NULL))
        ExitWithDataError();
    g_workDirectoryCreated = 1;
    if (!SetCurrentDirectoryA(g_workDirectory))
        ExitWithDataError();
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

static void ReadWindowValues(void)
{
    char suffix[PATH_ROOM];
    ReadSetupValue("App", "AppName", "", g_appName);
    (void)LoadLocalizedString(g_instance, IDS_TITLE_SUFFIX, suffix, PATH_ROOM);
    (void)lstrcpyA(g_windowTitle, g_appName);
    (void)lstrcatA(g_windowTitle, " ");
    (void)lstrcatA(g_windowTitle, suffix);
    ReadSetupValue("App", "AppDesc", "", g_appDescription);
    ReadSetupValue("Author", "Name", "", g_authorName);
    ReadSetupValue("Author", "Email", "", g_authorEmail);
}

int RunUpdater(HINSTANCE instance, int showCommand)
{
    char mutexName[PATH_ROOM];
    MSG message;
    (void)_imp__atexit(DeleteWorkDirectory);
    BuildCrcTable();
    MakeLanguageSection();
    g_instance = instance;
    MakeWorkDirectory();
    if (!ReadPackageRecord(RECORD_SETUP_BUNDLE))
        ExitWithDataError();
    (void)lstrcpyA(g_setupFilePath, g_workDirectory);
    (void)PathAppendA(g_setupFilePath, SETUP_FILE_NAME);
    (void)lstrcpyA(g_languageFilePath, g_workDirectory);
    (void)PathAppendA(g_languageFilePath, LANGUAGE_FILE_NAME);
    ExitIfAnotherCopyRuns(mutexName);
    ExitIfTargetRuns(mutexName);
    ReadWindowValues();
    // A loop without a window would never end.
    if (!RegisterMainWindowClass(instance) ||
        !(g_mainWindow = CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), NULL, NULL, 0)))
        ExitWithDataError();
    (void)SetWindowTextA(g_mainWindow, g_windowTitle);
    (void)ShowWindow(g_mainWindow, showCommand);
    while (GetMessageA(&message, NULL, 0, 0)) {
        (void)TranslateMessage(&message);
        (void)DispatchMessageA(&message);
    }
    return (int)message.wParam;
}

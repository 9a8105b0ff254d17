// Storage of the start-up values (see startup_values.h).
#include "startup/startup_values.h"

HINSTANCE g_instance;
char g_languageSection[LANGUAGE_SECTION_ROOM];
char g_tempPath[PATH_ROOM];
char g_workDirectory[PATH_ROOM];
int g_workDirectoryCreated;
char g_setupFilePath[PATH_ROOM];
char g_languageFilePath[PATH_ROOM];
char g_appName[PATH_ROOM];
char g_windowTitle[WINDOW_TITLE_ROOM];
char g_appDescription[PATH_ROOM];
char g_authorName[PATH_ROOM];
char g_authorEmail[PATH_ROOM];
HWND g_mainWindow;

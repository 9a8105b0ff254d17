// Reading Update.ini from the setup file in the work directory; start-up reads each value once.
#include <windows.h>

#include "stub/package/setup_file.h"

char g_setupFilePath[PATH_ROOM];

void ReadSetupValue(const char* section, const char* key, const char* defaultValue, char* buffer)
{
    // Always the full path: for a bare name the profile reader would look in the Windows folder.
    (void)GetPrivateProfileStringA(section, key, defaultValue, buffer, PATH_ROOM, g_setupFilePath);
}

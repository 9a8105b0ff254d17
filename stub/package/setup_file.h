// Reading Update.ini, the setup file unpacked into the work directory.
#ifndef MENDSMITH_PACKAGE_SETUP_FILE_H
#define MENDSMITH_PACKAGE_SETUP_FILE_H

#include "core/constants.h"

extern char g_setupFilePath[PATH_ROOM]; // work directory + Update.ini, set once the setup bundle is unpacked

// Reads [section] key of the setup file into buffer (PATH_ROOM bytes), or defaultValue.
void ReadSetupValue(const char* section, const char* key, const char* defaultValue, char* buffer);

#endif

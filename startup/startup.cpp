// Start-up: for now only what the package layer needs.
#include "startup/startup.h"
#include "startup/startup_values.h"
#include "package/package_reader.h"
#include "patch/crc32.h"

int RunUpdater(HINSTANCE instance, int showCommand)
{
    (void)showCommand;
    BuildCrcTable();
    g_instance = instance;
    return ReadPackageRecord(1) ? 0 : 0;
}

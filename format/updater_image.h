// A whole updater: the stub padded with zeros to PACKAGE_OFFSET, then record 1 (setup bundle:
// Language.ini, Update.ini) and record 2 (patch bundle: Patch.dat).
#ifndef MENDSMITH_FORMAT_UPDATER_IMAGE_H
#define MENDSMITH_FORMAT_UPDATER_IMAGE_H

#include <span>

#include "format/bytes.h"

namespace mendsmith::format {

struct UpdaterFiles {
    Bytes languageIni;
    Bytes updateIni;
    Bytes patchDat;

    bool operator==(const UpdaterFiles&) const = default;
};

// The stub padded to PACKAGE_OFFSET followed by the given records, back to back.
// Throws FormatError when the stub is larger than PACKAGE_OFFSET.
Bytes MakePackageImage(ByteView stub, std::span<const Bytes> records);

// The stub plus record 1 (Language.ini, Update.ini) and record 2 (Patch.dat).
Bytes MakeUpdaterImage(ByteView stub, const UpdaterFiles& files);

// The reverse: exactly two records, bundles holding exactly those files in that order.
UpdaterFiles ReadUpdaterImage(ByteView image);

} // namespace mendsmith::format

#endif

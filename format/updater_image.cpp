#include "format/updater_image.h"

#include "core/constants.h"
#include "format/bundle.h"
#include "format/record.h"

namespace mendsmith::format {

Bytes MakePackageImage(ByteView stub, std::span<const Bytes> records)
{
    if (stub.size() > PACKAGE_OFFSET)
        throw FormatError("stub is " + std::to_string(stub.size()) + " bytes, larger than the package offset " +
                          HexOffset(PACKAGE_OFFSET) + " (" + std::to_string(PACKAGE_OFFSET) + " bytes)");
    Bytes image(stub.begin(), stub.end());
    image.resize(PACKAGE_OFFSET, 0);
    for (const Bytes& record : records)
        AppendBytes(image, record);
    return image;
}

Bytes MakeUpdaterImage(ByteView stub, const UpdaterFiles& files)
{
    const BundleFile setup[] = {{LANGUAGE_FILE_NAME, files.languageIni}, {SETUP_FILE_NAME, files.updateIni}};
    const BundleFile patch[] = {{PATCH_FILE_NAME, files.patchDat}};
    const Bytes records[] = {MakeRecord(WriteBundle(setup)), MakeRecord(WriteBundle(patch))};
    return MakePackageImage(stub, records);
}

UpdaterFiles ReadUpdaterImage(ByteView image)
{
    std::vector<RecordInfo> records = ListRecords(image);
    if (records.size() != 2)
        throw FormatError("image: " + std::to_string(records.size()) + " package records, expected 2");
    std::vector<BundleFile> setup = ReadBundle(DecompressRecord(records[0]));
    std::vector<BundleFile> patch = ReadBundle(DecompressRecord(records[1]));
    if (setup.size() != 2 || setup[0].name != LANGUAGE_FILE_NAME || setup[1].name != SETUP_FILE_NAME)
        throw FormatError("image: record 1 does not hold exactly " LANGUAGE_FILE_NAME " and " SETUP_FILE_NAME);
    if (patch.size() != 1 || patch[0].name != PATCH_FILE_NAME)
        throw FormatError("image: record 2 does not hold exactly " PATCH_FILE_NAME);
    return {std::move(setup[0].content), std::move(setup[1].content), std::move(patch[0].content)};
}

} // namespace mendsmith::format

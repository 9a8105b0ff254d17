// Expectations shared by the tests of the Patch.dat reader.
#ifndef MENDSMITH_TESTS_HOST_PATCH_EXPECT_H
#define MENDSMITH_TESTS_HOST_PATCH_EXPECT_H

#include <gtest/gtest.h>

#include <string>

#include "format/patch_file.h"

namespace mendsmith::test {

// The reader refuses data with an error whose text holds fragment.
inline void ExpectRefused(const format::Bytes& data, const std::string& fragment)
{
    try {
        format::ReadPatchFile(data);
        ADD_FAILURE() << "no error, expected one mentioning \"" << fragment << "\"";
    } catch (const format::FormatError& e) {
        EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what();
    }
}

} // namespace mendsmith::test

#endif

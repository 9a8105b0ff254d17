// Bounded in-place replacement: what fits is replaced, what would not fit stops the replacing.
#include <gtest/gtest.h>

#include "core/replace_all.h"

namespace {

TEST(ReplaceAll, TenByteBufferTakesASixCharacterNameButNotASevenCharacterOne)
{
    char text[10] = "abc%1";
    EXPECT_EQ(ReplaceAll(text, sizeof text, "%1", "1234567"), 0);
    EXPECT_STREQ(text, "abc%1");
    EXPECT_EQ(ReplaceAll(text, sizeof text, "%1", "123456"), 1);
    EXPECT_STREQ(text, "abc123456");
}

TEST(ReplaceAll, StopsAtTheFirstOccurrenceThatWouldNotFitKeepingEarlierOnes)
{
    char text[10] = "%1-%1";
    EXPECT_EQ(ReplaceAll(text, sizeof text, "%1", "xxxxx"), 0);
    EXPECT_STREQ(text, "xxxxx-%1");

    // Each pass searches from the start, so a pattern formed across a joint is replaced too.
    char joint[10] = "%%11";
    EXPECT_EQ(ReplaceAll(joint, sizeof joint, "%1", ""), 1);
    EXPECT_STREQ(joint, "");
}

TEST(SubstituteName, ReplacesEveryPercentPAndStopsWhereTheBufferEnds)
{
    char two[32] = "%p and %p.";
    EXPECT_EQ(SubstituteName(two, sizeof two, "Ledger 2"), 1);
    EXPECT_STREQ(two, "Ledger 2 and Ledger 2.");

    // A name that itself holds "%p" is inserted once per occurrence and left alone.
    char self[32] = "a%pb%p";
    EXPECT_EQ(SubstituteName(self, sizeof self, "<%p>"), 1);
    EXPECT_STREQ(self, "a<%p>b<%p>");

    // Joints are found as a search from the start would find them.
    char front[8] = "%%p";
    EXPECT_EQ(SubstituteName(front, sizeof front, "p"), 1);
    EXPECT_STREQ(front, "p");
    char back[8] = "%pp";
    EXPECT_EQ(SubstituteName(back, sizeof back, "x%"), 1);
    EXPECT_STREQ(back, "xx%");

    char full[11] = "%p %p";
    EXPECT_EQ(SubstituteName(full, sizeof full, "abcde"), 0);
    EXPECT_STREQ(full, "abcde %p");
}

} // namespace

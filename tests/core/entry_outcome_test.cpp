// The table of entry outcomes: every status an entry can end with has its log text and
// its stop rule, and the log texts are the string table's.
#include <gtest/gtest.h>

#include <set>

#include "core/entry_outcome.h"

namespace {

TEST(EntryOutcome, EveryStatusHasItsLogTextAndStopRule)
{
    struct Case {
        std::uint32_t status;
        unsigned int logTextId;
        int stops;
    };
    const Case cases[] = {
        {ENTRY_ADDED, IDS_LOG_ADDED, OUTCOME_GOES_ON},
        {ENTRY_UPDATED, IDS_LOG_UPDATED, OUTCOME_GOES_ON},
        {ENTRY_REMOVED, IDS_LOG_REMOVED, OUTCOME_GOES_ON},
        {ENTRY_ATTACHED_OVERWRITTEN, IDS_LOG_OVERWRITTEN, OUTCOME_GOES_ON},
        {ENTRY_ATTACHED_SKIPPED, IDS_LOG_SKIPPED_BY_USER, OUTCOME_GOES_ON},
        {ENTRY_ALREADY_UPDATED, IDS_LOG_ALREADY_UPDATED, OUTCOME_GOES_ON},
        {ENTRY_ATTACHED_CRC_ERROR, IDS_LOG_ATTACHED_CRC, OUTCOME_STOPS_FOR_MAIN_FILE},
        {ENTRY_ORIGINAL_MISSING, IDS_LOG_MISSING, OUTCOME_STOPS_FOR_MAIN_FILE},
        {ENTRY_ORIGINAL_CRC_ERROR, IDS_LOG_ORIGINAL_CRC, OUTCOME_STOPS_FOR_MAIN_FILE},
        {ENTRY_RESULT_CRC_ERROR, IDS_LOG_RESULT_CRC, OUTCOME_STOPS_FOR_MAIN_FILE},
        {ENTRY_ACCESS_DENIED, IDS_LOG_ACCESS_DENIED, OUTCOME_STOPS_FOR_MAIN_FILE},
        {ENTRY_DELETE_DENIED, IDS_LOG_ACCESS_DENIED, OUTCOME_STOPS_FOR_MAIN_FILE},
        {ENTRY_KEPT_ASIDE, IDS_LOG_KEPT_ASIDE, OUTCOME_STOPS_FOR_MAIN_FILE},
        {ENTRY_NO_MEMORY, IDS_LOG_NO_MEMORY, OUTCOME_STOPS_FOR_MAIN_FILE},
        {ENTRY_WRITE_FAILED, IDS_LOG_WRITE_FAILED, OUTCOME_STOPS_FOR_MAIN_FILE},
        {ENTRY_PATH_TOO_LONG, IDS_LOG_PATH_TOO_LONG, OUTCOME_STOPS_FOR_MAIN_FILE},
        {ENTRY_DATA_ERROR, IDS_LOG_DATA_ERROR, OUTCOME_STOPS_RUN},
        // No entry ends with these; they are treated as the data error they would be.
        {0, IDS_LOG_DATA_ERROR, OUTCOME_STOPS_RUN},
        {ENTRY_FAILED_BIT, IDS_LOG_DATA_ERROR, OUTCOME_STOPS_RUN},
    };
    for (const Case& c : cases) {
        const EntryOutcome* outcome = FindEntryOutcome(c.status);
        EXPECT_EQ(outcome->logTextId, c.logTextId) << std::hex << c.status;
        EXPECT_EQ(outcome->stops, c.stops) << std::hex << c.status;
    }
}

TEST(EntryOutcome, TableRowsAreDistinctAndEachLogTextExists)
{
    std::set<std::uint32_t> statuses;
    for (unsigned i = 0; i < ENTRY_OUTCOME_COUNT; i++) {
        const EntryOutcome& row = ENTRY_OUTCOMES[i];
        EXPECT_TRUE(statuses.insert(row.status).second) << "two rows for " << std::hex << row.status;
        EXPECT_EQ(FindEntryOutcome(row.status), &row);
        ASSERT_NE(EnglishLogText(row.logTextId), nullptr) << row.logTextId;
        // Only successes leave bit 0x8000 clear, and only they go on without a word in the summary.
        EXPECT_EQ((row.status & ENTRY_FAILED_BIT) == 0,
                  row.status == ENTRY_ADDED || row.status == ENTRY_UPDATED || row.status == ENTRY_REMOVED);
    }
    EXPECT_STREQ(EnglishLogText(IDS_LOG_UPDATED), "Updated successfully!");
    EXPECT_STREQ(EnglishLogText(IDS_LOG_REMOVED), "Removed.");
    EXPECT_STREQ(EnglishLogText(IDS_LOG_ORIGINALS_KEPT),
                 "Saved original files could not all be put in place; they are kept in this folder.");
    EXPECT_EQ(EnglishLogText(IDS_LOG_UPDATED - 1), nullptr);
}

} // namespace

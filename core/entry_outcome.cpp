// The table of entry outcomes (see entry_outcome.h).
#include "core/entry_outcome.h"

// The data error comes last: FindEntryOutcome falls back on it.
const struct EntryOutcome ENTRY_OUTCOMES[ENTRY_OUTCOME_COUNT] = {
    {ENTRY_ADDED, IDS_LOG_ADDED, OUTCOME_GOES_ON},
    {ENTRY_UPDATED, IDS_LOG_UPDATED, OUTCOME_GOES_ON},
    {ENTRY_ATTACHED_OVERWRITTEN, IDS_LOG_OVERWRITTEN, OUTCOME_GOES_ON},
    {ENTRY_ATTACHED_SKIPPED, IDS_LOG_SKIPPED_BY_USER, OUTCOME_GOES_ON},
    {ENTRY_ATTACHED_CRC_ERROR, IDS_LOG_ATTACHED_CRC, OUTCOME_STOPS_FOR_MAIN_FILE},
    {ENTRY_ORIGINAL_MISSING, IDS_LOG_MISSING, OUTCOME_STOPS_FOR_MAIN_FILE},
    {ENTRY_ORIGINAL_CRC_ERROR, IDS_LOG_ORIGINAL_CRC, OUTCOME_STOPS_FOR_MAIN_FILE},
    {ENTRY_ALREADY_UPDATED, IDS_LOG_ALREADY_UPDATED, OUTCOME_GOES_ON},
    {ENTRY_RESULT_CRC_ERROR, IDS_LOG_RESULT_CRC, OUTCOME_STOPS_FOR_MAIN_FILE},
    {ENTRY_ACCESS_DENIED, IDS_LOG_ACCESS_DENIED, OUTCOME_STOPS_FOR_MAIN_FILE},
    {ENTRY_DELETE_DENIED, IDS_LOG_ACCESS_DENIED, OUTCOME_STOPS_FOR_MAIN_FILE},
    {ENTRY_DATA_ERROR, IDS_LOG_DATA_ERROR, OUTCOME_STOPS_RUN},
};

const struct EntryOutcome* FindEntryOutcome(uint32_t status)
{
    const struct EntryOutcome* row = ENTRY_OUTCOMES;
    while (row->status != status && row < ENTRY_OUTCOMES + ENTRY_OUTCOME_COUNT - 1)
        row++;
    return row;
}

const char* EnglishLogText(unsigned int id)
{
#define LOG_TEXT_CASE(textId, text) \
    case textId: \
        return text;
    switch (id) {
        LOG_TEXTS(LOG_TEXT_CASE)
    }
#undef LOG_TEXT_CASE
    return 0;
}

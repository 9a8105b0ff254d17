/* What each outcome of a patch entry means to a run: the text of its log line, and whether
   it stops the run. Win32-free: the stub logs and stops by this table, the string table
   takes its log texts from LOG_TEXTS, and the host tool predicts runs with both. */
#ifndef MENDSMITH_CORE_ENTRY_OUTCOME_H
#define MENDSMITH_CORE_ENTRY_OUTCOME_H

#include "core/constants.h"

/* String ids of the log texts; Language.ini translates them by these numbers. */
#define IDS_LOG_UPDATED 250
#define IDS_LOG_ADDED 251
#define IDS_LOG_OVERWRITTEN 252
#define IDS_LOG_SKIPPED_BY_USER 253
#define IDS_LOG_ATTACHED_CRC 254
#define IDS_LOG_MISSING 255
#define IDS_LOG_ORIGINAL_CRC 256
#define IDS_LOG_RESULT_CRC 257
#define IDS_LOG_DATA_ERROR 258
#define IDS_LOG_ALREADY_UPDATED 259
#define IDS_LOG_ACCESS_DENIED 260
#define IDS_LOG_ORIGINALS_KEPT 261
#define IDS_LOG_KEPT_ASIDE 262
#define IDS_LOG_REMOVED 263
#define IDS_LOG_NO_MEMORY 264
#define IDS_LOG_WRITE_FAILED 265
#define IDS_LOG_PATH_TOO_LONG 266

/* The English log texts, X(id, text) each. */
#define LOG_TEXTS(X) \
    X(IDS_LOG_UPDATED, "Updated successfully!") \
    X(IDS_LOG_ADDED, "Attached file added successfully!") \
    X(IDS_LOG_OVERWRITTEN, "Attached file existed, and overwritten.") \
    X(IDS_LOG_SKIPPED_BY_USER, "Attached file existed, and skipped by user.") \
    X(IDS_LOG_ATTACHED_CRC, "Attached file CRC error; Skipped.") \
    X(IDS_LOG_MISSING, "Original file not existed; Skipped.") \
    X(IDS_LOG_ORIGINAL_CRC, "Original file CRC error; Skipped.") \
    X(IDS_LOG_RESULT_CRC, "Updated file CRC error; Original file restored.") \
    X(IDS_LOG_DATA_ERROR, "Data file error; Opration canceled!") \
    X(IDS_LOG_ALREADY_UPDATED, "Original file was updated; Skipped.") \
    X(IDS_LOG_ACCESS_DENIED, "Access of original file is denied; Skipped.") \
    X(IDS_LOG_ORIGINALS_KEPT, "Saved original files could not all be put in place; they are kept in this folder.") \
    X(IDS_LOG_KEPT_ASIDE, \
      "Could not be put in place; the new file is kept beside it, the original in the saved files' folder.") \
    X(IDS_LOG_REMOVED, "Removed.") \
    X(IDS_LOG_NO_MEMORY, "Not enough memory for this file; Skipped.") \
    X(IDS_LOG_WRITE_FAILED, "Disk full or not writable; Skipped.") \
    X(IDS_LOG_PATH_TOO_LONG, "Path too long in this folder; Skipped.")

#ifndef RC_INVOKED
#include <stdint.h>

/* When an outcome stops the run. */
#define OUTCOME_GOES_ON 0
#define OUTCOME_STOPS_FOR_MAIN_FILE 1 /* when the entry is the main file */
#define OUTCOME_STOPS_RUN 2           /* whatever the entry */

struct EntryOutcome {
    uint16_t status;    /* the EntryStatus */
    uint16_t logTextId; /* the string id of its log line */
    uint8_t stops;      /* OUTCOME_GOES_ON, OUTCOME_STOPS_FOR_MAIN_FILE or OUTCOME_STOPS_RUN */
};

/* The row of a status. A status that no entry returns gets the data error's row. */
const struct EntryOutcome* FindEntryOutcome(uint32_t status);

/* Every row, for the host tool and the tests; ENTRY_OUTCOME_COUNT of them. */
extern const struct EntryOutcome ENTRY_OUTCOMES[];
#define ENTRY_OUTCOME_COUNT 17u

/* The English text of a log string id, or 0 for an id that is no log text. */
const char* EnglishLogText(unsigned int id);

#endif
#endif

/* Resource ids of the updater: strings, dialog, controls and icon. */
#ifndef MENDSMITH_RES_RESOURCE_H
#define MENDSMITH_RES_RESOURCE_H

/* The log texts, 250 to 265. */
#include "core/entry_outcome.h"

#define IDS_PATCH_FILE 113
#define IDS_LOG_FILE 114
#define IDS_CAPTION 200
#define IDS_WRONG_DIRECTORY 202
#define IDS_TITLE_SUFFIX 203
#define IDS_ATTACHED_EXISTS 204
#define IDS_DESTINATION_UNWRITABLE 205
#define IDS_DATA_ERROR 206
#define IDS_MAIN_FILE_FAILED 207
#define IDS_CANCELED 208
#define IDS_CLOSE 211
#define IDS_CANCEL 212
#define IDS_APPLIED 214
#define IDS_BROWSE_TITLE 217
#define IDS_APPLIED_WITH_SKIPS 218
#define IDS_TARGET_RUNNING 219
#define IDS_SESSION_END_BLOCKED 220
#define IDS_UNPACK_NO_MEMORY 221
#define IDS_UNPACK_DISK_FULL 222
#define IDS_TEMP_FOLDER_UNUSABLE 223
#define IDS_DESTINATION_TOO_LONG 224

/* The message after a stopped run, by its final run state (0, -1, -2 or -3): 208, 207, 206 or 205. */
#define IDS_RUN_STOPPED(runState) (IDS_CANCELED + (runState))

#define IDD_MAIN 308
#define IDI_MAIN 310
#define IDR_FEATURES 320

#define IDC_APP_ICON 310
#define IDC_WELCOME 355
#define IDC_DEST_LABEL 369
#define IDC_AUTHOR_LABEL 370
#define IDC_AUTHOR 371
#define IDC_EMAIL_LABEL 372
#define IDC_EMAIL 373
#define IDC_DESC_LABEL 374
#define IDC_DESCRIPTION 375
#define IDC_BROWSE 451
#define IDC_CLOSE_CANCEL 452
#define IDC_UPDATE 453
#define IDC_BACKUP 503
#define IDC_INFO_FRAME 520
#define IDC_DESTINATION 531
#define IDC_PROGRESS 550

#endif

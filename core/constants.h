/* Constants of the updater's file format, shared by the stub (C-style C++, no
   standard library) and the host format library. Plain macros so that the
   resource compiler and C++20 code can both include it. */
#ifndef MENDSMITH_CORE_CONSTANTS_H
#define MENDSMITH_CORE_CONSTANTS_H

/* The package starts at this file offset of the updater; the stub must fit before it.
   Only the x86-64 test build, whose stub is larger, moves it. */
#ifndef PACKAGE_OFFSET
#define PACKAGE_OFFSET 0x7A00u
#endif

/* Package records: u32 length L (= 4 + stream length), u32 unpacked size U, bzip2 stream. */
#define RECORD_HEADER_SIZE 8u
#define RECORD_SIGNATURE "BZh9"
#define RECORD_SIGNATURE_SIZE 4u
#define RECORD_SETUP_BUNDLE 1u
#define RECORD_PATCH_BUNDLE 2u

/* Patch.dat op bytes and the body kinds of an attached file, a difference body and a removal. */
#define OP_END 0
#define OP_COPY 1
#define OP_LITERAL 2
#define OP_HEAD_MAX 9u /* the longest op head: a copy's op byte, u32 length and u32 offset */
#define BODY_ATTACHED 3
#define BODY_DIFFERENCE 4
#define BODY_PREDICTED 5
#define BODY_REMOVAL 6 /* the kind byte alone: the file the source CRC names is to go */

/* A difference body: kind, u32 control count C, u32 difference size D, u32 extra size X, then
   C controls (u32 add length, u32 extra length, i32 step), D difference bytes, X extra bytes. */
#define DIFF_HEADER_SIZE 13u
#define DIFF_CONTROL_SIZE 12u

/* A predicted difference body: kind, u8 flags, u16 section count N, u64 image base, then N
   sections (u32 file offset, u32 size in the file, u32 RVA) and a difference body's fields. */
#define PREDICTED_HEADER_SIZE 12u
#define PREDICTED_SECTION_SIZE 12u
/* Kinds of reference, as the bits of a predicted body's flag byte. */
#define REFERENCE_REL32 1u
#define REFERENCE_ABSOLUTE 2u
#define REFERENCE_RIP 4u
#define REFERENCE_KINDS 7u

/* Found in the image of every stub that applies these bodies; the tool looks for them. */
#define DIFFERENCE_BODY_MARKER "Mendsmith applies difference bodies (kind 4)"
#define REMOVAL_BODY_MARKER "Mendsmith applies removal bodies (kind 6)"
#define PREDICTED_BODY_MARKER "Mendsmith applies predicted difference bodies (kind 5)"

/* Patch.dat: only the low 16 bits of the entry count are used. */
#define ENTRY_COUNT_MASK 0xFFFFu

/* Outcome of one patch entry (EntryStatus). Values with bit 0x8000 are not successes. */
#define ENTRY_ADDED 1u
#define ENTRY_UPDATED 2u
#define ENTRY_REMOVED 3u /* removal: the file is in the rollback folder, or was not there */
#define ENTRY_FAILED_BIT 0x8000u
#define ENTRY_ATTACHED_OVERWRITTEN 0x8001u
#define ENTRY_ATTACHED_SKIPPED 0x8002u
#define ENTRY_ATTACHED_CRC_ERROR 0x8004u
#define ENTRY_ORIGINAL_MISSING 0x8008u
#define ENTRY_ORIGINAL_CRC_ERROR 0x8010u
#define ENTRY_ALREADY_UPDATED 0x8020u
#define ENTRY_RESULT_CRC_ERROR 0x8040u
#define ENTRY_DATA_ERROR 0x8080u
#define ENTRY_ACCESS_DENIED 0x8100u
#define ENTRY_DELETE_DENIED 0x8101u
#define ENTRY_KEPT_ASIDE 0x8200u    /* neither file in place: original in the rollback folder, new one beside */
#define ENTRY_NO_MEMORY 0x8400u     /* no memory for what the body needs; the file untouched */
#define ENTRY_WRITE_FAILED 0x8800u  /* the new file could not be written whole (a full disk); the file untouched */
#define ENTRY_PATH_TOO_LONG 0x9000u /* the file's path, or its saved copy's, is too long for the calls */

/* Names inside the bundles. */
#define SETUP_FILE_NAME "Update.ini"
#define LANGUAGE_FILE_NAME "Language.ini"
#define PATCH_FILE_NAME "Patch.dat"
#define LOG_FILE_NAME "Mendsmith.log"
#define DEFAULT_BACKUP_DIRECTORY "Mendsmith.bak"

/* Paths are ANSI strings in MAX_PATH buffers: 259 characters and a NUL. */
#define PATH_ROOM 260u
#define MAX_PATH_CHARS 259u
/* Buffers for translated messages and control texts. */
#define LONG_TEXT_ROOM 1024u

#endif

# Provides bz2::bz2 (the whole library, its compressor included) and, in the stub's Windows trees,
# bz2_stub (built for size, for the stub).
if(NOT CMAKE_SYSTEM_NAME STREQUAL "Windows")
  find_package(BZip2 REQUIRED)
  add_library(bz2::bz2 ALIAS BZip2::BZip2)
  return()
endif()

set(BZIP2_SOURCE_DIR ${CMAKE_SOURCE_DIR}/third_party/bzip2)
if(NOT EXISTS ${BZIP2_SOURCE_DIR}/bzlib.c)
  message(FATAL_ERROR "bzip2 source not found in third_party/bzip2: run scripts/setup.sh first")
endif()

set(BZIP2_SOURCES blocksort.c huffman.c crctable.c randtable.c compress.c decompress.c bzlib.c)
list(TRANSFORM BZIP2_SOURCES PREPEND ${BZIP2_SOURCE_DIR}/)

add_library(bz2_full STATIC ${BZIP2_SOURCES})
target_include_directories(bz2_full SYSTEM PUBLIC ${BZIP2_SOURCE_DIR})
target_compile_definitions(bz2_full PRIVATE _FILE_OFFSET_BITS=64)
target_compile_options(bz2_full PRIVATE -w)
add_library(bz2::bz2 ALIAS bz2_full)
if(NOT MENDSMITH_WIN32)
  return()
endif()

# The stub needs only decompression: the compressor is not built and BZ_NO_STDIO drops the
# stdio layer. Its CRC table comes from stub/package/bzip2_tables.cpp, filled at start-up.
# Its decoder is made of checked rewrites of bzip2's own files (cmake/bzip2_stub_copy.cmake),
# for size: no small-memory decoder and no derandomiser, one procedure that reads bits, one
# expansion of the symbol reader, the resumable locals kept in the state, a plain run decoder.
# It decodes the library's bytes and refuses what the library refuses, and a randomised block
# besides; fuzz/bzip2_copy_fuzz.c holds it to that. On the i686 stub these rewrites after the
# bit reader's took 2,048 bytes of code (BZ2_decompress 4,417 to 2,530; the README's size table
# has each step), and decoding is as fast as before.
set(bzip2_copy ${CMAKE_BINARY_DIR}/bzip2-stub)
include(${CMAKE_CURRENT_LIST_DIR}/bzip2_stub_copy.cmake)
bzip2_stub_copy(${BZIP2_SOURCE_DIR} ${bzip2_copy})
add_library(bz2_stub STATIC ${BZIP2_SOURCE_DIR}/huffman.c ${bzip2_copy}/bzlib.c ${bzip2_copy}/decompress.c)
# A tree configured before the header had its copy took the source's; its copies recompile.
set_source_files_properties(${bzip2_copy}/bzlib.c ${bzip2_copy}/decompress.c
  PROPERTIES OBJECT_DEPENDS ${bzip2_copy}/bzlib_private.h)
target_include_directories(bz2_stub SYSTEM PUBLIC ${BZIP2_SOURCE_DIR})
target_compile_definitions(bz2_stub PUBLIC BZ_NO_STDIO ${BZIP2_STUB_CALL_RENAMES}
  PRIVATE ${BZIP2_STUB_RENAMES})
target_compile_options(bz2_stub PRIVATE -w -Os -flto -fno-asynchronous-unwind-tables -ffunction-sections -fdata-sections)

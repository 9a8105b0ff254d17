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
set(BZIP2_DECOMPRESSOR_SOURCES ${BZIP2_SOURCE_DIR}/huffman.c)

include(${CMAKE_CURRENT_LIST_DIR}/bzip2_stub_copy.cmake)
bzip2_stub_copy(${BZIP2_SOURCE_DIR} ${CMAKE_BINARY_DIR}/bzip2-stub)
list(APPEND BZIP2_DECOMPRESSOR_SOURCES ${CMAKE_BINARY_DIR}/bzip2-stub/bzlib.c ${CMAKE_BINARY_DIR}/bzip2-stub/decompress.c)
add_library(bz2_stub STATIC ${BZIP2_DECOMPRESSOR_SOURCES})
# A tree configured before the header had its copy took the source's; its copies recompile.
set_source_files_properties(${CMAKE_BINARY_DIR}/bzip2-stub/bzlib.c ${CMAKE_BINARY_DIR}/bzip2-stub/decompress.c
  PROPERTIES OBJECT_DEPENDS ${CMAKE_BINARY_DIR}/bzip2-stub/bzlib_private.h)
target_include_directories(bz2_stub SYSTEM PUBLIC ${BZIP2_SOURCE_DIR})
target_compile_definitions(bz2_stub PUBLIC BZ_NO_STDIO ${BZIP2_STUB_CALL_RENAMES} PRIVATE ${BZIP2_STUB_RENAMES})
target_compile_options(bz2_stub PRIVATE -w -Os -flto -fno-asynchronous-unwind-tables -ffunction-sections -fdata-sections)

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
# stdio layer. Its two tables come from stub/package/bzip2_tables.cpp, filled at start-up, so the
# file carries 1 KB of packed random numbers instead of 3 KB of tables.
set(BZIP2_DECOMPRESSOR_SOURCES ${BZIP2_SOURCE_DIR}/huffman.c)

# The stub always decompresses with small = 0. Copies of the two files that test the flag, with
# every test made false, let the compiler drop the small-memory decoder (about 1.6 KB). Each file
# must still hold the test, so that a new bzip2 release cannot quietly bring the decoder back.
set(BZIP2_SMALL_TEST "if (s->smallDecompress)")
foreach(name bzlib.c decompress.c)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${BZIP2_SOURCE_DIR}/${name})
  file(READ ${BZIP2_SOURCE_DIR}/${name} text)
  string(FIND "${text}" "${BZIP2_SMALL_TEST}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "third_party/bzip2/${name} has no \"${BZIP2_SMALL_TEST}\": the stub's copy "
      "would keep the small-memory decoder; update cmake/bzip2.cmake for this bzip2 release")
  endif()
  string(REPLACE "${BZIP2_SMALL_TEST}" "if (0)" text "${text}")
  file(WRITE ${CMAKE_BINARY_DIR}/bzip2-stub/${name}.new "${text}")
  # Rewritten only when it changes, so that a configure alone rebuilds nothing.
  configure_file(${CMAKE_BINARY_DIR}/bzip2-stub/${name}.new ${CMAKE_BINARY_DIR}/bzip2-stub/${name} COPYONLY)
  list(APPEND BZIP2_DECOMPRESSOR_SOURCES ${CMAKE_BINARY_DIR}/bzip2-stub/${name})
endforeach()
# The 512 random numbers, each below 1024, travel as 10-bit values, low bits first: 640 bytes.
file(READ ${BZIP2_SOURCE_DIR}/randtable.c randtable)
string(REGEX MATCH "BZ2_rNums\\[512\\] = {([^}]*)}" _ "${randtable}")
string(REGEX MATCHALL "[0-9]+" random_numbers "${CMAKE_MATCH_1}")
list(LENGTH random_numbers count)
if(NOT count EQUAL 512)
  message(FATAL_ERROR "third_party/bzip2/randtable.c: expected 512 random numbers, found ${count}")
endif()
set(packed "")
set(bits 0)
set(held 0)
foreach(number IN LISTS random_numbers)
  if(number GREATER 1023)
    message(FATAL_ERROR "third_party/bzip2/randtable.c: random number ${number} does not fit in 10 bits")
  endif()
  math(EXPR bits "${bits} | (${number} << ${held})")
  math(EXPR held "${held} + 10")
  while(held GREATER_EQUAL 8)
    math(EXPR byte "${bits} & 255")
    string(APPEND packed "${byte},")
    math(EXPR bits "${bits} >> 8")
    math(EXPR held "${held} - 8")
  endwhile()
endforeach()
file(WRITE ${CMAKE_BINARY_DIR}/generated/bzip2_random_numbers.h.new
  "/* Generated from bzip2's randtable.c by the build: 512 numbers of 10 bits, low bits first. */\n#define BZIP2_RANDOM_NUMBERS_PACKED ${packed}\n")
configure_file(${CMAKE_BINARY_DIR}/generated/bzip2_random_numbers.h.new ${CMAKE_BINARY_DIR}/generated/bzip2_random_numbers.h COPYONLY)

add_library(bz2_stub STATIC ${BZIP2_DECOMPRESSOR_SOURCES})
target_include_directories(bz2_stub SYSTEM PUBLIC ${BZIP2_SOURCE_DIR})
target_compile_definitions(bz2_stub PUBLIC BZ_NO_STDIO)
target_compile_options(bz2_stub PRIVATE -w -Os -flto -fno-asynchronous-unwind-tables -ffunction-sections -fdata-sections)

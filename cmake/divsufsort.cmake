# Provides divsufsort::divsufsort for the Windows tool: Debian's libdivsufsort source, fetched
# into third_party/ by scripts/setup.sh, built as a static library with 32-bit indexes (the
# delta engine's Index), as Debian's host library is.
set(DIVSUFSORT_SOURCE_DIR ${CMAKE_SOURCE_DIR}/third_party/libdivsufsort)
if(NOT EXISTS ${DIVSUFSORT_SOURCE_DIR}/lib/divsufsort.c)
  message(FATAL_ERROR "libdivsufsort source not found in third_party/libdivsufsort: run scripts/setup.sh first")
endif()

# A function, so that the names its header templates expect (PROJECT_VERSION_FULL among them)
# stay out of the project's scope.
function(mendsmith_configure_divsufsort out)
  file(READ ${DIVSUFSORT_SOURCE_DIR}/VERSION PROJECT_VERSION_FULL)
  string(STRIP "${PROJECT_VERSION_FULL}" PROJECT_VERSION_FULL)
  set(W64BIT "")
  set(INCFILE "#include <inttypes.h>")
  set(DIVSUFSORT_EXPORT "")
  set(DIVSUFSORT_IMPORT "")
  set(SAUCHAR_TYPE uint8_t)
  set(SAINT32_TYPE int32_t)
  set(SAINDEX_TYPE int32_t)
  set(SAINT_PRId PRId32)
  set(SAINDEX_PRId PRId32)
  set(INLINE inline)
  foreach(have INTTYPES_H STDDEF_H STDINT_H STDLIB_H STRING_H MEMORY_H SYS_TYPES_H)
    set(HAVE_${have} 1)
  endforeach()
  configure_file(${DIVSUFSORT_SOURCE_DIR}/include/divsufsort.h.cmake ${out}/divsufsort.h @ONLY)
  configure_file(${DIVSUFSORT_SOURCE_DIR}/include/config.h.cmake ${out}/config.h)
endfunction()
mendsmith_configure_divsufsort(${CMAKE_BINARY_DIR}/divsufsort-include)

add_library(divsufsort_static STATIC
  ${DIVSUFSORT_SOURCE_DIR}/lib/divsufsort.c ${DIVSUFSORT_SOURCE_DIR}/lib/sssort.c
  ${DIVSUFSORT_SOURCE_DIR}/lib/trsort.c ${DIVSUFSORT_SOURCE_DIR}/lib/utils.c)
target_include_directories(divsufsort_static SYSTEM PUBLIC ${CMAKE_BINARY_DIR}/divsufsort-include)
target_include_directories(divsufsort_static PRIVATE ${DIVSUFSORT_SOURCE_DIR}/include)
target_compile_definitions(divsufsort_static PRIVATE HAVE_CONFIG_H=1)
target_compile_options(divsufsort_static PRIVATE -w)
add_library(divsufsort::divsufsort ALIAS divsufsort_static)

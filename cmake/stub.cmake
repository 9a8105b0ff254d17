# The stub: the updater program proper, built for size. The package is appended
# at PACKAGE_OFFSET, so the image must fit before it; the build fails otherwise.
set(STUB_DIRS startup package patch ui)
set(STUB_CORE_SOURCES)
foreach(dir ${STUB_DIRS})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp)
  list(APPEND STUB_CORE_SOURCES ${sources})
endforeach()
# The entry point and the decompressor's tables belong to the stub image alone.
set(STUB_ONLY_SOURCES ${CMAKE_SOURCE_DIR}/startup/entry.cpp ${CMAKE_SOURCE_DIR}/package/bzip2_tables.cpp)
list(REMOVE_ITEM STUB_CORE_SOURCES ${STUB_ONLY_SOURCES})

# Size levers measured on the i686 image: procedures called once stay procedures (1.5 KB),
# and the 4-byte stack alignment that the platform guarantees is all that is kept.
set(STUB_SIZE_OPTIONS -Os -flto -fno-inline-functions-called-once)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  list(APPEND STUB_SIZE_OPTIONS -mpreferred-stack-boundary=2)
endif()
target_compile_options(bz2_stub PRIVATE ${STUB_SIZE_OPTIONS})
set(STUB_COMPILE_OPTIONS
  ${STUB_SIZE_OPTIONS} -ffat-lto-objects -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
  -fno-threadsafe-statics -fno-use-cxa-atexit -ffunction-sections -fdata-sections
  -Wall -Wextra)

# windres does not report what a resource script includes.
file(GLOB STUB_RESOURCE_INPUTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/res/*)
set_source_files_properties(${CMAKE_SOURCE_DIR}/res/mendsmith.rc PROPERTIES OBJECT_DEPENDS "${STUB_RESOURCE_INPUTS}")

# Everything but the entry point; the Windows tests link it too.
add_library(stub_core STATIC ${STUB_CORE_SOURCES})
target_include_directories(stub_core PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(stub_core PRIVATE ${STUB_COMPILE_OPTIONS})
target_link_libraries(stub_core PUBLIC bz2_stub shlwapi imagehlp comctl32 shell32 ole32 user32 gdi32 kernel32)

add_executable(mendsmith_stub WIN32 ${STUB_ONLY_SOURCES} ${CMAKE_SOURCE_DIR}/res/mendsmith.rc)
set_target_properties(mendsmith_stub PROPERTIES OUTPUT_NAME stub LINKER_LANGUAGE C)
target_compile_options(mendsmith_stub PRIVATE ${STUB_COMPILE_OPTIONS})
target_include_directories(mendsmith_stub PRIVATE ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
target_link_libraries(mendsmith_stub PRIVATE stub_core)
# The linker crashes on an LTO link of a PE image unless the relocation section is left out.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(STUB_ENTRY _EntryPoint@0)
else()
  set(STUB_ENTRY EntryPoint)
endif()
target_link_options(mendsmith_stub PRIVATE
  ${STUB_SIZE_OPTIONS} -nostartfiles -static-libgcc -s
  -Wl,--entry=${STUB_ENTRY} -Wl,--disable-reloc-section -Wl,--gc-sections)

add_custom_command(TARGET mendsmith_stub POST_BUILD
  COMMAND ${CMAKE_COMMAND} -DSTUB=$<TARGET_FILE:mendsmith_stub>
          -DPADDED=${CMAKE_BINARY_DIR}/stub-padded.bin -DOFFSET=${MENDSMITH_PACKAGE_OFFSET}
          -P ${CMAKE_SOURCE_DIR}/cmake/pad_stub.cmake
  VERBATIM)
add_subdirectory(${CMAKE_SOURCE_DIR}/bench/win32 ${CMAKE_BINARY_DIR}/bench/win32)

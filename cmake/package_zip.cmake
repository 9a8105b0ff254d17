# The Windows tool's zip (cmake --build --preset win64-tool --target package): mendsmith.exe with
# the shipped i686 stub beside it, where the tool looks for its default stub.
set(MENDSMITH_SHIPPED_STUB "${PROJECT_SOURCE_DIR}/build/win32/stub-padded.bin" CACHE FILEPATH
  "The padded stub that goes into the zip (written by the win32 tree)")

install(CODE "
  if(NOT EXISTS \"${MENDSMITH_SHIPPED_STUB}\")
    message(FATAL_ERROR \"${MENDSMITH_SHIPPED_STUB} not found: build the stub first (cmake --preset win32 && cmake --build --preset win32)\")
  endif()")
install(TARGETS mendsmith RUNTIME DESTINATION .)
install(FILES ${MENDSMITH_SHIPPED_STUB} DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME mendsmith)
set(CPACK_PACKAGE_VENDOR "Mendsmith")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Builds and examines self-applying updaters for Windows")
set(CPACK_PACKAGE_FILE_NAME mendsmith-${PROJECT_VERSION}-win64)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
# CPack's own variable names the source package once its module has run.
set(MENDSMITH_ZIP ${CPACK_PACKAGE_DIRECTORY}/mendsmith-${PROJECT_VERSION}-win64.zip)

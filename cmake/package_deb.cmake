# A Debian package of the host tool: bin/mendsmith and the i686 stub in share/mendsmith, where
# `mendsmith build` looks for it beside its own bin folder. The stub comes from the win32 tree,
# so `cpack -G DEB` in this tree needs that tree built first.
install(TARGETS mendsmith RUNTIME DESTINATION bin)
install(FILES ${MENDSMITH_STUB} DESTINATION share/mendsmith)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mendsmith)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "builds self-applying updaters for Windows applications")
set(CPACK_PACKAGE_CONTACT "Mendsmith developers <mendsmith@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# libcrypto is opened only by the signature check, so no library dependency names it; without
# it the tool says that it cannot check signatures.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "osslsigncode, libssl3 | libssl3t64")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)

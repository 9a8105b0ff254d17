# CLI11 and nlohmann-json for a cross-compiled tree: Debian's header-only packages, seen through
# a folder in the build tree that links their two header folders alone, so that no other header
# of the host's /usr/include can reach a Windows build.
set(MENDSMITH_HOST_INCLUDE /usr/include CACHE PATH "Where Debian's libcli11-dev and nlohmann-json3-dev put their headers")
set(header_only_dir ${CMAKE_BINARY_DIR}/header-only-include)
file(MAKE_DIRECTORY ${header_only_dir})
foreach(folder CLI nlohmann)
  if(NOT IS_DIRECTORY ${MENDSMITH_HOST_INCLUDE}/${folder})
    message(FATAL_ERROR "${MENDSMITH_HOST_INCLUDE}/${folder} not found: run scripts/setup.sh first")
  endif()
  file(CREATE_LINK ${MENDSMITH_HOST_INCLUDE}/${folder} ${header_only_dir}/${folder} SYMBOLIC)
endforeach()

add_library(CLI11::CLI11 INTERFACE IMPORTED)
target_include_directories(CLI11::CLI11 SYSTEM INTERFACE ${header_only_dir})
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${header_only_dir})

# The release archive of the Windows build, made by CPack:
#
#   cmake --preset win32 && cmake --build --preset win32 && cpack --preset win32
#
# gives build/win32/zorvo-recolour-<version>-win32.zip, and its checksum in
# build/win32/zorvo-recolour-<version>-win32.zip.sha256. The archive holds one
# folder with the tool, colour-backup.exe and recolour.cmd (the main job:
# a backup, then the tool), README.md, USAGE.txt (for Windows users) and
# SHA256SUMS, the checksums of the other five. The two texts for Windows
# have CRLF line ends and take the exit statuses from backup/exit_status.h.
#
# The archive is reproducible: after CPack has made it, NormaliseArchive.cmake
# rewrites it with every entry's time pinned to the last commit's (or
# SOURCE_DATE_EPOCH when set), fixed permissions and no extra fields, so two
# builds of one commit give the same bytes.
if(NOT WIN32)
  return()
endif()

set(release_component release)

file(STRINGS ${CMAKE_SOURCE_DIR}/backup/exit_status.h status_lines REGEX "^ *STATUS_[A-Z_]+ = [0-9]+")
foreach(line IN LISTS status_lines)
  string(REGEX MATCH "(STATUS_[A-Z_]+) = ([0-9]+)" status_match "${line}")
  set(${CMAKE_MATCH_1} ${CMAKE_MATCH_2})
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/backup/exit_status.h)
configure_file(${CMAKE_CURRENT_LIST_DIR}/USAGE.txt.in ${CMAKE_BINARY_DIR}/USAGE.txt @ONLY NEWLINE_STYLE CRLF)
configure_file(${CMAKE_CURRENT_LIST_DIR}/recolour.cmd.in ${CMAKE_BINARY_DIR}/recolour.cmd @ONLY NEWLINE_STYLE CRLF)

install(TARGETS zorvo-recolour colour-backup RUNTIME DESTINATION . COMPONENT ${release_component})
install(FILES ${CMAKE_BINARY_DIR}/recolour.cmd ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_BINARY_DIR}/USAGE.txt
        DESTINATION . COMPONENT ${release_component})
# Runs after the files above are staged: writes SHA256SUMS.
install(SCRIPT ${CMAKE_CURRENT_LIST_DIR}/FinishStaging.cmake COMPONENT ${release_component})

set(CPACK_PACKAGE_NAME zorvo-recolour)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME zorvo-recolour-${PROJECT_VERSION}-win32)
set(CPACK_GENERATOR ZIP)
set(CPACK_SOURCE_GENERATOR "")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_PACKAGE_CHECKSUM SHA256)
# Only the release component: whatever else the tree installs stays out.
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};${release_component};/")
find_program(RELEASE_PYTHON NAMES python3 REQUIRED)
set(CPACK_RELEASE_PYTHON ${RELEASE_PYTHON})
set(CPACK_RELEASE_SOURCE_DIR ${CMAKE_SOURCE_DIR})
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/NormaliseArchive.cmake)
set(CPACK_VERBATIM_VARIABLES ON)
include(CPack)

# CPack post-build step of the release archive (see Packaging.cmake), run on
# the archive before CPack copies it to the build tree and writes its
# checksum: rewrites it so that two builds of one commit give the same bytes.
include(${CMAKE_CURRENT_LIST_DIR}/ReleaseTime.cmake)
release_epoch(epoch "${CPACK_RELEASE_SOURCE_DIR}")
foreach(archive IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND "${CPACK_RELEASE_PYTHON}" "${CMAKE_CURRENT_LIST_DIR}/normalise_zip.py" "${archive}" ${epoch}
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "Could not normalise ${archive}")
  endif()
endforeach()

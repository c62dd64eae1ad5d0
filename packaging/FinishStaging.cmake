# Install-time step of the release archive (see Packaging.cmake), run after
# the archive's files are staged: writes SHA256SUMS, the checksums of the
# other files, beside them.
set(staging "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")

set(sums "")
foreach(name zorvo-recolour.exe colour-backup.exe recolour.cmd README.md USAGE.txt)
  if(NOT EXISTS "${staging}/${name}")
    message(FATAL_ERROR "The release archive misses ${name}")
  endif()
  file(SHA256 "${staging}/${name}" hash)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE "${staging}/SHA256SUMS" "${sums}")

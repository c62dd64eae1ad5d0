# Tests of the maintainers' tooling, in the native tree (none needs the
# Windows build tree):
#
# - always: the unit tests of the demo's report (demo/), of the release
#   archive's normalisation (packaging/), of the host set-up for Wine's
#   32-bit side and of the documents' link check (scripts/), and of the
#   benchmark's verdict (bench/), Python, well under a second;
# - with -DMAINTAINER_CHECKS=ON, one test per check, each running its script:
#     lint.format           scripts/lint.sh format     clang-format
#     lint.tidy             scripts/lint.sh tidy       clang-tidy (minutes)
#     lint.cppcheck         scripts/lint.sh cppcheck   cppcheck on the core
#     lint.docs             scripts/lint.sh docs       links, anchors and mdl on
#                                                      every tracked .md file
#     release.reproducible  scripts/check-reproducible.sh: two Windows builds
#                           in their own trees, executable and archive compared
if(WIN32)
  return()
endif()

find_program(MAINTAINER_PYTHON NAMES python3 REQUIRED)
add_test(NAME demo.report COMMAND ${MAINTAINER_PYTHON} -B ${CMAKE_SOURCE_DIR}/demo/show_sessions_test.py)
add_test(NAME release.normalise_zip
         COMMAND ${MAINTAINER_PYTHON} -B ${CMAKE_SOURCE_DIR}/packaging/normalise_zip_test.py)
add_test(NAME setup.i386_host COMMAND ${MAINTAINER_PYTHON} -B ${CMAKE_SOURCE_DIR}/scripts/i386_host_test.py)
add_test(NAME docs.check_doc_links
         COMMAND ${MAINTAINER_PYTHON} -B ${CMAKE_SOURCE_DIR}/scripts/check_doc_links_test.py)
add_test(NAME bench.verdict COMMAND ${MAINTAINER_PYTHON} -B ${CMAKE_SOURCE_DIR}/bench/verdict_test.py)

option(MAINTAINER_CHECKS "Register the lint and reproducible-build checks as tests" OFF)
if(MAINTAINER_CHECKS)
  foreach(check format tidy cppcheck)
    add_test(NAME lint.${check} COMMAND ${CMAKE_SOURCE_DIR}/scripts/lint.sh ${check})
  endforeach()
  add_test(NAME release.reproducible COMMAND ${CMAKE_SOURCE_DIR}/scripts/check-reproducible.sh)
  set_tests_properties(lint.format lint.tidy lint.cppcheck release.reproducible PROPERTIES
                       LABELS maintainer TIMEOUT 1800 RUN_SERIAL ON)
  # Seconds, and reads only the source tree: no need to run alone.
  add_test(NAME lint.docs COMMAND ${CMAKE_SOURCE_DIR}/scripts/lint.sh docs)
  set_tests_properties(lint.docs PROPERTIES LABELS maintainer TIMEOUT 120)
endif()

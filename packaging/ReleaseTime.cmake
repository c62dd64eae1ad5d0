# The one time that every entry of the release archive carries:
# SOURCE_DATE_EPOCH when it is set, else the time of the last commit, else
# 1980-01-01 (the earliest time a ZIP entry can hold).
function(release_epoch out_variable source_dir)
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
  if(epoch STREQUAL "")
    execute_process(COMMAND git -C "${source_dir}" log -1 --format=%ct
                    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE git_result ERROR_QUIET)
    if(NOT git_result EQUAL 0 OR NOT epoch MATCHES "^[0-9]+$")
      set(epoch 315532800)
    endif()
  endif()
  set(${out_variable} ${epoch} PARENT_SCOPE)
endfunction()

# Two builds of one commit give the same bytes, whatever their folders and times.
#
# The only time a build records (the PE time stamp, the ZIP's file times) is
# SOURCE_DATE_EPOCH when set, else the last commit's, else a fixed date, taken
# at configure time. Moving HEAD configures again, and the changed link command
# links again, so the stamp follows the commit.

find_package(Git QUIET)
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(LARKSPAN_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
  set(origin "SOURCE_DATE_EPOCH")
else()
  set(status 1)
  if(GIT_FOUND)
    execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%ct
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    RESULT_VARIABLE status OUTPUT_VARIABLE LARKSPAN_SOURCE_DATE_EPOCH
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --path-format=absolute
                            --git-path HEAD --git-path logs/HEAD
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE head_files OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    string(REPLACE "\n" ";" head_files "${head_files}")
    foreach(file IN LISTS head_files)
      if(EXISTS "${file}")
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
      endif()
    endforeach()
  endif()
  if(status EQUAL 0)
    set(origin "the last commit")
  else()
    # A source tree without history still builds the same bytes every time.
    set(LARKSPAN_SOURCE_DATE_EPOCH 315532800)
    set(origin "no SOURCE_DATE_EPOCH and no git history: 1980-01-01")
  endif()
endif()
# The PE header holds 32 bits of seconds.
if(NOT LARKSPAN_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$" OR LARKSPAN_SOURCE_DATE_EPOCH GREATER 4294967295)
  message(FATAL_ERROR "SOURCE_DATE_EPOCH must be seconds since 1970 that fit in 32 bits, not "
                      "'${LARKSPAN_SOURCE_DATE_EPOCH}'")
endif()
message(STATUS "Build time stamp: ${LARKSPAN_SOURCE_DATE_EPOCH} (${origin})")

# GNU ld writes SOURCE_DATE_EPOCH, when it finds it, as the PE time stamp, and
# the checksum follows from it.
foreach(lang C CXX)
  set(CMAKE_${lang}_LINKER_LAUNCHER ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${LARKSPAN_SOURCE_DATE_EPOCH})
endforeach()
# __FILE__ and the like name files relative to the source and build folders.
# The build folder comes last: it may lie inside the source folder, and GCC
# takes the last map that matches.
add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}/= -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)

# libarchive, CPack's ZIP writer, stores each file's access and change times and
# the packer's user and group ids, which no build can hold still; CPack hands
# the finished ZIP to repack_zip.py to write it again from its contents alone.
set(CPACK_LARKSPAN_PYTHON ${LARKSPAN_PYTHON})
set(CPACK_LARKSPAN_REPACK_ZIP ${CMAKE_CURRENT_LIST_DIR}/repack_zip.py)
set(CPACK_LARKSPAN_SOURCE_DATE_EPOCH ${LARKSPAN_SOURCE_DATE_EPOCH})
list(APPEND CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/RepackZip.cmake)

# Lays the shipped programs out as "cmake --install" and the ZIP package do, and checks both trees.
# Run with -DBUILD_DIR=... -DPYTHON=... -DCHECK=.../check_layout.py
set(installed ${BUILD_DIR}/layout/installed)
set(unzipped ${BUILD_DIR}/layout/zip)
file(REMOVE_RECURSE ${BUILD_DIR}/layout)
file(MAKE_DIRECTORY ${unzipped})

execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${installed} COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${PYTHON} ${CHECK} ${installed} RESULT_VARIABLE status)
if(status)
  message(FATAL_ERROR "installed layout is wrong")
endif()

execute_process(COMMAND cpack -G ZIP -B ${BUILD_DIR}/layout/package WORKING_DIRECTORY ${BUILD_DIR}
                OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
file(GLOB zips ${BUILD_DIR}/layout/package/*.zip)
list(LENGTH zips count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one ZIP package, found: ${zips}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${zips} WORKING_DIRECTORY ${unzipped} COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${PYTHON} ${CHECK} ${unzipped} RESULT_VARIABLE status)
if(status)
  message(FATAL_ERROR "ZIP package layout is wrong")
endif()

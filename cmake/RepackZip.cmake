# CPack runs this after packing, with CPACK_PACKAGE_FILES naming what it made.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(package MATCHES "\\.zip$")
    execute_process(COMMAND ${CPACK_LARKSPAN_PYTHON} ${CPACK_LARKSPAN_REPACK_ZIP}
                            ${CPACK_LARKSPAN_SOURCE_DATE_EPOCH} ${package}
                    COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()

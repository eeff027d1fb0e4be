# Authenticode signing on request:
#   -DLARKSPAN_SIGN_PFX=FILE -DLARKSPAN_SIGN_PASSWORD_FILE=FILE [-DLARKSPAN_SIGN_TIMESTAMP_URL=URL]
#
# Each program is signed in bin/ right after it links, so the tests, the
# install and the ZIP all take the signed file. A program that cannot be signed
# is deleted rather than left unsigned, so the next build links and signs it
# again instead of taking it for up to date. Without the options nothing is
# signed and the build stays reproducible.

set(LARKSPAN_SIGN_PFX "" CACHE FILEPATH "PKCS#12 file with the code-signing key and certificate; empty: no signing")
set(LARKSPAN_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File whose first line is the PKCS#12 password")
set(LARKSPAN_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamp server; empty: no time stamp")

if(LARKSPAN_SIGN_PFX OR LARKSPAN_SIGN_PASSWORD_FILE OR LARKSPAN_SIGN_TIMESTAMP_URL)
  foreach(option LARKSPAN_SIGN_PFX LARKSPAN_SIGN_PASSWORD_FILE)
    if(NOT ${option})
      message(FATAL_ERROR "Cannot sign: ${option} is not set")
    elseif(NOT EXISTS "${${option}}" OR IS_DIRECTORY "${${option}}")
      message(FATAL_ERROR "Cannot sign: ${option} names no file: ${${option}}")
    endif()
  endforeach()
  find_program(LARKSPAN_OSSLSIGNCODE osslsigncode)
  if(NOT LARKSPAN_OSSLSIGNCODE)
    message(FATAL_ERROR "Cannot sign: osslsigncode is not installed (scripts/deps.sh installs it)")
  endif()
endif()

# Turning signing on or off or changing an option changes the link rule, so the
# program links and is signed again; so does a new certificate or password.
function(larkspan_sign target)
  if(NOT LARKSPAN_SIGN_PFX)
    return()
  endif()
  set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${LARKSPAN_SIGN_PFX} ${LARKSPAN_SIGN_PASSWORD_FILE})
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  string(APPEND name ${CMAKE_EXECUTABLE_SUFFIX})
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DOSSLSIGNCODE=${LARKSPAN_OSSLSIGNCODE} -DPROGRAM=$<TARGET_FILE:${target}>
            -DPFX=${LARKSPAN_SIGN_PFX} -DPASSWORD_FILE=${LARKSPAN_SIGN_PASSWORD_FILE}
            -DTIMESTAMP_URL=${LARKSPAN_SIGN_TIMESTAMP_URL} -P ${PROJECT_SOURCE_DIR}/cmake/sign.cmake
    COMMENT "Signing ${name}"
    VERBATIM)
  # A build cut off between linking and signing leaves an unsigned program
  # that make takes for up to date. Installing and packing refuse it and
  # delete it, so that the next build links and signs it again.
  install(CODE "
    set(signature \"${CMAKE_BINARY_DIR}/signature.der\")
    file(REMOVE \"\${signature}\")
    execute_process(COMMAND \"${LARKSPAN_OSSLSIGNCODE}\" extract-signature -in \"$<TARGET_FILE:${target}>\"
                            -out \"\${signature}\" RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
    file(REMOVE \"\${signature}\")
    if(NOT status EQUAL 0)
      file(REMOVE \"$<TARGET_FILE:${target}>\")
      message(FATAL_ERROR \"$<TARGET_FILE:${target}> was not signed and is now deleted; build again\")
    endif()")
endfunction()

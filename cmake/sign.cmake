# Signs PROGRAM in place: Authenticode, SHA-256, key and certificate from PFX,
# its password from PASSWORD_FILE, an RFC 3161 time stamp from TIMESTAMP_URL
# when that is set.
#
# osslsigncode writes a new file, which replaces PROGRAM only once it is
# complete. On any failure PROGRAM goes too: left unsigned, it would look up to
# date to the next build and be installed, tested and packed as it is.
set(signed "${PROGRAM}.signed")
file(REMOVE "${signed}")
set(timestamp)
if(TIMESTAMP_URL)
  set(timestamp -ts "${TIMESTAMP_URL}")
endif()
execute_process(COMMAND "${OSSLSIGNCODE}" sign -h sha256 -pkcs12 "${PFX}" -readpass "${PASSWORD_FILE}"
                        ${timestamp} -in "${PROGRAM}" -out "${signed}"
                RESULT_VARIABLE status OUTPUT_VARIABLE said ERROR_VARIABLE said)
if(status EQUAL 0 AND EXISTS "${signed}")
  # osslsigncode creates its output without the execute bits the linker set.
  file(CHMOD "${signed}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
                                     GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  file(RENAME "${signed}" "${PROGRAM}")
  return()
endif()

file(REMOVE "${PROGRAM}" "${signed}")
if(said MATCHES "Wrong password")
  set(why "the password in ${PASSWORD_FILE} does not open ${PFX}")
elseif(said MATCHES "timestamping failed")
  set(why "the time-stamp server ${TIMESTAMP_URL} gave no time stamp")
else()
  set(why "osslsigncode failed")
endif()
get_filename_component(name "${PROGRAM}" NAME)
message(FATAL_ERROR "Cannot sign ${name}: ${why}. ${name} is deleted, so that no unsigned copy is left.\n"
                    "osslsigncode said:\n${said}")

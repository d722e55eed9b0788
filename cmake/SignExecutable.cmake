# Signs a Windows executable in place with osslsigncode (Authenticode,
# SHA-256), as a studio signs the launcher it ships. Script mode:
#   cmake -DFILE=launcher.exe -DCERT=cert.pem -DKEY=key.pem [-DTIMESTAMP_URL=url] -P SignExecutable.cmake
# The build runs it after linking when QRV_SIGN_CERT and QRV_SIGN_KEY are set.
foreach(required FILE CERT KEY)
    if(NOT ${required})
        message(FATAL_ERROR "SignExecutable: ${required} is not set")
    endif()
endforeach()
find_program(OSSLSIGNCODE osslsigncode REQUIRED)
set(timestamp "")
if(TIMESTAMP_URL)
    set(timestamp -ts "${TIMESTAMP_URL}")
endif()
# Written beside the file and moved over it, so a failed signing leaves the
# unsigned file whole rather than half a signed one.
execute_process(
    COMMAND "${OSSLSIGNCODE}" sign -certs "${CERT}" -key "${KEY}" -h sha256
            -n "Quorvane" -i "https://quorvane.invalid/launcher" ${timestamp}
            -in "${FILE}" -out "${FILE}.signed"
    RESULT_VARIABLE failed OUTPUT_QUIET)
if(failed)
    file(REMOVE "${FILE}.signed")
    message(FATAL_ERROR "SignExecutable: osslsigncode could not sign ${FILE}")
endif()
file(RENAME "${FILE}.signed" "${FILE}")

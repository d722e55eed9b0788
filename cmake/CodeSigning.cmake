# Signs a target's executable after linking (Authenticode through
# osslsigncode, see SignExecutable.cmake):
#   qrv_sign_after_link(TARGET CERT KEY [TIMESTAMP_URL])
function(qrv_sign_after_link target cert key)
    set(timestamp "${ARGN}")
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_COMMAND} -DFILE=$<TARGET_FILE:${target}> -DCERT=${cert} -DKEY=${key}
                "-DTIMESTAMP_URL=${timestamp}" -P ${CMAKE_SOURCE_DIR}/cmake/SignExecutable.cmake
        COMMENT "Signing ${target}")
endfunction()

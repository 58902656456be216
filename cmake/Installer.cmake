# strell_add_variant_settings(<target> ORIGIN <origin> STALL_MS <ms> CATALOGUE_MS <ms> [KEYS <pem file>]):
# compiles into <target> what differs between installer variants: the catalogue's origin, the network wait
# limits and the keys a catalogue must be signed by (none without KEYS: no signature is looked for).
function(strell_add_variant_settings target)
    cmake_parse_arguments(arg "" "ORIGIN;STALL_MS;CATALOGUE_MS;KEYS" "" ${ARGN})
    strell_catalogue_keys_header("${arg_KEYS}" keysHeader)
    target_sources(${target} PRIVATE
        "${PROJECT_SOURCE_DIR}/retrieval/CatalogueAddress.cpp"
        "${PROJECT_SOURCE_DIR}/retrieval/CatalogueSigningKeys.cpp"
        "${PROJECT_SOURCE_DIR}/retrieval/NetworkLimits.cpp")
    target_compile_definitions(${target} PRIVATE "CATALOGUE_ORIGIN=\"${arg_ORIGIN}\""
        "NETWORK_STALL_LIMIT_MS=${arg_STALL_MS}" "CATALOGUE_TIME_LIMIT_MS=${arg_CATALOGUE_MS}"
        "CATALOGUE_SIGNING_KEYS_HEADER=\"${keysHeader}\"")
endfunction()

# strell_add_loopback_settings(<target>): the variant settings of the programs built for tests: the
# loopback origin and its shorter limits.
function(strell_add_loopback_settings target)
    strell_add_variant_settings(${target} ORIGIN "${LOOPBACK_ORIGIN}" STALL_MS ${LOOPBACK_STALL_LIMIT_MS}
        CATALOGUE_MS ${LOOPBACK_CATALOGUE_TIME_LIMIT_MS})
endfunction()

# strell_add_installer(<target> ORIGIN <origin> STALL_MS <ms> CATALOGUE_MS <ms> [KEYS <pem file>]
#                      [KEEP_ENVIRONMENT <prefix>]): the installer executable, fetching its catalogue from
# <origin> within those limits, signed by one of KEYS when given. KEEP_ENVIRONMENT, for builds that tests
# run: the caller's variables of that prefix reach the stand-in setup program (the installer keeps none).
# Only the variant settings and the entry point are compiled per variant.
function(strell_add_installer target)
    cmake_parse_arguments(arg "" "ORIGIN;STALL_MS;CATALOGUE_MS;KEYS;KEEP_ENVIRONMENT" "" ${ARGN})
    add_executable(${target} WIN32 "${PROJECT_SOURCE_DIR}/app/Main_${STRELL_OS}.cpp")
    target_compile_definitions(${target} PRIVATE "STRELL_KEPT_ENVIRONMENT=\"${arg_KEEP_ENVIRONMENT}\"")
    strell_add_variant_settings(${target} ORIGIN "${arg_ORIGIN}" STALL_MS ${arg_STALL_MS}
        CATALOGUE_MS ${arg_CATALOGUE_MS} KEYS "${arg_KEYS}")
    # strell_juce is named, though the parts bring it, so that it comes before the delay-import libraries.
    target_link_libraries(${target} PRIVATE
        strell_run strell_run_os strell_retrieval strell_devices strell_devices_os strell_juce)
    strell_own_code(${target})
    if(WIN32)
        set(resources "${PROJECT_SOURCE_DIR}/resources")
        # The DLL search limit is a TLS callback that nothing refers to: it must be one of the exe's own
        # objects, as a library member it would never be linked.
        target_sources(${target} PRIVATE "${PROJECT_SOURCE_DIR}/app/DllSearch_windows.cpp"
            "${resources}/StrellDriverInstaller.rc")
        # windres writes no dependency file: name what the script pulls in, so edits rebuild it.
        set_source_files_properties("${resources}/StrellDriverInstaller.rc" TARGET_DIRECTORY ${target}
            PROPERTIES OBJECT_DEPENDS "${resources}/StrellDriverInstaller.manifest;${resources}/StrellDriverInstaller.ico")
        # Static runtime (system DLLs only), stripped, and ASLR with high-entropy addresses plus DEP.
        target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++ -s
            -Wl,--dynamicbase -Wl,--high-entropy-va -Wl,--nxcompat)
        # The delay-import libraries come right after strell_juce, which calls into those DLLs, and before
        # its own link libraries (-lversion, -lwinmm...): the first library to define a function wins.
        target_link_libraries(${target} PRIVATE ${STRELL_DELAY_LIBRARIES})
        add_dependencies(${target} strell_delay_libraries)
    endif()
endfunction()

include(CatalogueSigningKeys)

# STRELL_DELAY_LIBRARIES and the target that builds them, for the Windows link above.
include(DelayLoad)

# Compiler launcher: sets STRELL_COMPILE_ENV (the pinned SOURCE_DATE_EPOCH, see cmake/Reproducible.cmake)
# and compiles through ccache when it is there and STRELL_CCACHE is on. juce_core uses __DATE__/__TIME__,
# so without time_macros sloppiness no JUCE object would ever be reused; the base dir lets clones in other
# folders share hits. That sloppiness also means a cached object may carry another commit's __DATE__:
# release builds, and the reproducibility test, turn ccache off.
option(STRELL_CCACHE "Compile through ccache when it is installed" ON)
find_program(CCACHE_PROGRAM ccache)
if(NOT CMAKE_CXX_COMPILER_LAUNCHER)
    set(launcher "")
    if(STRELL_CCACHE AND CCACHE_PROGRAM)
        set(launcher "${CMAKE_COMMAND}" -E env ${STRELL_COMPILE_ENV}
            CCACHE_SLOPPINESS=time_macros,include_file_mtime,include_file_ctime
            "CCACHE_BASEDIR=${CMAKE_SOURCE_DIR}" "${CCACHE_PROGRAM}")
    elseif(STRELL_COMPILE_ENV)
        set(launcher "${CMAKE_COMMAND}" -E env ${STRELL_COMPILE_ENV})
    endif()
    set(CMAKE_C_COMPILER_LAUNCHER ${launcher})
    set(CMAKE_CXX_COMPILER_LAUNCHER ${launcher})
endif()

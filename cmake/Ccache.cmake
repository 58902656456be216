# Compile through ccache when it is there. juce_core uses __DATE__/__TIME__, so without time_macros
# sloppiness no JUCE object would ever be reused; the base dir lets clones in other folders share hits.
find_program(CCACHE_PROGRAM ccache)
if(CCACHE_PROGRAM AND NOT CMAKE_CXX_COMPILER_LAUNCHER)
    set(launcher "${CMAKE_COMMAND}" -E env CCACHE_SLOPPINESS=time_macros,include_file_mtime,include_file_ctime
        "CCACHE_BASEDIR=${CMAKE_SOURCE_DIR}" "${CCACHE_PROGRAM}")
    set(CMAKE_C_COMPILER_LAUNCHER ${launcher})
    set(CMAKE_CXX_COMPILER_LAUNCHER ${launcher})
endif()

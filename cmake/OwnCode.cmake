# Settings for the project's own code (not JUCE's): warnings, and the OS suffix of platform files.
option(STRELL_WERROR "Treat warnings in the project's own code as errors" OFF)

function(strell_own_code target)
    target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${STRELL_WERROR}>:-Werror>)
    target_include_directories(${target} PUBLIC "${PROJECT_SOURCE_DIR}")
endfunction()

# Platform files are named <Name>_windows.cpp or <Name>_posix.cpp beside the logic they serve.
if(WIN32)
    set(STRELL_OS windows)
else()
    set(STRELL_OS posix)
endif()

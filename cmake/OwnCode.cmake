# Settings for the project's own code (not JUCE's): warnings, and the OS suffix of platform files.
option(STRELL_WERROR "Treat warnings in the project's own code as errors" OFF)

function(strell_own_code target)
    target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${STRELL_WERROR}>:-Werror>)
    target_include_directories(${target} PUBLIC "${PROJECT_SOURCE_DIR}")
endfunction()

# Platform files are named <Name>_windows.cpp or <Name>_posix.cpp beside the logic they serve. The posix
# layer is the Linux build's: most of it is POSIX, but the process list (/proc), the USB scan (sysfs), the
# descriptor-based setup-program start and the namespaces of the tests are Linux's own.
if(WIN32)
    set(STRELL_OS windows)
else()
    set(STRELL_OS posix)
endif()

# strell_add_object_library(<name> <sources...>): the project's own code as an object library. Its objects go
# to every program that links it, directly or through another such library (a link between object libraries
# alone passes on only usage requirements), each object once, in the order the links name them.
function(strell_add_object_library name)
    add_library(${name} OBJECT ${ARGN})
    target_sources(${name} INTERFACE $<TARGET_OBJECTS:${name}>)
    strell_own_code(${name})
endfunction()

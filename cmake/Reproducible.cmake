# Reproducible Windows builds: the same commit gives the same StrellDriverInstaller.exe in any folder, at
# any time. The path and PE-timestamp flags live in the toolchain file (so the image libraries get them
# too); this module pins the compile-time clock and records what the build was made with.
#
# Gives STRELL_COMPILE_ENV: "SOURCE_DATE_EPOCH=<seconds>" for the compiler launcher (cmake/Ccache.cmake),
# so that GCC expands __DATE__/__TIME__ to the commit's time. Taken from the environment at configure
# time when the caller sets it, else from the commit's time; empty on Linux builds, which need no pinning.
# Writes build-versions.txt at the top of the build folder once the project is configured (see below).

set(STRELL_COMPILE_ENV "")
find_package(Git QUIET)
set(strellCommit "unknown")
if(GIT_FOUND)
    execute_process(COMMAND "${GIT_EXECUTABLE}" rev-parse HEAD WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}"
        OUTPUT_VARIABLE strellCommit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE strellNoGit)
    if(strellNoGit)
        set(strellCommit "unknown")
    else()
        execute_process(COMMAND "${GIT_EXECUTABLE}" status --porcelain --untracked-files=no
            WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}" OUTPUT_VARIABLE strellChanges ERROR_QUIET)
        if(NOT strellChanges STREQUAL "")
            string(APPEND strellCommit " (with uncommitted changes)")
        endif()
        # A new commit or checkout re-runs the configuration, so the pinned time follows the commit.
        execute_process(COMMAND "${GIT_EXECUTABLE}" rev-parse --path-format=absolute --git-path logs/HEAD
            WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}" OUTPUT_VARIABLE strellHeadLog OUTPUT_STRIP_TRAILING_WHITESPACE
            ERROR_QUIET)
        if(WIN32 AND strellHeadLog AND EXISTS "${strellHeadLog}")
            set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${strellHeadLog}")
        endif()
    endif()
endif()

if(WIN32)
    if(DEFINED ENV{SOURCE_DATE_EPOCH})
        set(strellEpoch "$ENV{SOURCE_DATE_EPOCH}")
    elseif(NOT strellCommit STREQUAL "unknown")
        execute_process(COMMAND "${GIT_EXECUTABLE}" log -1 --format=%ct WORKING_DIRECTORY "${CMAKE_SOURCE_DIR}"
            OUTPUT_VARIABLE strellEpoch OUTPUT_STRIP_TRAILING_WHITESPACE)
    else()
        message(WARNING "Not a git checkout and SOURCE_DATE_EPOCH not set: __DATE__/__TIME__ follow the clock")
        set(strellEpoch "")
    endif()
    if(NOT strellEpoch STREQUAL "" AND NOT strellEpoch MATCHES "^[0-9]+$")
        message(FATAL_ERROR "SOURCE_DATE_EPOCH must be whole seconds, not '${strellEpoch}'")
    endif()
    if(NOT strellEpoch STREQUAL "")
        set(STRELL_COMPILE_ENV "SOURCE_DATE_EPOCH=${strellEpoch}")
    endif()
endif()

# strell_write_build_versions(): writes build-versions.txt beside the executables: the commit, the pinned
# time, and the versions of the toolchain and of every library linked into the exe (Debian package
# versions where Debian provides them). Run at the end of the top-level configuration, when the libraries
# have been found. The text holds no path and no clock time, so it is as reproducible as the exe.
function(strell_write_build_versions)
    function(debian_version package out)
        execute_process(COMMAND dpkg-query -W -f=\${Version} ${package}
            OUTPUT_VARIABLE version ERROR_QUIET RESULT_VARIABLE failed)
        if(failed OR version STREQUAL "")
            set(version "not installed as a Debian package")
        endif()
        set(${out} "${version}" PARENT_SCOPE)
    endfunction()
    execute_process(COMMAND "${CMAKE_CXX_COMPILER}" -dumpfullversion OUTPUT_VARIABLE gccVersion
        OUTPUT_STRIP_TRAILING_WHITESPACE)
    execute_process(COMMAND "${CMAKE_LINKER}" --version OUTPUT_VARIABLE ldVersion)
    string(REGEX REPLACE "\n.*" "" ldVersion "${ldVersion}")
    string(REGEX REPLACE ".* ([0-9][0-9.]*)$" "\\1" ldNumber "${ldVersion}")
    debian_version(g++-mingw-w64-x86-64-posix gccPackage)
    debian_version(mingw-w64-x86-64-dev runtimePackage)
    debian_version(binutils-mingw-w64-x86-64 binutilsPackage)
    debian_version(juce-modules-source jucePackage)
    debian_version(libz-mingw-w64-dev zlibPackage)
    set(jpegVersion "${JPEG_VERSION}")
    file(STRINGS "${JPEG_INCLUDE_DIR}/jconfig.h" turbo REGEX "#define LIBJPEG_TURBO_VERSION ")
    if(turbo MATCHES "LIBJPEG_TURBO_VERSION +([0-9.]+)")
        set(jpegVersion "${CMAKE_MATCH_1} (libjpeg-turbo, API ${JPEG_VERSION})")
    endif()
    set(imageLibs "not recorded")
    if(EXISTS "${STRELL_MINGW_PREFIX}/.strell-image-libs")
        file(STRINGS "${STRELL_MINGW_PREFIX}/.strell-image-libs" imageLibs LIMIT_COUNT 1)
        string(STRIP "${imageLibs}" imageLibs)
    endif()
    set(text "Toolchain and libraries of this build (written by cmake/Reproducible.cmake)\n"
        "commit: ${strellCommit}\n"
        "SOURCE_DATE_EPOCH: ${strellEpoch}\n"
        "mingw-w64 gcc: ${gccVersion} (Debian g++-mingw-w64-x86-64-posix ${gccPackage})\n"
        "mingw-w64 runtime: Debian mingw-w64-x86-64-dev ${runtimePackage}\n"
        "binutils: ${ldNumber} (${ldVersion}, Debian binutils-mingw-w64-x86-64 ${binutilsPackage})\n"
        "JUCE: ${JUCE_VERSION} (Debian juce-modules-source ${jucePackage})\n"
        "zlib: ${ZLIB_VERSION_STRING} (Debian libz-mingw-w64-dev ${zlibPackage})\n"
        "libpng: ${PNG_VERSION_STRING}\n"
        "libjpeg: ${jpegVersion}\n"
        "libpng and libjpeg built by tools/build-mingw-image-libs.sh from Debian sources: ${imageLibs}\n")
    string(JOIN "" text ${text})
    file(CONFIGURE OUTPUT "${CMAKE_BINARY_DIR}/build-versions.txt" CONTENT "${text}")
endfunction()
if(WIN32)
    cmake_language(DEFER DIRECTORY "${CMAKE_SOURCE_DIR}" CALL strell_write_build_versions)
endif()

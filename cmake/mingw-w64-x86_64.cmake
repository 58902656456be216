# Cross build of the 64-bit Windows executable with Debian's mingw-w64 (posix threads).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

# libpng and libjpeg for mingw-w64 are built from Debian's sources by tools/build-mingw-image-libs.sh.
set(STRELL_MINGW_PREFIX "/opt/strell/mingw-w64" CACHE PATH "Prefix of the mingw-w64 image libraries")
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32 "${STRELL_MINGW_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Tests run the executables under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)

# Reproducible output for everything built with this file (the project and the image libraries alike):
# no build folder in any object (__FILE__, debug and macro paths; the build folder is mapped last, so it
# wins where it lies inside the source folder), and no link time in the PE header. CMAKE_SOURCE_DIR and
# CMAKE_BINARY_DIR are those of whichever project reads this file.
set(strellPrefixMaps "-ffile-prefix-map=${STRELL_MINGW_PREFIX}=/mingw-prefix"
    "-ffile-prefix-map=${CMAKE_SOURCE_DIR}=." "-ffile-prefix-map=${CMAKE_BINARY_DIR}=build")
list(JOIN strellPrefixMaps " " strellPrefixMaps)
string(APPEND CMAKE_C_FLAGS_INIT " ${strellPrefixMaps}")
string(APPEND CMAKE_CXX_FLAGS_INIT " ${strellPrefixMaps}")
foreach(kind EXE SHARED MODULE)
    string(APPEND CMAKE_${kind}_LINKER_FLAGS_INIT " -Wl,--no-insert-timestamp")
endforeach()

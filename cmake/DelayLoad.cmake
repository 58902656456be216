# Delay-import libraries for the system DLLs the installer uses that are not known DLLs (and a few that
# are, see below). Windows
# looks for such a DLL in the exe's own folder first (a Downloads folder, for an elevated installer), and
# the loader resolves static imports before any of our code runs. Delay-loaded, a DLL is loaded on its
# first call, after the TLS callback in app/DllSearch_windows.cpp has limited the search to System32.
#
# Each library is made from mingw-w64's own import library (its function names) by
# `dlltool --output-delaylib`; __delayLoadHelper2 comes from libmingwex, which every link has.
# STRELL_DELAY_LIBRARIES names the built archives; the custom target strell_delay_libraries builds them.
if(NOT WIN32)
    return()
endif()

# Not known DLLs: Windows would look for these in the exe's folder (bcrypt: the package hash).
set(strellDelayLoadedDlls version winmm wininet dxgi wsock32 bcrypt)
# Known DLLs whose Wine builds import version.dll (user32, setupapi) or user32: imported, they would load a
# version.dll from the exe's folder under Wine before the TLS callback runs. (Windows' own builds do not, but
# delaying them costs nothing and keeps the behaviour the tests see under Wine the one to expect on Windows.)
# Only kernel32, advapi32, msvcrt and ws2_32 stay imported: they pull in nothing but other system DLLs.
list(APPEND strellDelayLoadedDlls user32 gdi32 imm32 comdlg32 ole32 oleaut32 setupapi shell32 shlwapi)

find_program(STRELL_DLLTOOL NAMES x86_64-w64-mingw32-dlltool REQUIRED)
find_program(STRELL_NM NAMES x86_64-w64-mingw32-nm REQUIRED)

set(STRELL_DELAY_LIBRARIES "")
foreach(dll IN LISTS strellDelayLoadedDlls)
    find_library(STRELL_IMPORT_LIBRARY_${dll} NAMES ${dll} REQUIRED)
    set(archive "${CMAKE_BINARY_DIR}/delayload/lib${dll}-delay.a")
    add_custom_command(OUTPUT "${archive}"
        COMMAND "${CMAKE_COMMAND}" "-DNM=${STRELL_NM}" "-DDLLTOOL=${STRELL_DLLTOOL}"
            "-DIMPORT_LIBRARY=${STRELL_IMPORT_LIBRARY_${dll}}" "-DDLL_NAME=${dll}.dll" "-DOUTPUT=${archive}"
            -P "${CMAKE_CURRENT_LIST_DIR}/MakeDelayLibrary.cmake"
        DEPENDS "${STRELL_IMPORT_LIBRARY_${dll}}" "${CMAKE_CURRENT_LIST_DIR}/MakeDelayLibrary.cmake"
        COMMENT "Delay-import library for ${dll}.dll"
        VERBATIM)
    list(APPEND STRELL_DELAY_LIBRARIES "${archive}")
endforeach()
add_custom_target(strell_delay_libraries DEPENDS ${STRELL_DELAY_LIBRARIES})

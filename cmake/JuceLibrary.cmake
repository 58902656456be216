# JUCE 7.0.5 from Debian, compiled once into the static library strell_juce that the installer, its tools
# and every test link. The module targets add their sources to whatever links them, so they are linked
# PRIVATE here and only their include directories and definitions are passed on.
find_package(JUCE 7.0.5 EXACT CONFIG REQUIRED
    PATHS /usr/lib/x86_64-linux-gnu/cmake NO_CMAKE_FIND_ROOT_PATH)
# JUCE's own source paths stay out of the Windows objects (see cmake/Reproducible.cmake). Set on the flags,
# not a target, so that every target of the project gets it.
if(WIN32)
    string(APPEND CMAKE_C_FLAGS " -ffile-prefix-map=${JUCE_MODULES_DIR}=/juce-modules")
    string(APPEND CMAKE_CXX_FLAGS " -ffile-prefix-map=${JUCE_MODULES_DIR}=/juce-modules")
endif()

set(strellJuceModules juce_core juce_events juce_data_structures juce_graphics juce_gui_basics)

add_library(strell_juce STATIC)
foreach(module IN LISTS strellJuceModules)
    target_link_libraries(strell_juce PRIVATE juce::${module})
    target_include_directories(strell_juce SYSTEM PUBLIC
        $<TARGET_PROPERTY:juce::${module},INTERFACE_INCLUDE_DIRECTORIES>)
    target_compile_definitions(strell_juce PUBLIC
        $<TARGET_PROPERTY:juce::${module},INTERFACE_COMPILE_DEFINITIONS>)
endforeach()
target_link_libraries(strell_juce PRIVATE juce::juce_recommended_config_flags)

target_compile_definitions(strell_juce PUBLIC
    JUCE_STANDALONE_APPLICATION=0
    JUCE_DISPLAY_SPLASH_SCREEN=0
    JUCE_REPORT_APP_USAGE=0
    JUCE_WEB_BROWSER=0
    JUCE_MODAL_LOOPS_PERMITTED=1
    JUCE_STRICT_REFCOUNTEDPOINTER=1
    JUCE_USE_CURL=$<IF:$<BOOL:${WIN32}>,0,1>
    JUCE_LOAD_CURL_SYMBOLS_LAZILY=0)

# Debian strips JUCE's bundled zlib, libpng and libjpeg: they come from the system (on Windows, from
# the mingw-w64 builds that tools/build-mingw-image-libs.sh installs).
if(WIN32)
    set(ZLIB_USE_STATIC_LIBS ON)
endif()
find_package(ZLIB REQUIRED)
find_package(PNG REQUIRED)
find_package(JPEG REQUIRED)
target_link_libraries(strell_juce PUBLIC ZLIB::ZLIB PNG::PNG JPEG::JPEG)

if(WIN32)
    target_link_libraries(strell_juce PUBLIC setupapi wininet ws2_32 winmm version shlwapi imm32 comdlg32
        ole32 oleaut32 uuid dxgi d2d1 dwrite shell32 gdi32 user32 kernel32 advapi32 crypt32)
else()
    find_package(CURL REQUIRED)
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(strellFreetype REQUIRED IMPORTED_TARGET freetype2 fontconfig)
    target_link_libraries(strell_juce PUBLIC CURL::libcurl PkgConfig::strellFreetype ${CMAKE_DL_LIBS} pthread rt)
endif()

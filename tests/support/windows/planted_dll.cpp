// strell-planted-dll: a DLL that tests copy beside an exe under the name of a system DLL (version.dll,
// winmm.dll...) to see whether the exe loads it from there. It exports nothing.
//
// On process attach it appends the full path of the exe that loaded it, and a line feed, to a marker file
// beside itself named as itself plus ".loaded" (version.dll.loaded), and lets the load succeed.
#include <windows.h>

namespace
{
constexpr DWORD pathCapacity = 32768;
constexpr wchar_t markerSuffix[] = L".loaded";

wchar_t markerPath[pathCapacity];
wchar_t exePath[pathCapacity];
char exePathUtf8[4 * pathCapacity];

// Takes this DLL's module handle; appends the loading exe's path to the marker file. Gives back nothing:
// a path that does not fit or a file that cannot be written leaves no marker.
void leaveMarker(HINSTANCE self)
{
    const DWORD length = GetModuleFileNameW(self, markerPath, pathCapacity);
    if (length == 0 || length + sizeof markerSuffix / sizeof *markerSuffix > pathCapacity)
        return;
    lstrcatW(markerPath, markerSuffix);
    const DWORD exeLength = GetModuleFileNameW(nullptr, exePath, pathCapacity);
    if (exeLength == 0 || exeLength >= pathCapacity)
        return;
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, exePath, static_cast<int>(exeLength), exePathUtf8,
                                          sizeof exePathUtf8 - 1, nullptr, nullptr);
    if (bytes <= 0)
        return;
    exePathUtf8[bytes] = '\n';
    const HANDLE file = CreateFileW(markerPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, exePathUtf8, static_cast<DWORD>(bytes + 1), &written, nullptr);
    CloseHandle(file);
}
} // namespace

// Takes the loader's arguments; leaves the marker on process attach; always gives back TRUE.
extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        leaveMarker(self);
    return TRUE;
}

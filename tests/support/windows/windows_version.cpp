// strell-windows-version: prints the Windows version as a program sees it in two ways: the version that
// RtlGetVersion reports, and the file version of kernel32.dll (which is what some frameworks read).
//
//   strell-windows-version
//
// Prints "rtl: <major>.<minor>.<build>" and "kernel32: <a>.<b>.<c>.<d>", one line each. Exits 0, or 1
// when either cannot be read.
#include <windows.h>

#include <cstdio>
#include <vector>

namespace
{
using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOW*);

// Takes nothing; prints the RtlGetVersion line; gives back whether it could be read.
bool printRtlVersion()
{
    // Through void* first: FARPROC's own type does not match the function's.
    auto rtlGetVersion = reinterpret_cast<RtlGetVersionFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlGetVersion")));
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (rtlGetVersion == nullptr || rtlGetVersion(&info) != 0)
        return false;
    std::printf("rtl: %lu.%lu.%lu\n", info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber);
    return true;
}

// Takes nothing; prints the kernel32.dll file version line; gives back whether it could be read.
bool printKernel32Version()
{
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeA("kernel32.dll", &handle);
    if (size == 0)
        return false;
    std::vector<char> data(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoA("kernel32.dll", handle, size, data.data()) ||
        !VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&info), &length) || info == nullptr)
        return false;
    std::printf("kernel32: %lu.%lu.%lu.%lu\n", info->dwFileVersionMS >> 16, info->dwFileVersionMS & 0xffff,
                info->dwFileVersionLS >> 16, info->dwFileVersionLS & 0xffff);
    return true;
}
} // namespace

// Takes nothing; prints both versions; returns 0 or 1.
int main()
{
    const bool rtl = printRtlVersion();
    const bool kernel32 = printKernel32Version();
    return rtl && kernel32 ? 0 : 1;
}

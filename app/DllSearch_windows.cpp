// Limits where the installer's process looks for DLLs, before it loads any DLL beyond its static imports.
//
// The installer runs elevated, usually from a Downloads folder, and Windows looks for a DLL that is not a
// known DLL in the exe's own folder first: a version.dll left there would run with administrator rights.
// The imports that are not known DLLs are delay-loaded (cmake/DelayLoad.cmake); this makes System32 the
// only place those, and the framework's LoadLibrary calls by bare name, are looked for.
//
// Why a TLS callback: the loader calls the exe's TLS callbacks for process attach once its static imports
// are loaded and before the exe's entry point. mingw-w64's entry point runs the runtime's start-up code and
// then the static constructors, and one of those already calls a delay-loaded DLL (the framework's timer
// set-up calls winmm's timeBeginPeriod), so WinMain would be too late. Nothing of the exe runs earlier.
// ".CRT$XLB" places the callback before the runtime's own (.CRT$XLC, .CRT$XLD) in the callback list that
// the linker builds between .CRT$XLA and .CRT$XLZ.
#include <windows.h>

namespace
{
using SetDefaultDllDirectoriesFunction = BOOL(WINAPI*)(DWORD);

// Takes the loader's callback arguments; on process attach, makes LoadLibrary search System32 only (not
// the exe's folder, the current folder or PATH). Changes nothing else.
void NTAPI restrictDllSearch(PVOID, DWORD reason, PVOID)
{
    if (reason != DLL_PROCESS_ATTACH)
        return;
    // Looked up rather than imported: Windows 7 without update KB2533623 lacks it, and an import the loader
    // cannot resolve would keep the installer from starting at all.
    const auto setDefaultDllDirectories =
        reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (setDefaultDllDirectories != nullptr && setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32))
        return;
    // Without it the exe's folder cannot be left out; the current folder at least can.
    SetDllDirectoryW(L"");
}

// Nothing refers to it: "used" keeps the compiler from dropping it, the linker keeps every .CRT$XL entry.
__attribute__((used, section(".CRT$XLB"))) PIMAGE_TLS_CALLBACK dllSearchCallback = restrictDllSearch;
} // namespace

#include "app/CompanionProcesses.h"

// The ANSI process entry and walk: Toolhelp has no A-suffixed names, so UNICODE must stay off here.
#undef UNICODE
#undef _UNICODE
#include <windows.h>

#include <tlhelp32.h>

static_assert(sizeof(PROCESSENTRY32) == 304, "ANSI PROCESSENTRY32 expected");

bool walkRunningProcesses(const std::function<void(std::uint32_t processId, const char* exeFile)>& visit)
{
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;

    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    if (!Process32First(snapshot, &entry))
    {
        CloseHandle(snapshot);
        return false;
    }

    // A failing Process32Next ends the walk like the end of the list.
    do
        visit(entry.th32ProcessID, entry.szExeFile);
    while (Process32Next(snapshot, &entry));

    CloseHandle(snapshot);
    return true;
}

bool terminateProcessById(std::uint32_t processId, unsigned int exitCode)
{
    const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, processId);
    if (process == nullptr)
        return false;
    TerminateProcess(process, exitCode);
    CloseHandle(process);
    return true;
}

// Checks, under Wine, what the Windows build does to protect the working folder and the downloaded file:
// the access list it gives them (Wine does not keep one on disk, so the descriptor itself is checked), and
// that another process can neither rename the prepared folders away nor change, rename or delete the
// protected file while they are held, yet can start a program from that file.
//
//   protection-probe <scratch folder>        runs every check; one line per check, "ok ..." or "FAIL ...";
//                                            exit code 0 when all passed, 1 otherwise
//   protection-probe attempt <kind> <path> [<new path>]
//                                            kind rename, write or delete: tries it once; exit code 0 when it
//                                            worked, else the Windows error code
//   protection-probe noop                    exits with noopExitCode

#include "install/ProtectedFolder.h"

#include <windows.h>

#include <sddl.h>

#include <cstdio>
#include <string>

namespace
{
constexpr DWORD noopExitCode = 42;
int failures = 0;

void report(bool passed, const std::string& check, const std::string& detail = {})
{
    std::printf("%s %s%s%s\n", passed ? "ok" : "FAIL", check.c_str(), detail.empty() ? "" : ": ",
                detail.c_str());
    std::fflush(stdout);
    if (!passed)
        ++failures;
}

std::wstring ownPath()
{
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, &path[0], (DWORD)path.size()));
    return path;
}

// Takes a program and its arguments (already quoted); runs it in another process and gives back its exit
// code, or -1 when it could not be started.
long long runProcess(const std::wstring& program, const std::wstring& arguments)
{
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process))
        return -1;
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return code;
}

// Takes an attempt's kind and paths; makes it from another process; gives back that process's exit code.
long long attemptElsewhere(const std::wstring& kind, const juce::File& path, const juce::File& newPath = {})
{
    std::wstring arguments = L"attempt " + kind + L" \"" + path.getFullPathName().toWideCharPointer() + L"\"";
    if (newPath != juce::File())
        arguments += std::wstring(L" \"") + newPath.getFullPathName().toWideCharPointer() + L"\"";
    return runProcess(ownPath(), arguments);
}

int attempt(const std::wstring& kind, const std::wstring& path, const std::wstring& newPath)
{
    bool done = false;
    if (kind == L"rename")
        done = MoveFileExW(path.c_str(), newPath.c_str(), 0) != 0;
    else if (kind == L"delete")
        done = DeleteFileW(path.c_str()) != 0;
    else if (kind == L"write")
    {
        const HANDLE file =
            CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        done = file != INVALID_HANDLE_VALUE;
        if (done)
            CloseHandle(file);
    }
    else
        return 2;
    return done ? 0 : (int)GetLastError();
}

// Takes SDDL and whether it is a folder's; checks what it grants: owner Administrators, a protected list,
// full access only for SYSTEM and Administrators, Users read and execute without any right to change,
// and folders passing it on to what is made inside.
void checkDescriptor(const juce::String& text, bool forFolder)
{
    const std::string what = forFolder ? "folder access list" : "file access list";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (text.isEmpty() || !ConvertStringSecurityDescriptorToSecurityDescriptorW(
                              text.toWideCharPointer(), SDDL_REVISION_1, &descriptor, nullptr))
    {
        report(false, what, "no descriptor: " + text.toStdString());
        return;
    }
    report(true, what + " is " + text.toStdString());

    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    report((control & SE_DACL_PROTECTED) != 0, what + " inherits nothing from the parent");

    PSID owner = nullptr;
    BOOL ownerDefaulted = FALSE;
    GetSecurityDescriptorOwner(descriptor, &owner, &ownerDefaulted);
    report(owner != nullptr && IsWellKnownSid(owner, WinBuiltinAdministratorsSid),
           what + " owner is Administrators");

    BOOL present = FALSE, defaulted = FALSE;
    PACL list = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted);
    const ACCESS_MASK changing = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES |
                                 FILE_DELETE_CHILD | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE |
                                 GENERIC_ALL;
    bool usersRead = false, systemFull = false, adminsFull = false, othersNone = true, inherited = true;
    for (DWORD i = 0; present && list != nullptr && i < list->AceCount; ++i)
    {
        ACE_HEADER* header = nullptr;
        if (!GetAce(list, i, (void**)&header) || header->AceType != ACCESS_ALLOWED_ACE_TYPE)
        {
            othersNone = false;
            continue;
        }
        const auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        const PSID sid = (PSID)&ace->SidStart;
        const bool full = (ace->Mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS;
        if (forFolder)
            inherited = inherited && (header->AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) ==
                                         (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        if (IsWellKnownSid(sid, WinLocalSystemSid))
            systemFull = full;
        else if (IsWellKnownSid(sid, WinBuiltinAdministratorsSid))
            adminsFull = full;
        else if (IsWellKnownSid(sid, WinBuiltinUsersSid))
            usersRead = (ace->Mask & (FILE_READ_DATA | FILE_EXECUTE)) == (FILE_READ_DATA | FILE_EXECUTE) &&
                        (ace->Mask & changing) == 0;
        else
            othersNone = false;
    }
    report(present && list != nullptr, what + " has a list (not a null one, which grants everything)");
    report(systemFull && adminsFull, what + " gives SYSTEM and Administrators full access");
    report(usersRead, what + " lets Users read and run, but change nothing");
    report(othersNone, what + " names no one else (no Everyone, no owner rights, no user)");
    if (forFolder)
        report(inherited, what + " is passed on to files and folders made inside");
    LocalFree(descriptor);
}

void checkFolder(const juce::File& scratch)
{
    const juce::File base = scratch.getChildFile("base");
    const juce::File outer = base.getChildFile("Tarnwell");
    const juce::File working = outer.getChildFile("StrellDriver");
    const juce::File old = working.getChildFile("Old_0.0.0.1/x64/Setup.exe");
    old.getParentDirectory().createDirectory();
    old.replaceWithText("left by an earlier run");
    old.setReadOnly(true);

    {
        ProtectedFolder prepared =
            prepareProtectedFolder(base, "Tarnwell/StrellDriver", FolderStart::emptied);
        report(prepared.isProtected() && prepared.folder == working, "working folder prepared",
               working.getFullPathName().toStdString());
        report(working.isDirectory() &&
                   working.getNumberOfChildFiles(juce::File::findFilesAndDirectories) == 0,
               "the old working folder was emptied (a read-only file included)");
        report(working.getChildFile("pkg/x64").createDirectory() &&
                   working.getChildFile("pkg/x64/Setup.exe").replaceWithText("setup"),
               "the installer itself can fill it");

        const long long renameWorking = attemptElsewhere(L"rename", working, outer.getChildFile("away"));
        report(renameWorking == ERROR_SHARING_VIOLATION || renameWorking == ERROR_ACCESS_DENIED,
               "another process cannot rename the working folder away",
               "code " + std::to_string(renameWorking));
        const long long renameOuter = attemptElsewhere(L"rename", outer, base.getChildFile("Tarnwell-away"));
        report(renameOuter == ERROR_SHARING_VIOLATION || renameOuter == ERROR_ACCESS_DENIED,
               "another process cannot rename Tarnwell away", "code " + std::to_string(renameOuter));
        report(working.getChildFile("pkg/x64/Setup.exe").existsAsFile(),
               "the working folder is still in place");
    }

    // Once the record is gone, the same attempt works: the refusals above were the held handles' doing.
    const long long renameLater = attemptElsewhere(L"rename", working, outer.getChildFile("away"));
    report(renameLater == 0, "released, the working folder can be renamed",
           "code " + std::to_string(renameLater));

    // The kept form of a sibling folder keeps its contents.
    const juce::File log = outer.getChildFile("Logs/run.log");
    log.getParentDirectory().createDirectory();
    log.replaceWithText("earlier");
    ProtectedFolder logs = prepareProtectedFolder(base, "Tarnwell/Logs", FolderStart::kept);
    report(logs.isProtected() && log.loadFileAsString() == "earlier", "a kept folder keeps its contents");
}

void checkFile(const juce::File& scratch)
{
    ProtectedFile file = createProtectedFile(scratch);
    report(file.writing.isOpen() && file.file.getParentDirectory() == scratch &&
               file.file.getFileName().startsWith("temp_"),
           "downloaded file created", file.file.getFullPathName().toStdString());

    const long long writeWhileWritten = attemptElsewhere(L"write", file.file);
    report(writeWhileWritten == ERROR_SHARING_VIOLATION,
           "another process cannot write it while it is written",
           "code " + std::to_string(writeWhileWritten));

    juce::MemoryBlock program;
    juce::File(juce::String(ownPath().c_str())).loadFileAsData(program);
    report(writeNewFile(file.writing, program.getData(), program.getSize()) && finishProtectedFile(file),
           "written and finished");

    const juce::File path = file.file;
    for (const auto& [kind, check] : {std::pair<std::wstring, std::string>{L"write", "write"},
                                      {L"delete", "delete"},
                                      {L"rename", "rename"}})
    {
        const long long code = kind == L"rename" ? attemptElsewhere(kind, path, scratch.getChildFile("moved"))
                                                 : attemptElsewhere(kind, path);
        report(code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED,
               "another process cannot " + check + " the finished file", "code " + std::to_string(code));
    }
    const long long ran = runProcess(path.getFullPathName().toWideCharPointer(), L"noop");
    report(ran == noopExitCode, "a program can be started from the held file", "code " + std::to_string(ran));

    juce::MemoryBlock after;
    path.loadFileAsData(after);
    report(after == program, "the file is unchanged");
    report(removeProtectedFile(file) && !path.exists(), "removed");
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"noop")
        return (int)noopExitCode;
    if (mode == L"attempt" && argc >= 4)
        return attempt(argv[2], argv[3], argc > 4 ? argv[4] : L"");
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: protection-probe <scratch folder>\n");
        return 2;
    }

    const juce::File scratch{juce::String(argv[1])};
    checkDescriptor(protectedAccessText(true), true);
    checkDescriptor(protectedAccessText(false), false);
    checkFolder(scratch);
    checkFile(scratch);
    return failures == 0 ? 0 : 1;
}

#include "install/ProtectedFolder.h"

#include "base/Limits.h"

#include <windows.h>

#include <aclapi.h>
#include <sddl.h>
#include <winternl.h>

#include <string>

namespace
{
// Owner Administrators (so that the user, not being the owner, cannot rewrite the list); a protected list
// that inherits nothing: SYSTEM and Administrators full access, Users read, list and execute. Folders pass
// it on to everything made inside them.
const wchar_t* const folderAccess = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
const wchar_t* const fileAccess = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)";
// Folder handles held while the folder must stay where it is: no FILE_SHARE_DELETE, so no process can
// rename or delete it (or, on Windows, a folder above it) meanwhile.
constexpr DWORD heldFolderSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD heldFolderAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

// A security descriptor made from SDDL, freed with the record.
struct Descriptor
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;

    explicit Descriptor(const wchar_t* text)
    {
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &descriptor,
                                                                  nullptr))
            descriptor = nullptr;
    }
    ~Descriptor()
    {
        if (descriptor != nullptr)
            LocalFree(descriptor);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
};

std::wstring widePath(const juce::File& file)
{
    return file.getFullPathName().toWideCharPointer();
}

std::wstring randomHex()
{
    return juce::String::toHexString(juce::Random::getSystemRandom().nextInt64()).toWideCharPointer();
}

// Takes a path; opens what is there without following a reparse point (a link or junction is opened
// itself), sharing as a held folder handle does. Gives back the handle or INVALID_HANDLE_VALUE.
HANDLE openEntry(const std::wstring& path, DWORD access)
{
    return CreateFileW(path.c_str(), access, heldFolderSharing, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Takes an open handle; gives back whether it is a real folder (not a file, not a reparse point).
bool isPlainFolder(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION information{};
    return GetFileInformationByHandle(handle, &information) &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// Takes a path and the list of what was moved aside; renames what is there (a link itself, not its target)
// to "<name>.untrusted-<hex>" and adds that path to the list. Gives back whether it moved.
bool moveAside(const std::wstring& path, juce::StringArray& moved)
{
    const std::wstring aside = path + L".untrusted-" + randomHex();
    if (MoveFileExW(path.c_str(), aside.c_str(), 0) == 0)
        return false;
    moved.add(juce::String(aside.c_str()));
    return true;
}

// Takes the path of a file or link; deletes it (a link itself), read-only or not.
bool removeEntry(const std::wstring& path, DWORD attributes)
{
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) // a junction or folder link
        return RemoveDirectoryW(path.c_str()) != 0;
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0)
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    return DeleteFileW(path.c_str()) != 0;
}

// Takes a folder's path; deletes everything in it and then the folder, holding each folder open without
// delete sharing while its entries go, so that none is swapped for a link meanwhile; links are removed
// themselves, never followed. Gives back whether all of it is gone.
bool removeTree(const std::wstring& path, int depth)
{
    const HANDLE held = openEntry(path, heldFolderAccess);
    if (held == INVALID_HANDLE_VALUE)
        return false;
    if (!isPlainFolder(held) || depth > deepestEmptiedTree)
    {
        BY_HANDLE_FILE_INFORMATION information{};
        const bool isLink = GetFileInformationByHandle(held, &information) &&
                            (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        CloseHandle(held);
        return isLink && removeEntry(path, information.dwFileAttributes);
    }

    bool removed = true;
    WIN32_FIND_DATAW found{};
    const HANDLE listing = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (listing != INVALID_HANDLE_VALUE)
    {
        do
        {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring child = path + L"\\" + name;
            const DWORD attributes = found.dwFileAttributes;
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
                removed = removeTree(child, depth + 1) && removed;
            else
                removed = removeEntry(child, attributes) && removed;
        } while (FindNextFileW(listing, &found));
        FindClose(listing);
    }
    CloseHandle(held);

    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    return removed && RemoveDirectoryW(path.c_str()) != 0;
}

// Takes the held parent folder and a name; creates the folder in it with the protected access list and
// gives back a held handle to it, made in one step so that no other folder can take its place between
// the creation and the opening. INVALID_HANDLE_VALUE when it exists already or cannot be made.
HANDLE createProtectedFolderIn(HANDLE parent, const juce::String& name)
{
    Descriptor access(folderAccess);
    if (access.descriptor == nullptr)
        return INVALID_HANDLE_VALUE;

    std::wstring wideName = name.toWideCharPointer();
    UNICODE_STRING objectName{};
    objectName.Buffer = wideName.data();
    objectName.Length = (USHORT)(wideName.size() * sizeof(wchar_t));
    objectName.MaximumLength = objectName.Length;
    OBJECT_ATTRIBUTES attributes{};
    InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, parent, access.descriptor);
    IO_STATUS_BLOCK status{};
    HANDLE created = INVALID_HANDLE_VALUE;
    const NTSTATUS result = NtCreateFile(&created, heldFolderAccess, &attributes, &status, nullptr,
                                         FILE_ATTRIBUTE_DIRECTORY, heldFolderSharing, FILE_CREATE,
                                         FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    return result >= 0 ? created : INVALID_HANDLE_VALUE;
}

// Takes the held parent folder, its path, a name and the list of what was moved aside; gives back a held
// handle to a real folder of that name, creating it when missing and moving aside a file or link in the
// way. INVALID_HANDLE_VALUE on failure. An existing folder keeps its access list here.
HANDLE openOrMakeFolder(HANDLE parent, const juce::File& path, const juce::String& name,
                        juce::StringArray& moved)
{
    for (int attempt = 0; attempt < attemptsPerRandomName; ++attempt)
    {
        const HANDLE existing = openEntry(widePath(path), heldFolderAccess);
        if (existing == INVALID_HANDLE_VALUE)
        {
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
                return INVALID_HANDLE_VALUE;
            const HANDLE created = createProtectedFolderIn(parent, name);
            if (created != INVALID_HANDLE_VALUE)
                return created;
            continue;
        }
        if (isPlainFolder(existing))
            return existing;
        CloseHandle(existing);
        if (!moveAside(widePath(path), moved))
            return INVALID_HANDLE_VALUE;
    }
    return INVALID_HANDLE_VALUE;
}

// Takes the held parent folder, its path and a name; removes what is at that name (a link itself) and
// makes the folder anew with the protected access list. Gives back a held handle, or INVALID_HANDLE_VALUE
// when the old one could not be removed completely or the new one not made.
HANDLE remakeFolder(HANDLE parent, const juce::File& path, const juce::String& name)
{
    const DWORD attributes = GetFileAttributesW(widePath(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
    {
        const bool isTree =
            (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
        if (!(isTree ? removeTree(widePath(path), 0) : removeEntry(widePath(path), attributes)))
            return INVALID_HANDLE_VALUE;
    }
    else if (GetLastError() != ERROR_FILE_NOT_FOUND)
    {
        return INVALID_HANDLE_VALUE;
    }
    return createProtectedFolderIn(parent, name);
}

// Takes a held folder's path; gives it the protected access list and the Administrators as owner, so that
// a folder others could write (made before, by a process without elevation) no longer is. Gives back
// whether the system took it.
bool protectExistingFolder(const juce::File& path)
{
    Descriptor access(folderAccess);
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL list = nullptr;
    PSID owner = nullptr;
    if (access.descriptor == nullptr ||
        !GetSecurityDescriptorDacl(access.descriptor, &present, &list, &defaulted) ||
        !GetSecurityDescriptorOwner(access.descriptor, &owner, &defaulted))
        return false;
    std::wstring wide = widePath(path);
    return SetNamedSecurityInfoW(wide.data(), SE_FILE_OBJECT,
                                 DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION |
                                     OWNER_SECURITY_INFORMATION,
                                 owner, nullptr, list, nullptr) == ERROR_SUCCESS;
}

void closeHandleValue(std::intptr_t handle)
{
    if (handle != -1 && handle != 0)
        CloseHandle(reinterpret_cast<HANDLE>(handle));
}
} // namespace

juce::String protectedAccessText(bool forFolder)
{
    Descriptor access(forFolder ? folderAccess : fileAccess);
    wchar_t* text = nullptr;
    if (access.descriptor == nullptr ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorW(
            access.descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text,
            nullptr))
        return {};
    const juce::String result(text);
    LocalFree(text);
    return result;
}

ProtectedFolder::ProtectedFolder(ProtectedFolder&& other) noexcept
    : folder(other.folder), held(std::move(other.held)), movedAside(std::move(other.movedAside)),
      previousCreationMask(other.previousCreationMask), restoresCreationMask(other.restoresCreationMask)
{
    other.folder = juce::File();
}

ProtectedFolder& ProtectedFolder::operator=(ProtectedFolder&& other) noexcept
{
    if (this != &other)
    {
        folder = other.folder;
        held = std::move(other.held);
        movedAside = std::move(other.movedAside);
        other.folder = juce::File();
    }
    return *this;
}

ProtectedFolder::~ProtectedFolder() = default;

void closeHeldHandle(std::intptr_t handle)
{
    closeHandleValue(handle);
}

juce::File trustedTemporaryFolder()
{
    return juce::File::getSpecialLocation(juce::File::tempDirectory);
}

bool isTrustedFile(const juce::File& file)
{
    const DWORD attributes = GetFileAttributesW(widePath(file).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

ProtectedFolder prepareProtectedFolder(const juce::File& base, const juce::String& relativePath,
                                       FolderStart start)
{
    const juce::StringArray names = juce::StringArray::fromTokens(relativePath, "/", "");
    if (base == juce::File() || names.isEmpty())
        return {};
    for (const juce::String& name : names)
        if (name.isEmpty() || name == "." || name == ".." || name.containsAnyOf("\\:*?\"<>|"))
            return {};

    ProtectedFolder prepared;
    // The user's own temporary folder: followed as it is, but held so that it cannot be renamed meanwhile.
    HANDLE parent = CreateFileW(widePath(base).c_str(), heldFolderAccess, heldFolderSharing, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (parent == INVALID_HANDLE_VALUE)
        return {};
    prepared.held.handles.push_back(reinterpret_cast<std::intptr_t>(parent));

    juce::File path = base;
    for (int i = 0; i < names.size(); ++i)
    {
        path = path.getChildFile(names[i]);
        const bool last = i == names.size() - 1;
        const HANDLE handle = last && start == FolderStart::emptied
                                  ? remakeFolder(parent, path, names[i])
                                  : openOrMakeFolder(parent, path, names[i], prepared.movedAside);
        if (handle == INVALID_HANDLE_VALUE ||
            (last && start == FolderStart::kept && !protectExistingFolder(path)))
        {
            if (handle != INVALID_HANDLE_VALUE)
                CloseHandle(handle);
            prepared.held = HeldHandles();
            return prepared; // not protected, but it says what was moved aside
        }
        prepared.held.handles.push_back(reinterpret_cast<std::intptr_t>(handle));
        parent = handle;
    }

    prepared.folder = path;
    return prepared;
}

FileLock lockFileIn(const ProtectedFolder& folder, const juce::String& name)
{
    FileLock lock;
    Descriptor access(fileAccess);
    if (!folder.isProtected() || access.descriptor == nullptr || name.isEmpty() ||
        name.containsAnyOf("\\/:*?\"<>|"))
        return lock;
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), access.descriptor, FALSE};
    // No sharing at all: while this handle is open no other process can open the file, and the system
    // closes it with the process however it ends.
    const HANDLE file =
        CreateFileW(widePath(folder.folder.getChildFile(name)).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                    &security, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE)
    {
        if (GetLastError() == ERROR_SHARING_VIOLATION)
            lock.outcome = LockOutcome::heldByAnother;
        return lock;
    }
    lock.held.handles.push_back(reinterpret_cast<std::intptr_t>(file));
    BY_HANDLE_FILE_INFORMATION information{};
    if (GetFileInformationByHandle(file, &information) &&
        (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0)
        lock.outcome = LockOutcome::taken;
    return lock;
}

ProtectedFile createProtectedFile(const juce::File& folder)
{
    Descriptor access(fileAccess);
    if (folder == juce::File() || access.descriptor == nullptr)
        return {};
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), access.descriptor, FALSE};

    for (int attempt = 0; attempt < attemptsPerRandomName; ++attempt)
    {
        const juce::File path = folder.getChildFile("temp_" + juce::String(randomHex().c_str()));
        // CREATE_NEW fails on any existing name, a link included; only reading is shared while it is written.
        const HANDLE created = CreateFileW(widePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &security,
                                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (created == INVALID_HANDLE_VALUE)
            continue;
        ProtectedFile made;
        made.file = path;
        made.writing = NewFile(reinterpret_cast<std::intptr_t>(created));
        return made;
    }
    return {};
}

bool finishProtectedFile(ProtectedFile& file)
{
    BY_HANDLE_FILE_INFORMATION written{};
    if (!file.writing.isOpen() ||
        !GetFileInformationByHandle(reinterpret_cast<HANDLE>(file.writing.handle), &written) ||
        !closeNewFile(file.writing))
        return false;

    // Write and delete sharing denied: nobody can change, rename or delete it while it is read or run.
    const HANDLE reading = CreateFileW(widePath(file.file).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION reopened{};
    if (reading == INVALID_HANDLE_VALUE)
        return false;
    if (!GetFileInformationByHandle(reading, &reopened) ||
        reopened.dwVolumeSerialNumber != written.dwVolumeSerialNumber ||
        reopened.nFileIndexHigh != written.nFileIndexHigh || reopened.nFileIndexLow != written.nFileIndexLow)
    {
        CloseHandle(reading);
        return false;
    }
    file.reading.handles.push_back(reinterpret_cast<std::intptr_t>(reading));
    return true;
}

bool removeProtectedFile(ProtectedFile& file)
{
    if (file.writing.isOpen())
        (void)closeNewFile(file.writing);
    file.reading = HeldHandles();
    if (file.file == juce::File())
        return true;
    const std::wstring path = widePath(file.file);
    file.file = juce::File();
    return DeleteFileW(path.c_str()) != 0 || GetLastError() == ERROR_FILE_NOT_FOUND;
}

#include "install/ProtectedFolder.h"

#include "base/Limits.h"

#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
constexpr mode_t folderMode = 0755;
constexpr mode_t othersMayWrite = S_IWGRP | S_IWOTH;
constexpr int directoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Takes nothing; gives back 16 random hexadecimal digits (the kernel's random source).
std::string randomHex()
{
    unsigned long long value = 0;
    if (getrandom(&value, sizeof(value), 0) != (ssize_t)sizeof(value))
        value = (unsigned long long)juce::Random::getSystemRandom().nextInt64();
    char text[17];
    std::snprintf(text, sizeof(text), "%016llx", value);
    return text;
}

// Takes an owner id; gives back whether the elevated run trusts it: root, or the running user when the
// process is not root (then nothing better exists).
bool isTrustedOwner(uid_t owner)
{
    return owner == 0 || owner == ::geteuid();
}

// Takes a folder's status; gives back whether it is a trusted owner's folder whose entries no one else can
// rename or replace: not writable by group and others, or sticky (others cannot touch what they do not own).
bool isTrustedFolder(const struct stat& status)
{
    return S_ISDIR(status.st_mode) && isTrustedOwner(status.st_uid) &&
           ((status.st_mode & othersMayWrite) == 0 || (status.st_mode & S_ISVTX) != 0);
}

void closeDescriptor(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

// Takes an absolute path; opens it folder by folder from "/" without following links, checking each
// folder with isTrustedFolder. Gives back the last folder's descriptor, or -1.
int openTrustedPath(const juce::String& path)
{
    if (!path.startsWithChar('/'))
        return -1;

    int fd = ::open("/", directoryFlags);
    for (const juce::String& name : juce::StringArray::fromTokens(path, "/", ""))
    {
        if (fd < 0)
            return -1;
        struct stat status
        {
        };
        if (::fstat(fd, &status) != 0 || !isTrustedFolder(status))
        {
            closeDescriptor(fd);
            return -1;
        }
        if (name.isEmpty())
            continue;
        if (name == "." || name == "..")
        {
            closeDescriptor(fd);
            return -1;
        }
        const int next = ::openat(fd, name.toRawUTF8(), directoryFlags);
        closeDescriptor(fd);
        fd = next;
    }

    struct stat status
    {
    };
    if (fd >= 0 && (::fstat(fd, &status) != 0 || !isTrustedFolder(status)))
    {
        closeDescriptor(fd);
        return -1;
    }
    return fd;
}

// Takes a folder descriptor, its path, an entry name and the list of what was moved aside; renames the
// entry to "<name>.untrusted-<hex>" beside it, never replacing anything, and adds the new path to the list.
// Gives back whether it moved.
bool moveAside(int parent, const juce::File& parentPath, const char* name, juce::StringArray& moved)
{
    const std::string aside = std::string(name) + ".untrusted-" + randomHex();
    if (::renameat2(parent, name, parent, aside.c_str(), RENAME_NOREPLACE) != 0)
        return false;
    moved.add(parentPath.getChildFile(juce::String::fromUTF8(aside.c_str())).getFullPathName());
    return true;
}

// Takes a folder descriptor and the name of a folder in it; opens that folder without following a link
// and checks that it is a folder of a trusted owner, then sets its mode to 0755. Gives back the descriptor
// or -1.
int openOwnFolder(int parent, const char* name)
{
    const int fd = ::openat(parent, name, directoryFlags);
    struct stat status
    {
    };
    if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISDIR(status.st_mode) || !isTrustedOwner(status.st_uid) ||
        ((status.st_mode & 07777) != folderMode && ::fchmod(fd, folderMode) != 0))
    {
        closeDescriptor(fd);
        return -1;
    }
    return fd;
}

// Takes a folder descriptor and a folder name in it; deletes everything in that folder and the folder
// itself, never following a link (a link is removed itself). Gives back whether all of it is gone.
bool removeTree(int parent, const char* name, int depth)
{
    const int fd = ::openat(parent, name, directoryFlags);
    if (fd < 0)
        return (errno == ENOTDIR || errno == ELOOP) && ::unlinkat(parent, name, 0) == 0;
    if (depth > deepestEmptiedTree)
    {
        closeDescriptor(fd);
        return false;
    }

    const int listing = ::dup(fd);
    DIR* entries = listing >= 0 ? ::fdopendir(listing) : nullptr;
    if (entries == nullptr)
    {
        closeDescriptor(listing);
        closeDescriptor(fd);
        return false;
    }

    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(entries))
        if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..")
            names.emplace_back(entry->d_name);
    ::closedir(entries);

    bool removed = true;
    for (const std::string& child : names)
    {
        struct stat status
        {
        };
        if (::fstatat(fd, child.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0)
            removed = removed && errno == ENOENT;
        else if (S_ISDIR(status.st_mode))
            removed = removeTree(fd, child.c_str(), depth + 1) && removed;
        else
            removed = ::unlinkat(fd, child.c_str(), 0) == 0 && removed;
    }
    closeDescriptor(fd);
    return removed && ::unlinkat(parent, name, AT_REMOVEDIR) == 0;
}

// Takes a folder descriptor, its path, a folder name and the list of what was moved aside; makes sure a
// protected folder of that name is there, creating it when missing and moving aside whatever of another
// owner (or a link of another owner) is in the way. Gives back its descriptor, or -1 (a file or link of a
// trusted owner is left alone: it fails).
int openOrMakeFolder(int parent, const juce::File& parentPath, const char* name, juce::StringArray& moved)
{
    for (int attempt = 0; attempt < attemptsPerRandomName; ++attempt)
    {
        struct stat status
        {
        };
        if (::fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) != 0)
        {
            // Made private first: the mode is widened only once the folder is known to be ours.
            if (errno != ENOENT || (::mkdirat(parent, name, 0700) != 0 && errno != EEXIST))
                return -1;
            continue;
        }
        if (!isTrustedOwner(status.st_uid))
        {
            if (!moveAside(parent, parentPath, name, moved))
                return -1;
            continue;
        }
        return S_ISDIR(status.st_mode) ? openOwnFolder(parent, name) : -1;
    }
    return -1;
}

// Takes a folder descriptor, its path, a folder name and the list of what was moved aside; removes what is
// at that name (another owner's things are moved aside instead) and makes the folder anew. Gives back its
// descriptor, or -1 when the old one could not be removed completely or the new one not made.
int remakeFolder(int parent, const juce::File& parentPath, const char* name, juce::StringArray& moved)
{
    struct stat status
    {
    };
    if (::fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) == 0)
    {
        const bool cleared = !isTrustedOwner(status.st_uid) ? moveAside(parent, parentPath, name, moved)
                             : S_ISDIR(status.st_mode)      ? removeTree(parent, name, 0)
                                                            : ::unlinkat(parent, name, 0) == 0;
        if (!cleared)
            return -1;
    }
    else if (errno != ENOENT)
    {
        return -1;
    }

    if (::mkdirat(parent, name, 0700) != 0)
        return -1;
    return openOwnFolder(parent, name);
}
} // namespace

ProtectedFolder::ProtectedFolder(ProtectedFolder&& other) noexcept
    : folder(other.folder), held(std::move(other.held)), movedAside(std::move(other.movedAside)),
      previousCreationMask(other.previousCreationMask), restoresCreationMask(other.restoresCreationMask)
{
    other.folder = juce::File();
    other.restoresCreationMask = false;
}

ProtectedFolder& ProtectedFolder::operator=(ProtectedFolder&& other) noexcept
{
    if (this != &other)
    {
        if (restoresCreationMask)
            ::umask((mode_t)previousCreationMask);
        folder = other.folder;
        held = std::move(other.held);
        movedAside = std::move(other.movedAside);
        previousCreationMask = other.previousCreationMask;
        restoresCreationMask = other.restoresCreationMask;
        other.folder = juce::File();
        other.restoresCreationMask = false;
    }
    return *this;
}

ProtectedFolder::~ProtectedFolder()
{
    if (restoresCreationMask)
        ::umask((mode_t)previousCreationMask);
}

void closeHeldHandle(std::intptr_t handle)
{
    closeDescriptor((int)handle);
}

juce::File trustedTemporaryFolder()
{
    const char* fromEnvironment = std::getenv("TMPDIR");
    for (const char* candidate : {fromEnvironment, "/tmp"})
    {
        if (candidate == nullptr || *candidate != '/')
            continue;
        const int fd = openTrustedPath(juce::String::fromUTF8(candidate));
        if (fd >= 0)
        {
            closeDescriptor(fd);
            return juce::File(juce::String::fromUTF8(candidate));
        }
    }
    return {};
}

bool isTrustedFile(const juce::File& file)
{
    const int folder = openTrustedPath(file.getParentDirectory().getFullPathName());
    if (folder < 0)
        return false;
    struct stat status
    {
    };
    const bool trusted =
        ::fstatat(folder, file.getFileName().toRawUTF8(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(status.st_mode) && isTrustedOwner(status.st_uid) && (status.st_mode & othersMayWrite) == 0;
    closeDescriptor(folder);
    return trusted;
}

ProtectedFolder prepareProtectedFolder(const juce::File& base, const juce::String& relativePath,
                                       FolderStart start)
{
    const juce::StringArray names = juce::StringArray::fromTokens(relativePath, "/", "");
    if (base == juce::File() || names.isEmpty())
        return {};
    for (const juce::String& name : names)
        if (name.isEmpty() || name == "." || name == "..")
            return {};

    ProtectedFolder prepared;
    // From before the first entry is made, nothing this process or its children create is writable by others.
    const mode_t previousMask = ::umask(S_IWGRP | S_IWOTH);
    ::umask(previousMask | S_IWGRP | S_IWOTH);
    prepared.previousCreationMask = previousMask;
    prepared.restoresCreationMask = true;

    int parent = openTrustedPath(base.getFullPathName());
    if (parent < 0)
        return {};
    prepared.held.handles.push_back(parent);

    juce::File path = base;
    for (int i = 0; i < names.size(); ++i)
    {
        const bool last = i == names.size() - 1;
        const char* name = names[i].toRawUTF8();
        const int fd = last && start == FolderStart::emptied
                           ? remakeFolder(parent, path, name, prepared.movedAside)
                           : openOrMakeFolder(parent, path, name, prepared.movedAside);
        if (fd < 0)
        {
            prepared.folder = juce::File();
            prepared.held = HeldHandles();
            return prepared; // not protected, but it says what was moved aside
        }
        prepared.held.handles.push_back(fd);
        parent = fd;
        path = path.getChildFile(names[i]);
    }

    prepared.folder = base.getChildFile(relativePath);
    return prepared;
}

ProtectedFile createProtectedFile(const juce::File& folder)
{
    if (folder == juce::File())
        return {};
    for (int attempt = 0; attempt < attemptsPerRandomName; ++attempt)
    {
        ProtectedFile created;
        created.file = folder.getChildFile("temp_" + juce::String(randomHex()));
        created.writing = createNewFile(created.file);
        if (created.writing.isOpen())
            return created;
        created.file = juce::File(); // nothing of ours to remove
    }
    return {};
}

bool finishProtectedFile(ProtectedFile& file)
{
    struct stat written
    {
    };
    if (!file.writing.isOpen() || ::fstat((int)file.writing.handle, &written) != 0 ||
        !closeNewFile(file.writing))
        return false;

    const int fd = ::open(file.file.getFullPathName().toRawUTF8(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    struct stat reopened
    {
    };
    if (fd < 0 || ::fstat(fd, &reopened) != 0 || reopened.st_dev != written.st_dev ||
        reopened.st_ino != written.st_ino)
    {
        closeDescriptor(fd);
        return false;
    }
    file.reading.handles.push_back(fd);
    return true;
}

bool removeProtectedFile(ProtectedFile& file)
{
    if (file.writing.isOpen())
        (void)closeNewFile(file.writing);
    file.reading = HeldHandles();
    if (file.file == juce::File())
        return true;
    const std::string path = file.file.getFullPathName().toStdString();
    file.file = juce::File();
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

FileLock lockFileIn(const ProtectedFolder& folder, const juce::String& name)
{
    FileLock lock;
    if (!folder.isProtected() || folder.held.handles.empty() || name.isEmpty() || name.containsChar('/'))
        return lock;
    // O_NONBLOCK: a pipe at the name must not hold the run; it is refused as no regular file below.
    const int fd = ::openat((int)folder.held.handles.back(), name.toRawUTF8(),
                            O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0)
        return lock;
    lock.held.handles.push_back(fd);
    struct stat status
    {
    };
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || !isTrustedOwner(status.st_uid))
        return lock;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0)
        lock.outcome = LockOutcome::taken;
    else if (errno == EWOULDBLOCK)
        lock.outcome = LockOutcome::heldByAnother;
    return lock;
}

juce::String protectedAccessText(bool)
{
    return {};
}

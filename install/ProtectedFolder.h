#pragma once

#include "base/NewFile.h"

#include <juce_core/juce_core.h>

#include <cstdint>
#include <vector>

// Folders and files of the elevated run that only an administrator can change (SYSTEM and Administrators
// on Windows, root on POSIX), while the user keeps read access. Platform layer: ProtectedFolder_posix.cpp,
// ProtectedFolder_windows.cpp.
//
// POSIX: every folder from "/" down is a real folder (no link) owned by root (or by the running user when
// not root), with mode 0755 whatever the umask; anything of another owner in the way is moved aside, never
// followed or deleted. Windows: the prepared folder gets an explicit protected access list, and it and its
// parents are held open without delete sharing, so that no other process can rename them away.

// The OS handles that keep a prepared folder (or a downloaded file) protected: POSIX descriptors or
// Windows HANDLEs, closed when the record goes. Move-only.
struct HeldHandles
{
    std::vector<std::intptr_t> handles;

    HeldHandles() = default;
    HeldHandles(HeldHandles&& other) noexcept : handles(std::move(other.handles)) { other.handles.clear(); }
    HeldHandles& operator=(HeldHandles&& other) noexcept;
    HeldHandles(const HeldHandles&) = delete;
    HeldHandles& operator=(const HeldHandles&) = delete;
    ~HeldHandles();
};

// Platform layer: closes one held POSIX descriptor or Windows HANDLE.
void closeHeldHandle(std::intptr_t handle);

// A prepared folder and what keeps it protected: it stays protected until the record is destroyed (keep
// it alive until the last program that uses the folder has ended). folder is File() when preparing failed.
struct ProtectedFolder
{
    juce::File folder;
    HeldHandles held; // the folders of the path from the base down, the prepared folder itself last
    juce::StringArray movedAside;      // what was in the way, by the full path it was moved aside to
    unsigned previousCreationMask = 0; // POSIX: the umask to put back when the record goes
    bool restoresCreationMask = false;

    ProtectedFolder() = default;
    ProtectedFolder(ProtectedFolder&& other) noexcept;
    ProtectedFolder& operator=(ProtectedFolder&& other) noexcept;
    ProtectedFolder(const ProtectedFolder&) = delete;
    ProtectedFolder& operator=(const ProtectedFolder&) = delete;
    ~ProtectedFolder();

    bool isProtected() const { return folder != juce::File(); }
};

// What becomes of the last folder of a prepared path that exists already.
enum class FolderStart
{
    emptied, // everything in it is deleted (never through a link) and the folder is made anew
    kept     // it is kept with its contents; only the folder itself is checked and protected
};

// Takes nothing; gives back the temporary folder that the elevated run may use, or File() when there is
// none. Windows: the user's temporary folder. POSIX: $TMPDIR when every folder of its path from "/" down
// is a real folder of a trusted owner (root; also the running user when not root) that others cannot write
// to, unless it is sticky; otherwise /tmp under the same rule.
[[nodiscard]] juce::File trustedTemporaryFolder();

// Takes a file; gives back whether no process without elevation can change or replace it. POSIX: a regular
// file (not a link) of a trusted owner that others cannot write, in a folder trustedTemporaryFolder's rule
// trusts. Windows, where the user's own folders are not told apart: a plain file (no reparse point).
[[nodiscard]] bool isTrustedFile(const juce::File& file);

// Takes a trusted base folder (trustedTemporaryFolder()), a relative path of folder names separated by "/"
// (e.g. "Tarnwell/StrellDriver") and what to do with the last folder; makes every folder of the path
// protected, creating what is missing. A folder in the way that belongs to another user, or is a link, is
// renamed aside ("<name>.untrusted-<hex>") and left to its owner; the last folder, when emptied, has any
// file or link at its place removed (the link itself), and, when kept, is given the protected access
// (POSIX: mode 0755; Windows: the protected access list), so a folder others could write no longer is. Gives
// back the record, or one that is not protected when the path cannot be made safe or the old folder cannot be
// emptied completely (the step must stop). POSIX: while the record lives the process umask also keeps group
// and others from writing, so folders and files made later inside (and by child processes) are not writable
// by others either.
[[nodiscard]] ProtectedFolder prepareProtectedFolder(const juce::File& base, const juce::String& relativePath,
                                                     FolderStart start);

// What an attempt at a lock file came to.
enum class LockOutcome
{
    taken,         // this process holds the lock until the record goes
    heldByAnother, // another process holds it
    failed,        // no lock file could be opened (not a regular file, or the folder refused it)
};

// A lock on a file, held through its handle; the system lets go of it when the handle closes, also when
// the process is killed. Move-only.
struct FileLock
{
    LockOutcome outcome = LockOutcome::failed;
    HeldHandles held;
};

// Takes a prepared folder and a file name; opens that file in the folder, making it when missing (POSIX:
// owned by the running user, mode 0644; Windows: the protected access list), never through a link and
// never blocking on a pipe, and takes an exclusive lock on it without waiting: POSIX flock, Windows an
// open that shares nothing. In a protected folder only an administrator can make the file, so only an
// administrator's process can take the lock first. Gives back the lock and how the attempt came out.
[[nodiscard]] FileLock lockFileIn(const ProtectedFolder& folder, const juce::String& name);

// The downloaded file: "temp_<hex>" directly in the trusted temporary folder, which no process without
// elevation can change, replace or delete from its creation until removeProtectedFile. Move-only; a file
// still there when the record goes is removed then.
struct ProtectedFile
{
    juce::File file;     // File() when creating it failed
    NewFile writing;     // open for writing from creation until finishProtectedFile
    HeldHandles reading; // after finishProtectedFile: a read handle that denies write and delete sharing

    ProtectedFile() = default;
    ProtectedFile(ProtectedFile&& other) noexcept;
    ProtectedFile& operator=(ProtectedFile&& other) noexcept;
    ProtectedFile(const ProtectedFile&) = delete;
    ProtectedFile& operator=(const ProtectedFile&) = delete;
    ~ProtectedFile();
};

// Takes the trusted temporary folder; creates "temp_" + random hexadecimal digits in it exclusively (never
// through a link; a name already taken is given up for another, a few times). POSIX: owned by the running
// user, mode 0644; Windows: an explicit protected access list (SYSTEM and Administrators full, Users read
// and execute). Gives back the record with the file open for writing (writeNewFile), or with file File()
// and nothing open on failure.
[[nodiscard]] ProtectedFile createProtectedFile(const juce::File& folder);

// Takes a file being written; closes the writer (a process cannot be started from a file open for writing)
// and keeps a read handle that denies write and delete sharing. Gives back false when it was not open for
// writing, the close reported an error, or the file at its path is no longer the one written.
[[nodiscard]] bool finishProtectedFile(ProtectedFile& file);

// Takes a file; closes its handles and deletes it. Gives back true when nothing is left at its path; the
// record names no file afterwards.
bool removeProtectedFile(ProtectedFile& file);

// Takes whether the list is for a folder (true) or a file (false); gives back the access list that
// prepareProtectedFolder and createProtectedFile give new folders and files, as SDDL (Windows), or an
// empty text on POSIX, where ownership and mode stand in for it.
juce::String protectedAccessText(bool forFolder);

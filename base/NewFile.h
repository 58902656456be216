#pragma once

#include <juce_core/juce_core.h>

#include <cstddef>
#include <cstdint>

// A file that this run created and holds open for writing. The elevated run makes every file new: never
// through a link, never by opening, truncating or appending to a file that is already there. Move-only;
// a file still open when its record goes is closed then (use closeNewFile to learn whether that worked).
struct NewFile
{
    std::intptr_t handle = -1; // POSIX file descriptor or Windows HANDLE; -1 when not open

    NewFile() = default;
    explicit NewFile(std::intptr_t openHandle) : handle(openHandle) {}
    NewFile(NewFile&& other) noexcept : handle(other.handle) { other.handle = -1; }
    NewFile& operator=(NewFile&& other) noexcept;
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;
    ~NewFile();

    bool isOpen() const { return handle != -1; }
};

// Platform layer (NewFile_posix.cpp, NewFile_windows.cpp). Takes a path whose folder exists; creates the
// file exclusively, so anything already at the path (a file, a folder, a link, dangling or not) makes it
// fail. On POSIX the file is readable by everyone and writable by its owner whatever the umask; on Windows
// it takes its folder's inherited access list. Gives back the open file, or one that is not open.
[[nodiscard]] NewFile createNewFile(const juce::File& file);

// Takes an open file and bytes; writes them all. Gives back false on a failed or short write (a full disk).
[[nodiscard]] bool writeNewFile(NewFile& file, const void* data, std::size_t size);

// Takes a file; closes it. Gives back false when it was not open or the close reported an error (data
// that was not written after all); the record is not open afterwards in either case.
[[nodiscard]] bool closeNewFile(NewFile& file);

// Takes a path; gives back whether a regular file of this process's user is there, the path itself (not a
// link or junction, not a folder). POSIX: owned by the running user; Windows, where the folders this is
// asked of give files no other owner, a plain file. Writes nothing.
[[nodiscard]] bool isOwnRegularFile(const juce::File& file);

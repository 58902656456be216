#include "base/NewFile.h"

#include <windows.h>

namespace
{
HANDLE nativeHandle(const NewFile& file)
{
    return reinterpret_cast<HANDLE>(file.handle);
}
} // namespace

NewFile& NewFile::operator=(NewFile&& other) noexcept
{
    if (this != &other)
    {
        if (isOpen())
            CloseHandle(nativeHandle(*this));
        handle = other.handle;
        other.handle = -1;
    }
    return *this;
}

NewFile::~NewFile()
{
    if (isOpen())
        CloseHandle(nativeHandle(*this));
}

NewFile createNewFile(const juce::File& file)
{
    // CREATE_NEW fails on any existing name, a link or junction included, so nothing is written through one.
    const HANDLE created = CreateFileW(file.getFullPathName().toWideCharPointer(), GENERIC_WRITE,
                                       FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (created == INVALID_HANDLE_VALUE)
        return {};
    return NewFile(reinterpret_cast<std::intptr_t>(created));
}

bool writeNewFile(NewFile& file, const void* data, std::size_t size)
{
    if (!file.isOpen())
        return false;

    const auto* bytes = static_cast<const char*>(data);
    while (size > 0)
    {
        const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(nativeHandle(file), bytes, chunk, &written, nullptr) || written == 0)
            return false;
        bytes += written;
        size -= written;
    }
    return true;
}

bool closeNewFile(NewFile& file)
{
    if (!file.isOpen())
        return false;
    const HANDLE closing = nativeHandle(file);
    file.handle = -1;
    return CloseHandle(closing) != 0;
}

bool isOwnRegularFile(const juce::File& file)
{
    const DWORD attributes = GetFileAttributesW(file.getFullPathName().toWideCharPointer());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

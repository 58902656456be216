#include "install/ProtectedFolder.h"

HeldHandles& HeldHandles::operator=(HeldHandles&& other) noexcept
{
    if (this != &other)
    {
        for (std::intptr_t handle : handles)
            closeHeldHandle(handle);
        handles = std::move(other.handles);
        other.handles.clear();
    }
    return *this;
}

HeldHandles::~HeldHandles()
{
    for (std::intptr_t handle : handles)
        closeHeldHandle(handle);
}

ProtectedFile::ProtectedFile(ProtectedFile&& other) noexcept
    : file(other.file), writing(std::move(other.writing)), reading(std::move(other.reading))
{
    other.file = juce::File();
}

ProtectedFile& ProtectedFile::operator=(ProtectedFile&& other) noexcept
{
    if (this != &other)
    {
        removeProtectedFile(*this);
        file = other.file;
        writing = std::move(other.writing);
        reading = std::move(other.reading);
        other.file = juce::File();
    }
    return *this;
}

ProtectedFile::~ProtectedFile()
{
    removeProtectedFile(*this);
}

#include "install/ZipExtraction.h"

#include "base/Limits.h"
#include "base/NewFile.h"
#include "install/EntryNames.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <set>

namespace
{
constexpr std::uint32_t endSignature = 0x06054b50;
constexpr std::uint32_t zip64EndSignature = 0x06064b50;
constexpr std::uint32_t zip64LocatorSignature = 0x07064b50;
constexpr std::uint32_t centralSignature = 0x02014b50;
constexpr std::uint32_t localSignature = 0x04034b50;
constexpr int endSize = 22;
constexpr int zip64LocatorSize = 20;
constexpr int zip64EndSize = 56;
constexpr int centralSize = 46;
constexpr int localSize = 30;
constexpr std::uint16_t zip64ExtraId = 0x0001;
constexpr std::uint16_t methodStored = 0;
constexpr std::uint16_t methodDeflate = 8;
constexpr std::uint16_t dataDescriptorFlag = 1 << 3;
constexpr std::uint32_t max32 = 0xffffffff;

std::uint16_t read16(const unsigned char* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t read32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::uint64_t read64(const unsigned char* p)
{
    return static_cast<std::uint64_t>(read32(p)) | (static_cast<std::uint64_t>(read32(p + 4)) << 32);
}

// Reads exactly size bytes at an offset; false on a short read or a seek past the end.
bool readAt(juce::InputStream& in, std::uint64_t offset, void* buffer, std::size_t size)
{
    if (offset > static_cast<std::uint64_t>(in.getTotalLength()) ||
        size > static_cast<std::uint64_t>(in.getTotalLength()) - offset)
        return false;
    if (!in.setPosition(static_cast<juce::int64>(offset)))
        return false;
    auto* bytes = static_cast<char*>(buffer);
    while (size > 0)
    {
        const int chunk = static_cast<int>(std::min<std::size_t>(size, 1 << 30));
        const int got = in.read(bytes, chunk);
        if (got <= 0)
            return false;
        bytes += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

// Takes an extra-field block; gives back the data of the field with the id, or an empty range.
std::pair<const unsigned char*, std::size_t> findExtra(const unsigned char* extra, std::size_t length,
                                                       std::uint16_t id)
{
    std::size_t pos = 0;
    while (pos + 4 <= length)
    {
        const std::uint16_t fieldId = read16(extra + pos);
        const std::size_t fieldSize = read16(extra + pos + 2);
        if (pos + 4 + fieldSize > length)
            break;
        if (fieldId == id)
            return {extra + pos + 4, fieldSize};
        pos += 4 + fieldSize;
    }
    return {nullptr, 0};
}

// Takes a zip64 extra field and the 32-bit values that stand for it; replaces each that is all ones with the
// field's next 64-bit value, in the order the format gives (size, compressed size, offset). False when the
// field lacks one that is needed.
bool applyZip64(std::pair<const unsigned char*, std::size_t> field,
                std::initializer_list<std::uint64_t*> values)
{
    std::size_t pos = 0;
    for (std::uint64_t* value : values)
    {
        if (*value != max32)
            continue;
        if (field.first == nullptr || pos + 8 > field.second)
            return false;
        *value = read64(field.first + pos);
        pos += 8;
    }
    return true;
}

juce::String readCentralDirectory(juce::InputStream& in, std::uint64_t offset, std::uint64_t size,
                                  std::uint64_t count, ZipDirectory& directory)
{
    const std::uint64_t length = static_cast<std::uint64_t>(in.getTotalLength());
    if (offset > length || size > length - offset || count > size / centralSize)
        return "The zip file's central directory lies outside the file";

    std::vector<unsigned char> data(static_cast<std::size_t>(size));
    if (!readAt(in, offset, data.data(), data.size()))
        return "Failed to open the zip file for reading";

    directory.entries.reserve(static_cast<std::size_t>(count));
    std::size_t pos = 0;
    for (std::uint64_t index = 0; index < count; ++index)
    {
        if (pos + centralSize > data.size() || read32(&data[pos]) != centralSignature)
            return "The zip file's central directory is damaged";
        const unsigned char* header = &data[pos];
        const std::size_t nameLength = read16(header + 28);
        const std::size_t extraLength = read16(header + 30);
        const std::size_t commentLength = read16(header + 32);
        if (pos + centralSize + nameLength + extraLength + commentLength > data.size())
            return "The zip file's central directory is damaged";

        ZipEntryRecord entry;
        entry.flags = read16(header + 8);
        entry.method = read16(header + 10);
        entry.dosTime = read16(header + 12);
        entry.dosDate = read16(header + 14);
        entry.crc = read32(header + 16);
        entry.compressedSize = read32(header + 20);
        entry.size = read32(header + 24);
        entry.externalAttributes = read32(header + 38);
        entry.localHeaderOffset = read32(header + 42);
        entry.name.assign(reinterpret_cast<const char*>(header + centralSize), nameLength);

        const auto zip64 = findExtra(header + centralSize + nameLength, extraLength, zip64ExtraId);
        if (!applyZip64(zip64, {&entry.size, &entry.compressedSize, &entry.localHeaderOffset}))
            return "The zip file's central directory is damaged";

        directory.entries.push_back(std::move(entry));
        pos += centralSize + nameLength + extraLength + commentLength;
    }
    return {};
}

// Takes the position of the end record; gives back whether a zip64 locator precedes it and, if so, fills
// in the zip64 end record's count, size and offset (or the damage).
bool readZip64End(juce::InputStream& in, std::uint64_t endPosition, std::uint64_t& count, std::uint64_t& size,
                  std::uint64_t& offset, juce::String& damage)
{
    unsigned char locator[zip64LocatorSize];
    if (endPosition < zip64LocatorSize ||
        !readAt(in, endPosition - zip64LocatorSize, locator, sizeof locator) ||
        read32(locator) != zip64LocatorSignature)
        return false;

    unsigned char record[zip64EndSize];
    const std::uint64_t recordOffset = read64(locator + 8);
    if (!readAt(in, recordOffset, record, sizeof record) || read32(record) != zip64EndSignature)
    {
        damage = "The zip file's zip64 end record is damaged";
        return true;
    }
    count = read64(record + 32);
    size = read64(record + 40);
    offset = read64(record + 48);
    return true;
}

// Takes a path in the archive's form; gives back the path as JUCE's unpacking used it: on a system whose
// separator is a slash, backslashes are separators too.
juce::String entryPathOf(const ZipEntryRecord& entry)
{
    const auto name = juce::String::fromUTF8(entry.name.data(), static_cast<int>(entry.name.size()));
    return juce::File::getSeparatorChar() == '/' ? name.replaceCharacter('\\', '/') : name;
}

bool isDirectoryPath(const juce::String& path)
{
    return path.endsWithChar('/') || path.endsWithChar('\\');
}

// Takes the directory; gives back why it must not be unpacked at all, or an empty text. JUCE's path checks
// recurse until the stack overflows on a name that is not UTF-8; on POSIX a link entry lets a later entry of
// the same name be written through it; the rest cannot be read. Driver packages hold none of them.
juce::String reasonToRefuse(const ZipDirectory& directory)
{
    for (const auto& entry : directory.entries)
    {
        if (entry.name.find('\0') != std::string::npos ||
            !juce::CharPointer_UTF8::isValidString(entry.name.data(), static_cast<int>(entry.name.size())))
            return "Entry name is not valid UTF-8";

        const auto name = juce::String::fromUTF8(entry.name.data(), static_cast<int>(entry.name.size()));
        if (entry.isSymbolicLink())
            return "Entry " + name + " is a symbolic link";
        if (isDirectoryPath(entryPathOf(entry)))
            continue;
        if (entry.method != methodStored && entry.method != methodDeflate)
            return "Entry " + name + " uses compression method " + juce::String(entry.method) + " (" +
                   zipMethodName(entry.method) + "), which cannot be unpacked";
        if (entry.isEncrypted())
            return "Entry " + name + " is encrypted, which cannot be unpacked";
    }

    std::vector<juce::String> names;
    names.reserve(directory.entries.size());
    for (const auto& entry : directory.entries)
        names.push_back(juce::String::fromUTF8(entry.name.data(), static_cast<int>(entry.name.size())));
    return whyEntryNamesClash(names);
}

// Takes the directory (its names checked) and the target folder; gives back why a file or folder of the
// package would lie at a path longer than Windows opens (maxUnpackedFilePathChars for files,
// maxUnpackedFolderPathChars for the folders made), or an empty text. Entries outside the folder are left
// to the unpacking's own check. Writes nothing.
juce::String reasonToRefusePaths(const ZipDirectory& directory, const juce::File& targetFolder)
{
    for (const auto& entry : directory.entries)
    {
        const auto entryPath = entryPathOf(entry);
        if (entryPath.isEmpty())
            continue;
        const auto target = targetFolder.getChildFile(entryPath);
        if (!target.isAChildOf(targetFolder))
            continue;

        const auto folder = isDirectoryPath(entryPath) ? target : target.getParentDirectory();
        const int folderLength = utf16Length(folder.getFullPathName());
        if (folder != targetFolder && folderLength > maxUnpackedFolderPathChars)
            return "Entry " + entryPath + " needs the folder " + folder.getFullPathName() + ", a path of " +
                   juce::String(folderLength) + " UTF-16 units: Windows makes folders of at most " +
                   juce::String(maxUnpackedFolderPathChars);
        const int fileLength = utf16Length(target.getFullPathName());
        if (!isDirectoryPath(entryPath) && fileLength > maxUnpackedFilePathChars)
            return "Entry " + entryPath + " would be unpacked to " + target.getFullPathName() +
                   ", a path of " + juce::String(fileLength) +
                   " UTF-16 units: Windows opens files of at most " + juce::String(maxUnpackedFilePathChars);
    }
    return {};
}

bool hasSymbolicPart(const juce::File& root, const juce::File& file)
{
    for (auto part = file; part != root; part = part.getParentDirectory())
    {
        if (part.isSymbolicLink())
            return true;
        if (part.getParentDirectory() == part)
            break;
    }
    return false;
}

juce::Time timeOf(const ZipEntryRecord& entry)
{
    return {1980 + (entry.dosDate >> 9), ((entry.dosDate >> 5) & 15) - 1, entry.dosDate & 31,
            entry.dosTime >> 11,         (entry.dosTime >> 5) & 63,       (entry.dosTime & 31) << 1};
}

// What one unpacking shares across entries: the archive, the inflater and the buffers.
struct Unpacking
{
    juce::InputStream& in;
    const ZipDirectory& directory;
    z_stream inflater{};
    std::unique_ptr<unsigned char[]> input{new unsigned char[zipCopyChunkBytes]};
    std::unique_ptr<unsigned char[]> output{new unsigned char[zipCopyChunkBytes]};
    std::set<juce::String> filesUnpacked{}; // windowsFileKey of each file's path below the target folder
};

// Takes an entry; gives back where its data starts, after checking its local header against the directory.
// Empty text on success, else the damage.
juce::String locateData(Unpacking& unpacking, const ZipEntryRecord& entry, std::uint64_t& dataStart)
{
    unsigned char header[localSize];
    if (entry.localHeaderOffset > unpacking.directory.directoryOffset ||
        !readAt(unpacking.in, entry.localHeaderOffset, header, sizeof header) ||
        read32(header) != localSignature)
        return "its local header is missing";

    const std::size_t nameLength = read16(header + 26);
    const std::size_t extraLength = read16(header + 28);
    std::vector<unsigned char> nameAndExtra(nameLength + extraLength);
    if (!readAt(unpacking.in, entry.localHeaderOffset + localSize, nameAndExtra.data(), nameAndExtra.size()))
        return "its local header is missing";

    const std::uint16_t flags = read16(header + 6);
    const std::string localName(reinterpret_cast<const char*>(nameAndExtra.data()), nameLength);
    if (localName != entry.name || read16(header + 8) != entry.method || (flags & 1) != (entry.flags & 1))
        return "its local header does not match the central directory";

    // With a data descriptor the local header may hold zeros; the directory's values are checked on the data.
    if ((flags & dataDescriptorFlag) == 0)
    {
        std::uint64_t size = read32(header + 22);
        std::uint64_t compressedSize = read32(header + 18);
        const auto zip64 = findExtra(nameAndExtra.data() + nameLength, extraLength, zip64ExtraId);
        // The local zip64 field holds both sizes whenever either is all ones.
        if ((size == max32 || compressedSize == max32) && zip64.first != nullptr && zip64.second >= 16)
        {
            size = read64(zip64.first);
            compressedSize = read64(zip64.first + 8);
        }
        if (read32(header + 14) != entry.crc || size != entry.size || compressedSize != entry.compressedSize)
            return "its local header does not match the central directory";
    }

    dataStart = entry.localHeaderOffset + localSize + nameLength + extraLength;
    if (dataStart > unpacking.directory.directoryOffset ||
        entry.compressedSize > unpacking.directory.directoryOffset - dataStart)
        return "its data runs into the central directory";
    return {};
}

enum class Copied
{
    ok,
    damaged,
    writeFailed,
    readFailed
};

// Takes an entry whose data starts at dataStart and the open file; writes the entry's bytes, never more
// than its declared size, and checks size and CRC-32. Gives back how it went, with the damage in text.
Copied copyData(Unpacking& unpacking, const ZipEntryRecord& entry, std::uint64_t dataStart, NewFile& file,
                juce::String& damage)
{
    if (!unpacking.in.setPosition(static_cast<juce::int64>(dataStart)))
        return Copied::readFailed;

    auto readInput = [&](std::uint64_t& remaining, std::size_t& got)
    {
        got = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, zipCopyChunkBytes));
        if (unpacking.in.read(unpacking.input.get(), static_cast<int>(got)) != static_cast<int>(got))
            return false;
        remaining -= got;
        return true;
    };

    uLong crc = crc32(0, nullptr, 0);
    std::uint64_t remaining = entry.compressedSize;
    std::uint64_t produced = 0;

    if (entry.method == methodStored)
    {
        if (entry.compressedSize != entry.size)
        {
            damage = "its stored size does not match its size";
            return Copied::damaged;
        }
        while (remaining > 0)
        {
            std::size_t got = 0;
            if (!readInput(remaining, got))
                return Copied::readFailed;
            crc = crc32(crc, unpacking.input.get(), static_cast<uInt>(got));
            if (!writeNewFile(file, unpacking.input.get(), got))
                return Copied::writeFailed;
        }
        produced = entry.size;
    }
    else
    {
        z_stream& z = unpacking.inflater;
        if (inflateReset(&z) != Z_OK)
            return Copied::readFailed;
        z.avail_in = 0;
        for (bool ended = false; !ended;)
        {
            if (z.avail_in == 0)
            {
                if (remaining == 0)
                {
                    damage = "its compressed data ends early";
                    return Copied::damaged;
                }
                std::size_t got = 0;
                if (!readInput(remaining, got))
                    return Copied::readFailed;
                z.next_in = unpacking.input.get();
                z.avail_in = static_cast<uInt>(got);
            }

            // Room for one byte past the declared size: producing it proves the entry too long.
            const std::uint64_t room = entry.size - produced;
            const auto given = static_cast<uInt>(std::min<std::uint64_t>(zipCopyChunkBytes, room + 1));
            z.next_out = unpacking.output.get();
            z.avail_out = given;
            const int status = inflate(&z, Z_NO_FLUSH);
            const uInt made = given - z.avail_out;

            if (status == Z_STREAM_END)
                ended = true;
            else if (status != Z_OK && !(status == Z_BUF_ERROR && z.avail_in == 0))
            {
                damage = "its compressed data is invalid";
                return Copied::damaged;
            }
            if (made > room)
            {
                damage = "it inflates past its declared size";
                return Copied::damaged;
            }
            crc = crc32(crc, unpacking.output.get(), made);
            if (made > 0 && !writeNewFile(file, unpacking.output.get(), made))
                return Copied::writeFailed;
            produced += made;
        }
    }

    if (produced != entry.size)
    {
        damage = "its size does not match";
        return Copied::damaged;
    }
    if (crc != entry.crc)
    {
        damage = "its CRC-32 does not match";
        return Copied::damaged;
    }
    return Copied::ok;
}

juce::Result unpackEntry(Unpacking& unpacking, const ZipEntryRecord& entry, const juce::File& targetFolder)
{
    const auto entryPath = entryPathOf(entry);
    if (entryPath.isEmpty())
        return juce::Result::ok();

    const auto targetFile = targetFolder.getChildFile(entryPath);
    if (!targetFile.isAChildOf(targetFolder))
        return juce::Result::fail("Entry " + entryPath + " is outside the target directory");

    if (isDirectoryPath(entryPath))
    {
        if (hasSymbolicPart(targetFolder, targetFile))
            return juce::Result::fail("Parent directory leads through symlink for target file: " +
                                      targetFile.getFullPathName());
        return targetFile.createDirectory();
    }

    const auto damaged = [&](const juce::String& what)
    { return juce::Result::fail("Entry " + entryPath + " is damaged: " + what); };

    std::uint64_t dataStart = 0;
    if (const auto damage = locateData(unpacking, entry, dataStart); damage.isNotEmpty())
        return damaged(damage);

    const auto writeFailed = [&]
    { return juce::Result::fail("Failed to write to target file: " + targetFile.getFullPathName()); };

    // A file this run unpacked is never replaced, whatever name reaches it: what a reader of the package
    // saw first is what stays.
    const auto fileKey = windowsFileKey(targetFile.getRelativePathFrom(targetFolder));
    if (unpacking.filesUnpacked.count(fileKey) != 0)
        return juce::Result::fail("Entry " + entryPath + " would be written over " +
                                  targetFile.getFullPathName() + ", which this run unpacked already");

    if (targetFile.exists() && !targetFile.deleteFile())
        return writeFailed();

    const auto folder = targetFile.getParentDirectory();
    if (hasSymbolicPart(targetFolder, folder))
        return juce::Result::fail("Parent directory leads through symlink for target file: " +
                                  targetFile.getFullPathName());
    if (!folder.createDirectory())
        return juce::Result::fail("Failed to create target folder: " + folder.getFullPathName());

    NewFile file = createNewFile(targetFile);
    if (!file.isOpen())
        return writeFailed();

    juce::String damage;
    const Copied copied = copyData(unpacking, entry, dataStart, file, damage);
    const bool closed = closeNewFile(file);
    if (copied != Copied::ok || !closed)
    {
        // A partial file is no part of the package, and on a full disk it holds the space.
        targetFile.deleteFile();
        if (copied == Copied::damaged)
            return damaged(damage);
        if (copied == Copied::readFailed)
            return juce::Result::fail("Failed to open the zip file for reading");
        return writeFailed();
    }

    unpacking.filesUnpacked.insert(fileKey);
    const auto time = timeOf(entry);
    targetFile.setCreationTime(time);
    targetFile.setLastModificationTime(time);
    targetFile.setLastAccessTime(time);
    return juce::Result::ok();
}
} // namespace

juce::String zipMethodName(std::uint16_t method)
{
    switch (method)
    {
    case 0:
        return "stored";
    case 1:
        return "Shrink";
    case 2:
    case 3:
    case 4:
    case 5:
        return "Reduce";
    case 6:
        return "Implode";
    case 8:
        return "Deflate";
    case 9:
        return "Deflate64";
    case 10:
        return "PKWARE DCL Implode";
    case 12:
        return "BZip2";
    case 14:
        return "LZMA";
    case 18:
        return "IBM TERSE";
    case 19:
        return "IBM LZ77";
    case 20:
    case 93:
        return "Zstandard";
    case 94:
        return "MP3";
    case 95:
        return "XZ";
    case 96:
        return "JPEG";
    case 97:
        return "WavPack";
    case 98:
        return "PPMd";
    case 99:
        return "AES encryption";
    default:
        return "unknown";
    }
}

ZipDirectory readZipDirectory(juce::InputStream& in)
{
    ZipDirectory directory;
    const std::int64_t length = in.getTotalLength();
    if (length < endSize)
        return directory;

    // The end record is looked for from the end backwards; the last one found is the archive's.
    const std::int64_t lowest = std::max<std::int64_t>(0, length - zipEndSearchBytes);
    std::vector<unsigned char> tail(static_cast<std::size_t>(length - lowest));
    if (!readAt(in, static_cast<std::uint64_t>(lowest), tail.data(), tail.size()))
        return directory;

    std::int64_t found = -1;
    for (std::int64_t pos = static_cast<std::int64_t>(tail.size()) - endSize; pos >= 0; --pos)
        if (read32(&tail[static_cast<std::size_t>(pos)]) == endSignature)
        {
            found = pos;
            break;
        }
    if (found < 0)
        return directory;

    directory.isZip = true;
    const unsigned char* end = &tail[static_cast<std::size_t>(found)];
    const std::uint64_t endPosition = static_cast<std::uint64_t>(lowest + found);
    std::uint64_t count = read16(end + 10);
    std::uint64_t size = read32(end + 12);
    std::uint64_t offset = read32(end + 16);

    if (readZip64End(in, endPosition, count, size, offset, directory.damage) && directory.damage.isNotEmpty())
        return directory;

    // Some writers point just past the first header's signature (JUCE read those too).
    unsigned char signature[4];
    if (count > 0 && offset >= 4 && readAt(in, offset, signature, 4) &&
        read32(signature) != centralSignature && readAt(in, offset - 4, signature, 4) &&
        read32(signature) == centralSignature)
    {
        offset -= 4;
        size += 4;
    }

    directory.directoryOffset = offset;
    directory.damage = readCentralDirectory(in, offset, size, count, directory);
    if (directory.damage.isNotEmpty())
        directory.entries.clear();
    return directory;
}

juce::Result extractZipArchive(const juce::File& archive, const juce::File& targetFolder,
                               ZipExtractionSummary* summary)
{
    ZipExtractionSummary ignored;
    ZipExtractionSummary& done = summary != nullptr ? *summary : ignored;
    done = {};
    juce::FileInputStream in(archive);
    if (in.failedToOpen())
        return juce::Result::ok();

    const ZipDirectory directory = readZipDirectory(in);
    done.isZip = directory.isZip;
    if (directory.damage.isNotEmpty())
        return juce::Result::fail(directory.damage);
    if (const auto refusal = reasonToRefuse(directory); refusal.isNotEmpty())
        return juce::Result::fail(refusal);
    if (const auto refusal = reasonToRefusePaths(directory, targetFolder); refusal.isNotEmpty())
        return juce::Result::fail(refusal);

    Unpacking unpacking{in, directory};
    if (inflateInit2(&unpacking.inflater, -MAX_WBITS) != Z_OK)
        return juce::Result::fail("Failed to open the zip file for reading");

    auto result = juce::Result::ok();
    for (const auto& entry : directory.entries)
    {
        if (result = unpackEntry(unpacking, entry, targetFolder); result.failed())
            break;
        ++done.entries;
        done.bytes += entry.size;
    }

    inflateEnd(&unpacking.inflater);
    return result;
}

#pragma once

#include <juce_core/juce_core.h>

#include <cstdint>
#include <string>
#include <vector>

// Unpacking of driver packages on zlib. Only what the central directory declares is written: every entry's
// local header must agree with it, its data must inflate to exactly its declared size (inflating stops one
// byte past it) and match its CRC-32, and every write and close is checked. Methods: stored and deflate.
// Zip64 archives (end records and extra fields) are read.

// One entry as the central directory declares it; sizes and offset with their zip64 values applied.
struct ZipEntryRecord
{
    std::string name; // the stored bytes, as written into the archive
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint16_t dosTime = 0;
    std::uint16_t dosDate = 0;
    std::uint32_t crc = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
    std::uint64_t localHeaderOffset = 0;
    std::uint32_t externalAttributes = 0;

    bool isSymbolicLink() const { return ((externalAttributes >> 28) & 0xf) == 0xa; }
    bool isEncrypted() const { return (flags & 1) != 0; }
};

// What the end of an archive declares. isZip is false when there is no end-of-central-directory record
// (not a zip at all); damage is set when there is one but the directory cannot be read whole.
struct ZipDirectory
{
    bool isZip = false;
    juce::String damage;
    std::uint64_t directoryOffset = 0; // where the central directory starts: entry data lies before it
    std::vector<ZipEntryRecord> entries;
};

// Takes a readable stream of an archive; reads its end records (zip64 ones too) and central directory.
// Gives back the directory; writes nothing.
[[nodiscard]] ZipDirectory readZipDirectory(juce::InputStream& archive);

// Takes a compression method number; gives back its name ("LZMA", "BZip2", "Deflate64", or "unknown").
juce::String zipMethodName(std::uint16_t method);

// What an extraction did, for the run log.
struct ZipExtractionSummary
{
    bool isZip = false;      // the file has an end-of-central-directory record
    int entries = 0;         // entries unpacked completely
    std::uint64_t bytes = 0; // their declared (and checked) sizes together
};

// Takes the archive file, the target folder and, optionally, a summary to fill; unpacks every entry below the
// folder, in directory order, replacing files already there but never one this run unpacked. Before
// anything is written the whole directory is checked: a name that is not UTF-8, a link entry, an encrypted
// entry or a method other than stored and deflate, a name Windows would change or two entries that are one
// file on Windows (whyEntryNamesClash), and a file or folder whose full path would pass
// maxUnpackedFilePathChars or maxUnpackedFolderPathChars fail at once. Then the first entry that fails ends
// the unpacking with a message that names it (its path checks and messages as JUCE's ZipFile::uncompressTo
// gives them; "Entry <name> is damaged: ..." for data that disagrees with the directory); entries before it
// stay, its own partial file is removed. Files are made new (createNewFile) and get the entry's time. A file
// that is not a zip or cannot be opened gives success with nothing written; a directory that cannot be read
// whole gives a failure. Gives back the result.
[[nodiscard]] juce::Result extractZipArchive(const juce::File& archive, const juce::File& targetFolder,
                                             ZipExtractionSummary* summary = nullptr);

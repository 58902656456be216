#include "install/EntryNames.h"

#include "base/Limits.h"

#include <map>

namespace
{
// Takes an entry's path; gives back its parts between separators, empty ones included.
juce::StringArray partsOf(const juce::String& entryPath)
{
    juce::StringArray parts;
    int start = 0;
    for (int index = 0; index <= entryPath.length(); ++index)
        if (index == entryPath.length() || entryPath[index] == '/' || entryPath[index] == '\\')
        {
            parts.add(entryPath.substring(start, index));
            start = index + 1;
        }
    return parts;
}

// Takes an entry's name; gives back whether it names a folder (ends in a separator).
bool isFolderEntry(const juce::String& entryName)
{
    return entryName.endsWithChar('/') || entryName.endsWithChar('\\');
}

// Takes a character; gives back its capital where it has a plain one-to-one capital in ASCII, Latin-1,
// Latin Extended-A, Greek, Cyrillic or the full-width Latin letters, else the character itself. Fixed here
// rather than asked of towupper (which juce::String::toUpperCase calls): that answers by the C library's
// locale, and in the "C" locale only for ASCII, so two builds or two runs could fold differently.
juce::juce_wchar capitalOf(juce::juce_wchar c)
{
    const auto inRange = [c](juce::juce_wchar first, juce::juce_wchar last)
    { return c >= first && c <= last; };
    if (inRange('a', 'z') || (inRange(0xe0, 0xfe) && c != 0xf7) || inRange(0x3b1, 0x3c1) ||
        inRange(0x3c3, 0x3cb) || inRange(0x430, 0x44f) || inRange(0xff41, 0xff5a))
        return c - 0x20;
    if (c == 0xff)
        return 0x178;
    if (c == 0x3c2) // final sigma
        return 0x3a3;
    if (inRange(0x450, 0x45f))
        return c - 0x50;
    // Latin Extended-A pairs its letters capital first; the dotless i, kra, n preceded by an apostrophe and
    // long s have no capital of their own in the pairs.
    if ((inRange(0x100, 0x12f) || inRange(0x132, 0x137) || inRange(0x14a, 0x177)) && (c & 1) != 0)
        return c - 1;
    if ((inRange(0x139, 0x148) || inRange(0x179, 0x17e)) && (c & 1) == 0)
        return c - 1;
    return c;
}

// Takes a part; gives back the part as Windows compares it: without trailing dots and spaces, in capitals.
juce::String foldedPart(const juce::String& part)
{
    auto trimmed = part;
    while (trimmed.endsWithChar('.') || trimmed.endsWithChar(' '))
        trimmed = trimmed.dropLastCharacters(1);
    juce::String folded;
    folded.preallocateBytes(trimmed.getNumBytesAsUTF8());
    for (auto p = trimmed.getCharPointer(); !p.isEmpty(); ++p)
        folded += juce::String::charToString(capitalOf(*p));
    return folded;
}

// Takes a part; gives back the device name it opens on Windows, or an empty text. The name before the
// first dot counts, without trailing spaces and in any case: "con.txt" and "Aux .log" are devices too. The
// superscript digits are the ones Windows reads as COM and LPT ports as well.
juce::String deviceNameOf(const juce::String& part)
{
    static const juce::StringArray devices = []
    {
        juce::StringArray names{"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
        for (const char* port : {"COM", "LPT"})
        {
            for (char digit = '1'; digit <= '9'; ++digit)
                names.add(port + juce::String::charToString(digit));
            for (const juce::juce_wchar superscript : {0xb9, 0xb2, 0xb3}) // superscript 1, 2, 3
                names.add(port + juce::String::charToString(superscript));
        }
        return names;
    }();

    const auto base = foldedPart(part.upToFirstOccurrenceOf(".", false, false));
    return devices.contains(base) ? base : juce::String();
}
} // namespace

int utf16Length(const juce::String& text)
{
    int units = 0;
    for (auto p = text.getCharPointer(); !p.isEmpty(); ++p)
        units += *p > 0xffff ? 2 : 1;
    return units;
}

juce::String whyWindowsAltersNamePart(const juce::String& part)
{
    if (part == "." || part == "..")
        return {};

    for (auto p = part.getCharPointer(); !p.isEmpty(); ++p)
    {
        const juce::juce_wchar c = *p;
        if (c == ':')
            return "holds a colon (a drive or a stream of a file)";
        if (c < 0x20)
            return "holds the control character 0x" +
                   juce::String::toHexString(static_cast<int>(c)).paddedLeft('0', 2).toUpperCase();
        if (juce::String("<>\"|?*").containsChar(c))
            return "holds the character \"" + juce::String::charToString(c) + "\"";
    }
    if (part.endsWithChar('.'))
        return "ends in a dot";
    if (part.endsWithChar(' '))
        return "ends in a space";
    if (const auto device = deviceNameOf(part); device.isNotEmpty())
        return "is the device name " + device;
    if (utf16Length(part) > maxEntryNamePartChars)
        return "is longer than " + juce::String(maxEntryNamePartChars) + " UTF-16 units";
    return {};
}

juce::String windowsFileKey(const juce::String& entryPath)
{
    juce::StringArray kept;
    for (const auto& part : partsOf(entryPath))
    {
        if (part.isEmpty() || part == ".")
            continue;
        if (part == ".." && !kept.isEmpty() && kept[kept.size() - 1] != "..")
            kept.remove(kept.size() - 1);
        else
            kept.add(part == ".." ? part : foldedPart(part));
    }
    return kept.joinIntoString("/");
}

juce::String whyEntryNamesClash(const std::vector<juce::String>& entryNames)
{
    struct Claim
    {
        juce::String entry; // the first entry that named the path
        bool isFolder = false;
    };
    std::map<juce::String, Claim> claims; // by windowsFileKey

    for (const auto& name : entryNames)
    {
        for (const auto& part : partsOf(name))
            if (const auto why = whyWindowsAltersNamePart(part); why.isNotEmpty())
                return "Entry " + name + " cannot be unpacked under that name on Windows: \"" + part + "\" " +
                       why;

        const auto key = windowsFileKey(name);
        if (key.isEmpty())
            continue; // the target folder itself: the path checks refuse a file there

        // Every folder above the entry is claimed as a folder.
        const auto keyParts = juce::StringArray::fromTokens(key, "/", "");
        juce::String folder;
        for (int index = 0; index + 1 < keyParts.size(); ++index)
        {
            folder += (index == 0 ? "" : "/") + keyParts[index];
            const auto [claim, isNew] = claims.try_emplace(folder, Claim{name, true});
            if (!isNew && !claim->second.isFolder)
                return "Entry " + name + " needs a folder where entry " + claim->second.entry + " is a file";
        }

        const bool isFolder = isFolderEntry(name);
        const auto [claim, isNew] = claims.try_emplace(key, Claim{name, isFolder});
        if (isNew || (isFolder && claim->second.isFolder))
            continue;
        if (!isFolder && !claim->second.isFolder)
            return "Entry " + name + " names the same file on Windows as entry " + claim->second.entry;
        if (!isFolder)
            return "Entry " + name + " is a file where entry " + claim->second.entry + " has a folder";
        return "Entry " + name + " needs a folder where entry " + claim->second.entry + " is a file";
    }
    return {};
}

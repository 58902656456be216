#pragma once

#include <juce_core/juce_core.h>

#include <vector>

// Entry names of a driver package as Windows reads them. Windows compares names without case, drops a
// trailing dot or space from a name, opens a device for CON, NUL, COM1 and the like, and reads "name:more"
// as a stream of the file "name". Two entries that are one file there, or a name that Windows changes, would
// let the file that runs differ from the entry a reader of the package sees. The rule is the same in every
// build, so that the Linux build refuses what the Windows build would refuse. Case is folded by a simple
// one-to-one upper-casing of ASCII, Latin-1, Latin Extended-A, Greek, Cyrillic and full-width Latin letters,
// the same in every build and locale; other scripts are compared as they are, not by the volume's own table.

// Takes a text; gives back its length in UTF-16 units, as Windows counts the lengths of names and paths.
// Writes nothing.
[[nodiscard]] int utf16Length(const juce::String& text);

// Takes one part of an entry's path (the text between separators, "/" or "\"); gives back why Windows would
// not make a file of exactly that name: "ends in a dot", "ends in a space", "is the device name CON", "holds
// a colon (a drive or a stream of a file)", "holds the control character 0x0A", "holds the character \"<\"",
// or "is longer than <n> UTF-16 units" (maxEntryNamePartChars); an empty text when it would. "." and ".."
// are left to the path checks. Writes nothing.
[[nodiscard]] juce::String whyWindowsAltersNamePart(const juce::String& part);

// Takes an entry's path; gives back the file it names as Windows reads it: the parts without trailing dots
// and spaces, upper-cased, empty and "." parts dropped, ".." taking off the part before it (kept when there
// is none), joined by "/". Writes nothing.
[[nodiscard]] juce::String windowsFileKey(const juce::String& entryPath);

// Takes the entries' names in directory order (a name ending in "/" or "\" is a folder entry); gives back
// the refusal of the first entry that must not be unpacked: "Entry <name> cannot be unpacked under that name
// on Windows: \"<part>\" <why>" (whyWindowsAltersNamePart), "Entry <name> names the same file on Windows as
// entry <earlier>", "Entry <name> is a file where entry <earlier> has a folder" or "Entry <name> needs a
// folder where entry <earlier> is a file". Folder entries may name one folder twice. An empty text when every
// entry is its own file. Writes nothing.
[[nodiscard]] juce::String whyEntryNamesClash(const std::vector<juce::String>& entryNames);

// Entry names as Windows reads them: which packages whyEntryNamesClash lets through and what it says about
// the others. The same rule holds in every build, so the table runs on Linux for the Windows build too.

#include "install/EntryNames.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace
{
struct NamesCase
{
    const char* what;               // the test's name
    std::vector<const char*> names; // UTF-8, in directory order
    const char* refusal;            // the whole refusal, UTF-8; "" for a package that is let through
};

void PrintTo(const NamesCase& namesCase, std::ostream* out)
{
    *out << namesCase.what;
}

class EntryNames : public ::testing::TestWithParam<NamesCase>
{
};

TEST_P(EntryNames, RefusesWhatWindowsWouldUnpackAsAnotherFile)
{
    std::vector<juce::String> names;
    for (const char* name : GetParam().names)
        names.push_back(juce::String::fromUTF8(name));

    EXPECT_EQ(whyEntryNamesClash(names), juce::String::fromUTF8(GetParam().refusal));
}

const std::string longPart(255, 'n');
const std::string tooLongPart(256, 'n');
// 254 letters of the basic plane and one outside it (two UTF-16 units): 255 characters, 256 units.
const std::string tooLongInUtf16 = []
{
    std::string part;
    for (int i = 0; i < 254; ++i)
        part += "\xc3\xa9";
    return part + "\xf0\x9d\x84\x9e";
}();
const std::string longName = "S/" + longPart;
const std::string tooLongName = "S/" + tooLongPart;
const std::string tooLongUtf16Name = "S/" + tooLongInUtf16;
const std::string tooLongRefusal = "Entry " + tooLongName +
                                   " cannot be unpacked under that name on Windows: \"" + tooLongPart +
                                   "\" is longer than 255 UTF-16 units";
const std::string tooLongUtf16Refusal = "Entry " + tooLongUtf16Name +
                                        " cannot be unpacked under that name on Windows: \"" +
                                        tooLongInUtf16 + "\" is longer than 255 UTF-16 units";

#define CANNOT(name, part, why)                                                                              \
    "Entry " name " cannot be unpacked under that name on Windows: \"" part "\" " why

INSTANTIATE_TEST_SUITE_P(
    Packages, EntryNames,
    ::testing::Values(
        // Let through
        NamesCase{
            "ToolPackage", {"S/", "S/x64/", "S/x64/Setup.exe", "S/x64_Win10/Setup.exe", "S/notes.txt"}, ""},
        NamesCase{"BackslashSeparators", {"S\\", "S\\x64\\", "S\\x64\\Setup.exe"}, ""},
        NamesCase{"OneFolderNamedTwiceInTwoCases", {"S/x64/", "s/X64/", "S/x64/Setup.exe"}, ""},
        NamesCase{
            "InnerBlanksAndLeadingDots", {"S/read me.txt", "S/empty folder/", "S/.hidden", "S/..data"}, ""},
        NamesCase{"FolderNamedSetupExe", {"S/x64/Setup.exe/readme.txt"}, ""},
        NamesCase{"NamesThatOnlyBeginLikeDevices",
                  {"S/CONSOLE.txt", "S/COM10", "S/LPT0.log", "S/nul_", "S/AUXILIARY", "S/com"},
                  ""},
        NamesCase{"NamesThatShareABeginning", {"S/a", "S/ab", "S/a.txt", "S/a.txt.bak"}, ""},
        NamesCase{"NonAsciiNamesThatDiffer", {"S/\xc3\x84rger.txt", "S/\xc3\xa4rger2.txt"}, ""},
        NamesCase{"PartOf255Units", {longName.c_str()}, ""},
        NamesCase{"ParentPartsLeftToThePathCheck", {"../escaped.txt", "S/a/../b.txt"}, ""},
        NamesCase{"NoEntries", {}, ""},
        // The same file twice
        NamesCase{
            "CaseTwin",
            {"D/x64_Win10/Setup.exe", "D/X64_WIN10/SETUP.EXE"},
            "Entry D/X64_WIN10/SETUP.EXE names the same file on Windows as entry D/x64_Win10/Setup.exe"},
        NamesCase{"SameNameTwice",
                  {"D/x64/Setup.exe", "D/readme.txt", "D/x64/Setup.exe"},
                  "Entry D/x64/Setup.exe names the same file on Windows as entry D/x64/Setup.exe"},
        NamesCase{"NonAsciiCaseTwin",
                  {"S/\xc3\xa4.txt", "S/\xc3\x84.TXT"},
                  "Entry S/\xc3\x84.TXT names the same file on Windows as entry S/\xc3\xa4.txt"},
        NamesCase{"LatinExtendedCaseTwin",
                  {"S/\xc5\x82\xc3\xb3"
                   "d\xc5\xba.txt",
                   "S/\xc5\x81\xc3\x93"
                   "D\xc5\xb9.TXT"},
                  "Entry S/\xc5\x81\xc3\x93"
                  "D\xc5\xb9.TXT names the same file on Windows as entry "
                  "S/\xc5\x82\xc3\xb3"
                  "d\xc5\xba.txt"},
        NamesCase{"CyrillicCaseTwin",
                  {"S/\xd1\x8f", "S/\xd0\xaf"},
                  "Entry S/\xd0\xaf names the same file on Windows as entry S/\xd1\x8f"},
        NamesCase{"BackslashTwinOfASlashName",
                  {"S/x64/Setup.exe", "S\\x64\\Setup.exe"},
                  "Entry S\\x64\\Setup.exe names the same file on Windows as entry S/x64/Setup.exe"},
        NamesCase{"DotPartsThatLeadBack",
                  {"S/x64/Setup.exe", "S/./tmp/../x64//Setup.exe"},
                  "Entry S/./tmp/../x64//Setup.exe names the same file on Windows as entry S/x64/Setup.exe"},
        // A file where a folder is needed
        NamesCase{"FileThenFolderBelowIt",
                  {"S/a", "S/A/b"},
                  "Entry S/A/b needs a folder where entry S/a is a file"},
        NamesCase{
            "FolderBelowThenFile", {"S/a/b", "S/A"}, "Entry S/A is a file where entry S/a/b has a folder"},
        NamesCase{
            "FileThenFolderEntry", {"S/a", "S/a/"}, "Entry S/a/ needs a folder where entry S/a is a file"},
        NamesCase{
            "FolderEntryThenFile", {"S/a/", "S/a"}, "Entry S/a is a file where entry S/a/ has a folder"},
        // Parts that Windows changes
        NamesCase{"TrailingDot",
                  {"D/x64_Win10/Setup.exe", "D/x64_Win10/Setup.exe."},
                  CANNOT("D/x64_Win10/Setup.exe.", "Setup.exe.", "ends in a dot")},
        NamesCase{"TrailingDotOfAFolder",
                  {"D/x64./Setup.exe"},
                  CANNOT("D/x64./Setup.exe", "x64.", "ends in a dot")},
        NamesCase{"ThreeDots", {"S/..."}, CANNOT("S/...", "...", "ends in a dot")},
        NamesCase{
            "TrailingSpace", {"D/readme.txt "}, CANNOT("D/readme.txt ", "readme.txt ", "ends in a space")},
        NamesCase{"DotThenSpace", {"S/. /x"}, CANNOT("S/. /x", ". ", "ends in a space")},
        NamesCase{"StreamOfAFile",
                  {"D/x64/Setup.exe", "D/x64/Setup.exe:payload"},
                  CANNOT("D/x64/Setup.exe:payload", "Setup.exe:payload",
                         "holds a colon (a drive or a stream of a file)")},
        NamesCase{"DrivePath",
                  {"C:\\escaped.txt"},
                  CANNOT("C:\\escaped.txt", "C:", "holds a colon (a drive or a stream of a file)")},
        NamesCase{"DeviceName", {"CON"}, CANNOT("CON", "CON", "is the device name CON")},
        NamesCase{"DeviceWithExtensionInAFolder",
                  {"docs/aux.txt"},
                  CANNOT("docs/aux.txt", "aux.txt", "is the device name AUX")},
        NamesCase{"DeviceAsAFolder", {"S/Nul/x.txt"}, CANNOT("S/Nul/x.txt", "Nul", "is the device name NUL")},
        NamesCase{
            "PortWithExtension", {"S/Com1.log"}, CANNOT("S/Com1.log", "Com1.log", "is the device name COM1")},
        NamesCase{"LastPrinterPort", {"S/lpt9"}, CANNOT("S/lpt9", "lpt9", "is the device name LPT9")},
        NamesCase{"PrinterWithSpaceBeforeExtension",
                  {"S/prn .txt"},
                  CANNOT("S/prn .txt", "prn .txt", "is the device name PRN")},
        NamesCase{"ConsoleInput", {"S/conin$"}, CANNOT("S/conin$", "conin$", "is the device name CONIN$")},
        NamesCase{"SuperscriptPort",
                  {"S/COM\xc2\xb9"},
                  CANNOT("S/COM\xc2\xb9", "COM\xc2\xb9", "is the device name COM\xc2\xb9")},
        NamesCase{"Tab", {"S/a\tb"}, CANNOT("S/a\tb", "a\tb", "holds the control character 0x09")},
        NamesCase{
            "ControlCharacter", {"S/a\x1f"}, CANNOT("S/a\x1f", "a\x1f", "holds the control character 0x1F")},
        NamesCase{"LessThan", {"S/a<b"}, CANNOT("S/a<b", "a<b", "holds the character \"<\"")},
        NamesCase{"GreaterThan", {"S/a>b"}, CANNOT("S/a>b", "a>b", "holds the character \">\"")},
        NamesCase{"Quote", {"S/a\"b"}, CANNOT("S/a\"b", "a\"b", "holds the character \"\"\"")},
        NamesCase{"Bar", {"S/a|b"}, CANNOT("S/a|b", "a|b", "holds the character \"|\"")},
        NamesCase{"QuestionMark", {"S/a?b"}, CANNOT("S/a?b", "a?b", "holds the character \"?\"")},
        NamesCase{"Star", {"S/*"}, CANNOT("S/*", "*", "holds the character \"*\"")},
        NamesCase{"PartOf256Units", {tooLongName.c_str()}, tooLongRefusal.c_str()},
        NamesCase{"PartOf256UnitsIn129Characters", {tooLongUtf16Name.c_str()}, tooLongUtf16Refusal.c_str()},
        NamesCase{"FirstRefusedEntryIsNamed",
                  {"S/ok.txt", "S/bad.", "S/CON"},
                  CANNOT("S/bad.", "bad.", "ends in a dot")}),
    [](const auto& info) { return std::string(info.param.what); });

#undef CANNOT

// The key two names share when Windows reads them as one file.
TEST(WindowsFileKey, FoldsCaseTrailingDotsAndDotParts)
{
    EXPECT_EQ(windowsFileKey("D/x64_Win10/Setup.exe"), "D/X64_WIN10/SETUP.EXE");
    EXPECT_EQ(windowsFileKey("D\\x64_Win10. \\Setup.exe. ."), "D/X64_WIN10/SETUP.EXE");
    EXPECT_EQ(windowsFileKey("/a//./b/../c/"), "A/C");
    EXPECT_EQ(windowsFileKey("a/../../b"), "../B");
    EXPECT_EQ(windowsFileKey("a/.."), "");
}
} // namespace

// Fuzzes the driver-package extraction on archive bytes. Each input is written to a file and handed to
// installDriverPackage with a fresh, empty working folder that sits eight folders below this process's
// scratch folder. runSetupProgram is defined here, so an unpacked Setup.exe is checked, never started.
// Checks, beside the sanitizers:
// - nothing is written outside the working folder: the scratch folder holds exactly what it held before,
//   its parent too, and no place an entry's name or a link entry's target points to outside the working
//   folder has appeared or changed;
// - no more bytes are written than the archive's central directory declares;
// - the result is driverPackageFailed with exactly one "zip error:" line on std::clog, setupProgramMissing
//   with none, or the setup program's exit code after one run of the setup program at the one expected path
//   inside the working folder.
// The scratch folder is $STRELL_FUZZ_SCRATCH (else the temporary folder) / package-fuzzer-<pid>.

#include "app/InstallerExitCode.h"
#include "install/DriverPackage.h"
#include "install/SetupProgram.h"
#include "install/ZipExtraction.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace
{
constexpr int fakeSetupExitCode = 4242;
constexpr int maxEntriesWatched = 64;
constexpr int nestingBelowScratch = 8;

int setupRuns = 0;
juce::String setupPathRun;

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "package fuzzer: %s\n", what.c_str());
    std::abort();
}

struct Scratch
{
    fs::path parent;  // what the runner gave us; checked for newcomers too
    fs::path root;    // this process's own folder
    fs::path archive; // the input, as the download would have left it
    fs::path working; // the working folder, emptied after every input
    std::set<std::string> parentBaseline;
    std::set<std::string> rootBaseline;
};

std::set<std::string> namesIn(const fs::path& folder)
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

// Everything below root except what lies inside the working folder, without following links.
std::set<std::string> listingOutsideWorking(const Scratch& scratch)
{
    std::set<std::string> paths;
    for (auto it = fs::recursive_directory_iterator(scratch.root); it != fs::recursive_directory_iterator();
         ++it)
    {
        paths.insert(it->path().lexically_relative(scratch.root).string());
        if (it->path() == scratch.working)
            it.disable_recursion_pending();
    }
    return paths;
}

// The scratch folder's path for the exit handler (the Scratch object may be gone by then).
char scratchRootForExit[4096];

void removeScratchRoot()
{
    std::error_code ignored;
    fs::remove_all(scratchRootForExit, ignored);
}

Scratch& scratch()
{
    static Scratch made = []
    {
        Scratch s;
        const char* given = std::getenv("STRELL_FUZZ_SCRATCH");
        s.parent = given != nullptr && *given != 0
                       ? fs::path(given)
                       : fs::path(juce::File::getSpecialLocation(juce::File::tempDirectory)
                                      .getFullPathName()
                                      .toStdString());
        s.root = s.parent / ("package-fuzzer-" + std::to_string(::getpid()));
        fs::remove_all(s.root);
        fs::create_directories(s.root / "download");
        s.archive = s.root / "download" / "package.zip";
        s.working = s.root;
        for (int level = 1; level <= nestingBelowScratch; ++level)
            s.working /= "level" + std::to_string(level);
        s.working /= "StrellDriver";
        fs::create_directories(s.working);
        std::ofstream(s.archive, std::ios::binary).flush();
        s.parentBaseline = namesIn(s.parent);
        s.rootBaseline = listingOutsideWorking(s);
        std::snprintf(scratchRootForExit, sizeof scratchRootForExit, "%s", s.root.c_str());
        std::atexit(removeScratchRoot);
        return s;
    }();
    return made;
}

bool isInside(const fs::path& path, const fs::path& folder)
{
    const fs::path relative = path.lexically_normal().lexically_relative(folder.lexically_normal());
    return !relative.empty() && *relative.begin() != "..";
}

ZipDirectory directoryOf(const Scratch& s)
{
    juce::FileInputStream in(juce::File(s.archive.string()));
    return in.openedOk() ? readZipDirectory(in) : ZipDirectory{};
}

// What is at a place (without following a last link): kind, size and modification time.
std::string stateOf(const fs::path& path)
{
    std::error_code error;
    const fs::file_status status = fs::symlink_status(path, error);
    if (error || !fs::exists(status))
        return "absent";
    std::ostringstream text;
    text << static_cast<int>(status.type());
    if (fs::is_regular_file(status))
        text << " " << fs::file_size(path, error) << " "
             << fs::last_write_time(path, error).time_since_epoch().count();
    return text.str();
}

// The places outside the working folder that the archive's entries name, or that its link entries
// point to, with what is there now.
std::map<fs::path, std::string> watchedPlaces(const Scratch& s)
{
    std::map<fs::path, std::string> places;
    const auto watch = [&](const fs::path& place)
    {
        const fs::path normal = place.lexically_normal();
        if (!isInside(normal, s.working) && !isInside(normal, s.root))
            places.emplace(normal, stateOf(normal));
    };

    // The names as the installer's own reader sees them (zip64 archives too), raw and as paths.
    const juce::File working(s.working.string());
    const ZipDirectory directory = directoryOf(s);
    for (std::size_t i = 0; i < directory.entries.size() && i < maxEntriesWatched; ++i)
    {
        const std::string& raw = directory.entries[i].name;
        watch(s.working / raw);
        if (raw.find('\0') == std::string::npos &&
            juce::CharPointer_UTF8::isValidString(raw.data(), static_cast<int>(raw.size())))
        {
            const auto name = juce::String::fromUTF8(raw.data(), static_cast<int>(raw.size()));
            watch(working.getChildFile(name).getFullPathName().toStdString());
            watch(working.getChildFile(name.replaceCharacter('\\', '/')).getFullPathName().toStdString());
        }
    }

    // JUCE's own reader, independent of ours, for the targets of link entries.
    juce::ZipFile archive(juce::File(s.archive.string()));
    for (int i = 0; i < archive.getNumEntries() && i < maxEntriesWatched; ++i)
    {
        const juce::ZipFile::ZipEntry* entry = archive.getEntry(i);
        watch(s.working / entry->filename.toStdString());

        // JUCE's path handling breaks on names that are not UTF-8; the installer refuses such archives
        // before any path is made, so only the raw name above is watched for them.
        if (!juce::CharPointer_UTF8::isValidString(entry->filename.toRawUTF8(),
                                                   std::numeric_limits<int>::max()))
            continue;

        for (const juce::String& name : {entry->filename, entry->filename.replaceCharacter('\\', '/')})
        {
            watch(s.working / name.toStdString());
            watch(working.getChildFile(name).getFullPathName().toStdString());
        }

        if (entry->isSymbolicLink)
        {
            juce::MemoryBlock target;
            if (std::unique_ptr<juce::InputStream> in{archive.createStreamForEntry(i)})
                in->readIntoMemoryBlock(target, 4096);
            const fs::path link = working.getChildFile(entry->filename).getFullPathName().toStdString();
            watch(link.parent_path() / target.toString().toStdString());
        }
    }
    return places;
}

void checkNothingWrittenOutside(const Scratch& s, const std::map<fs::path, std::string>& before)
{
    const std::set<std::string> listing = listingOutsideWorking(s);
    for (const std::string& path : listing)
        if (s.rootBaseline.count(path) == 0)
            fail("written outside the working folder: " + (s.root / path).string());
    if (listing != s.rootBaseline)
        fail("something outside the working folder was removed");
    if (namesIn(s.parent) != s.parentBaseline)
        fail("the scratch folder's parent changed: " + s.parent.string());

    for (const auto& [place, state] : before)
        if (stateOf(place) != state)
            fail("written outside the working folder: " + place.string() + " (was " + state + ", now " +
                 stateOf(place) + ")");
}

// A package name as the download address would give it: the archive's first top-level name + ".zip".
// The name comes from catalogue text, which JUCE decodes (invalid UTF-8 is read as Windows-1252), while
// entry names keep their raw bytes: the name is decoded the way the catalogue's text is.
juce::String packageNameFor(const Scratch& s)
{
    const ZipDirectory directory = directoryOf(s);
    if (directory.entries.empty())
        return "Tarnwell_Corvel_2_1.0.0.0.zip";
    std::string raw = directory.entries.front().name;
    raw = raw.substr(0, raw.find_first_of("/\\"));
    return juce::String::createStringFromData(raw.data(), static_cast<int>(raw.size())) + ".zip";
}

void checkOutcome(const Scratch& s, const juce::String& packageName, int result, const std::string& clog)
{
    const juce::File working(s.working.string());
    // The message may hold line feeds of its own (entry names can): one line is one write ending in one.
    const bool oneZipErrorLine = clog.rfind("zip error:", 0) == 0 && clog.back() == '\n';

    if (result == driverPackageFailed)
    {
        if (!oneZipErrorLine)
            fail("driverPackageFailed without one \"zip error:\" line: '" + clog + "'");
    }
    else if (!clog.empty())
    {
        fail("a diagnostic line without driverPackageFailed: '" + clog + "'");
    }

    if (result == fakeSetupExitCode)
    {
        if (setupRuns != 1)
            fail("the setup program's code came back after " + std::to_string(setupRuns) + " runs");
        const juce::String expected =
            setupProgramPathFor(working.getChildFile(packageName.replace(".zip", "", true)));
        if (setupPathRun != expected)
            fail("ran " + setupPathRun.toStdString() + " instead of " + expected.toStdString());
        if (!juce::File::isAbsolutePath(setupPathRun) || !juce::File(setupPathRun).isAChildOf(working))
            fail("ran a setup program outside the working folder: " + setupPathRun.toStdString());
    }
    else if (result != driverPackageFailed && result != setupProgramMissing)
    {
        fail("unexpected result " + std::to_string(result));
    }
    else if (setupRuns != 0)
    {
        fail("the setup program ran but its exit code was not given back");
    }
}
// Nothing beyond what the directory declares reaches the disk, whatever the data inflates to.
void checkNoMoreThanDeclared(const Scratch& s)
{
    std::uint64_t declared = 0;
    for (const ZipEntryRecord& entry : directoryOf(s).entries)
        declared += std::min<std::uint64_t>(entry.size, std::uint64_t{1} << 40);
    std::uint64_t written = 0;
    for (const auto& entry : fs::recursive_directory_iterator(s.working))
        if (entry.is_regular_file())
            written += entry.file_size();
    if (written > declared)
        fail("wrote " + std::to_string(written) + " bytes where the directory declares " +
             std::to_string(declared));
}
} // namespace

// Stands in for the platform's program start: records the call instead.
int runSetupProgram(const juce::String& setupProgramPath)
{
    ++setupRuns;
    setupPathRun = setupProgramPath;
    if (!juce::File(setupProgramPath).existsAsFile())
        fail("runSetupProgram was asked to run a missing file: " + setupProgramPath.toStdString());
    return fakeSetupExitCode;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Scratch& s = scratch();
    {
        std::ofstream out(s.archive, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }

    const std::map<fs::path, std::string> before = watchedPlaces(s);
    const juce::String packageName = packageNameFor(s);

    setupRuns = 0;
    setupPathRun = {};
    std::ostringstream clog;
    std::streambuf* const clogBefore = std::clog.rdbuf(clog.rdbuf());
    const int result =
        installDriverPackage(packageName, juce::File(s.archive.string()), juce::File(s.working.string()));
    std::clog.rdbuf(clogBefore);

    if (std::getenv("STRELL_FUZZ_VERBOSE") != nullptr)
        std::fprintf(stderr, "package '%s': result %d, %d setup run(s), clog '%s'\n", packageName.toRawUTF8(),
                     result, setupRuns, clog.str().c_str());

    checkNothingWrittenOutside(s, before);
    checkOutcome(s, packageName, result, clog.str());
    checkNoMoreThanDeclared(s);

    // A fresh working folder for the next input; links inside are removed, not followed.
    fs::remove_all(s.working);
    fs::create_directories(s.working);
    return 0;
}

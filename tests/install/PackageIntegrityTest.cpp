// Real packages as other tools write them, and damaged ones, through installDriverPackage. The packages are
// made by the shared builders (tests/support/python/strelltest/packages.py) with the real tools.

#include "app/InstallerExitCode.h"
#include "install/DriverPackage.h"
#include "tests/install/InstallTestSupport.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>

#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
constexpr int setupExitCode = 23;
const juce::String top = "Tarnwell_Corvel_9.1";

class PackageIntegrity : public ::testing::Test
{
protected:
    ScopedTempFolder temp;
    juce::File source = temp.folder.getChildFile("source");
    juce::File workingFolder = temp.folder.getChildFile("Tarnwell/StrellDriver");
    juce::File download = temp.folder.getChildFile("download.tmp");
    juce::File recordFile = temp.folder.getChildFile("record.jsonl");
    ScopedEnvironment environment{{{"FAKE_SETUP_RECORD", recordFile.getFullPathName().toStdString()},
                                   {"FAKE_SETUP_EXIT_CODE", std::to_string(setupExitCode)},
                                   {"PYTHONPATH", STRELL_PYTHON_SUPPORT},
                                   {"PYTHONDONTWRITEBYTECODE", "1"}}};
    std::string clogText;

    void SetUp() override { ASSERT_TRUE(workingFolder.createDirectory()); }

    // Fills the source folder with a package tree: the setup program, incompressible and compressible
    // data, an empty file, a name with blanks and an empty folder.
    void makeSourceTree()
    {
        const auto package = source.getChildFile(top);
        ASSERT_TRUE(package.getChildFile("x64").createDirectory());
        ASSERT_TRUE(package.getChildFile("empty folder").createDirectory());
        ASSERT_TRUE(package.getChildFile("data").createDirectory());
        ASSERT_TRUE(fakeSetupProgram().copyFileTo(package.getChildFile("x64/Setup.exe")));

        juce::MemoryBlock noise(300000);
        juce::Random random(4711);
        random.fillBitsRandomly(noise.getData(), noise.getSize());
        ASSERT_TRUE(
            package.getChildFile("data/firmware.bin").replaceWithData(noise.getData(), noise.getSize()));
        ASSERT_TRUE(package.getChildFile("data/empty.bin").create());

        juce::String text;
        for (int line = 0; line < 20000; ++line)
            text << "Corvel driver note " << line << "\n";
        ASSERT_TRUE(package.getChildFile("read me.txt").replaceWithText(text));
        // A time well in the past, so that an unpacking that sets none would show.
        ASSERT_TRUE(
            package.getChildFile("read me.txt").setLastModificationTime(juce::Time(2021, 5, 14, 9, 30, 4)));
    }

    // Runs a Python snippet with the shared package builders imported as p; fails the test when it fails.
    void python(const juce::String& code)
    {
        juce::ChildProcess child;
        ASSERT_TRUE(
            child.start(juce::StringArray{"python3", "-c", "from strelltest import packages as p\n" + code},
                        juce::ChildProcess::wantStdErr | juce::ChildProcess::wantStdOut));
        const auto output = child.readAllProcessOutput();
        ASSERT_TRUE(child.waitForProcessToFinish(120000));
        ASSERT_EQ(child.getExitCode(), 0u) << output;
    }

    // Builds the download with one of the builders' tools from the source tree.
    void toolZip(const juce::String& kind)
    {
        python("p.tool_zip('" + kind + "', r'" + source.getFullPathName() + "', '" + top + "', r'" +
               download.getFullPathName() + "')");
    }

    int install()
    {
        ClogCapture clog;
        const int result = installDriverPackage(top + ".zip", download, workingFolder);
        clogText = clog.text();
        return result;
    }

    int setupRuns() { return recordFile.exists() ? readRecords(recordFile).size() : 0; }

    // Every file and folder below a folder, as relative paths with their bytes ("<folder>" for folders).
    static std::map<juce::String, std::string> treeOf(const juce::File& folder)
    {
        std::map<juce::String, std::string> tree;
        for (const auto& entry :
             juce::RangedDirectoryIterator(folder, true, "*", juce::File::findFilesAndDirectories))
        {
            const auto path = entry.getFile().getRelativePathFrom(folder);
            juce::MemoryBlock data;
            if (entry.isDirectory())
                tree[path] = "<folder>";
            else if (entry.getFile().loadFileAsData(data) && data.getSize() > 0)
                tree[path] = std::string(static_cast<const char*>(data.getData()), data.getSize());
            else
                tree[path] = "";
        }
        return tree;
    }
};

class PackageFromTool : public PackageIntegrity, public ::testing::WithParamInterface<const char*>
{
};

// What unpacked correctly before must keep doing so, byte for byte, streamed and zip64 archives included.
TEST_P(PackageFromTool, UnpacksLikeItsSourceTreeAndRunsTheSetupProgram)
{
    makeSourceTree();
    toolZip(GetParam());

    EXPECT_EQ(install(), setupExitCode);
    EXPECT_EQ(clogText, "");
    EXPECT_EQ(setupRuns(), 1);
    const auto unpacked = treeOf(workingFolder);
    EXPECT_EQ(unpacked.size(), 8u);
    EXPECT_TRUE(unpacked == treeOf(source)) << "the unpacked tree differs from the source tree";
    // Files keep the entry's time (DOS times count in steps of two seconds).
    const auto readMe = top + "/read me.txt";
    const auto drift = workingFolder.getChildFile(readMe).getLastModificationTime() -
                       source.getChildFile(readMe).getLastModificationTime();
    EXPECT_LE(std::abs(drift.inSeconds()), 2.0);
}

INSTANTIATE_TEST_SUITE_P(Tools, PackageFromTool,
                         ::testing::Values("infozip", "infozip-stdout", "infozip-fd", "infozip-fz", "bsdtar",
                                           "7zip", "python", "python-streamed", "python-backslash"),
                         [](const auto& info)
                         {
                             auto name = std::string(info.param);
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// A method that cannot be read is found before anything is written: no half-unpacked package.
TEST_F(PackageIntegrity, UnreadableMethodsAreNamedAndNothingIsWritten)
{
    makeSourceTree();
    const std::vector<std::pair<const char*, const char*>> kinds{{"python-lzma", "14 \\(LZMA\\)"},
                                                                 {"python-bzip2", "12 \\(BZip2\\)"},
                                                                 {"7zip-deflate64", "9 \\(Deflate64\\)"}};

    for (const auto& [kind, method] : kinds)
    {
        toolZip(kind);
        EXPECT_EQ(install(), driverPackageFailed) << kind;
        EXPECT_THAT(clogText, ::testing::MatchesRegex("zip error:Entry " + top.toStdString() +
                                                      "/[^\n]+ uses "
                                                      "compression method " +
                                                      method + ", which cannot be unpacked\n"))
            << kind;
        EXPECT_EQ(workingFolder.getNumberOfChildFiles(juce::File::findFilesAndDirectories), 0) << kind;
    }
    EXPECT_EQ(setupRuns(), 0);
}

// Each damage ends the unpacking at its entry: the line names it, its partial file is gone, nothing runs.
TEST_F(PackageIntegrity, DamagedEntriesFailAndNothingRuns)
{
    makeSourceTree();
    const auto zipOf = "r'" + download.getFullPathName() + "'";
    const auto setupEntry = top + "/x64/Setup.exe";
    struct Damage
    {
        juce::String build; // Python code that leaves the damaged package at the download
        juce::String entry;
        juce::String message;
    };
    const std::vector<Damage> damages{
        {"d = open(" + zipOf + ", 'rb').read()\ni = p.zipfile.ZipFile(" + zipOf + ").getinfo('" + setupEntry +
             "')\nopen(" + zipOf + ", 'wb').write(p.patch_entry(d, '" + setupEntry + "', crc=i.CRC ^ 1))",
         setupEntry, "its CRC-32 does not match"},
        {"p.bomb_zip(" + zipOf + ", '" + top + "', r'" + fakeSetupProgram().getFullPathName() + "')",
         top + "/data/firmware.bin", "it inflates past its declared size"},
        {"import zipfile\nz = zipfile.ZipFile(" + zipOf + ", 'w')\nz.writestr('" + top +
             "/read me.txt', b'x' * 5000)\nz.write(r'" + fakeSetupProgram().getFullPathName() + "', '" +
             setupEntry + "')\nz.close()\nd = open(" + zipOf + ", 'rb').read()\nopen(" + zipOf +
             ", 'wb').write(p.patch_entry(d, '" + top + "/read me.txt', size=4000))",
         top + "/read me.txt", "its stored size does not match its size"},
    };

    for (const auto& damage : damages)
    {
        workingFolder.deleteRecursively();
        ASSERT_TRUE(workingFolder.createDirectory());
        toolZip("python");
        python(damage.build);

        EXPECT_EQ(install(), driverPackageFailed) << damage.message;
        EXPECT_EQ(clogText, "zip error:Entry " + damage.entry + " is damaged: " + damage.message + "\n");
        EXPECT_FALSE(workingFolder.getChildFile(damage.entry).exists()) << damage.message;
        // Nothing past a declared size reaches the disk: the whole folder stays far below the bomb's 100 MB.
        juce::int64 written = 0;
        for (const auto& file : juce::RangedDirectoryIterator(workingFolder, true))
            written += file.getFileSize();
        EXPECT_LT(written, 2 * 1024 * 1024) << damage.message;
    }
    EXPECT_EQ(setupRuns(), 0);
}

// A local header that names another entry than the central directory (archives that two readers see
// differently) is damage, too.
TEST_F(PackageIntegrity, LocalHeaderThatDisagreesWithTheDirectoryFails)
{
    writeZip(download, {{top + "/x64/Setup.exe", bytesOf(fakeSetupProgram())}});
    juce::MemoryBlock data = bytesOf(download);
    const auto name = (top + "/x64/Setup.exe").toStdString();
    auto* bytes = static_cast<char*>(data.getData());
    const auto local = std::search(bytes, bytes + data.getSize(), name.begin(), name.end());
    ASSERT_NE(local, bytes + data.getSize());
    local[name.size() - 1] = 'X'; // the first copy of the name is the local header's
    ASSERT_TRUE(download.replaceWithData(data.getData(), data.getSize()));

    EXPECT_EQ(install(), driverPackageFailed);
    EXPECT_EQ(clogText, "zip error:Entry " + name +
                            " is damaged: its local header does not match the central directory\n");
    EXPECT_EQ(setupRuns(), 0);
}

// An archive that has an end record is never taken for an empty one: a directory that cannot be read whole
// fails, while a download without any end record still means "no package" (-5, silently).
TEST_F(PackageIntegrity, DamagedCentralDirectoryFailsInsteadOfReadingAsEmpty)
{
    writeZip(download, {{top + "/readme.txt", bytesOf("notes")},
                        {top + "/x64/Setup.exe", bytesOf(fakeSetupProgram())}});
    const juce::MemoryBlock good = bytesOf(download);
    const auto* bytes = static_cast<const unsigned char*>(good.getData());
    const auto endAt = good.getSize() - 22;
    ASSERT_EQ(bytes[endAt], 'P');
    ASSERT_EQ(bytes[endAt + 3], 6);

    const auto withByte = [&](std::size_t at, unsigned char value)
    {
        juce::MemoryBlock changed = good;
        static_cast<unsigned char*>(changed.getData())[at] = value;
        ASSERT_TRUE(download.replaceWithData(changed.getData(), changed.getSize()));
    };

    withByte(endAt + 10, 3); // three entries declared, two there
    EXPECT_EQ(install(), driverPackageFailed);
    EXPECT_EQ(clogText, "zip error:The zip file's central directory is damaged\n");

    withByte(endAt + 16, static_cast<unsigned char>(bytes[endAt + 16] + 1)); // directory offset off by one
    EXPECT_EQ(install(), driverPackageFailed);
    EXPECT_EQ(clogText, "zip error:The zip file's central directory is damaged\n");

    withByte(endAt + 1, 'X'); // no end record at all
    EXPECT_EQ(install(), setupProgramMissing);
    EXPECT_EQ(clogText, "");
    EXPECT_EQ(workingFolder.getNumberOfChildFiles(juce::File::findFilesAndDirectories), 0);
    EXPECT_EQ(setupRuns(), 0);
}

// A full disk mid-unpack, in either order: the entry that no longer fits fails, its partial file is removed
// and the setup program does not run. The working folder is a 1 MiB tmpfs in a child's own mount namespace.
TEST_F(PackageIntegrity, FullDiskFailsTheEntryThatDoesNotFit)
{
    juce::MemoryBlock noise(2 * 1024 * 1024);
    juce::Random(99).fillBitsRandomly(noise.getData(), noise.getSize());
    const juce::MemoryBlock filler(noise.getData(), 1000 * 1024); // leaves 24 KiB, less than Setup.exe
    const auto setupEntry = top + "/x64/Setup.exe";
    const std::vector<std::pair<std::vector<ZipEntry>, juce::String>> packages{
        {{{top + "/data/image.bin", noise}, {setupEntry, bytesOf(fakeSetupProgram())}},
         top + "/data/image.bin"},
        {{{top + "/data/image.bin", filler}, {setupEntry, bytesOf(fakeSetupProgram())}}, setupEntry}};

    for (const auto& [entries, failing] : packages)
    {
        writeZip(download, entries);
        const auto report = temp.folder.getChildFile("report.txt");
        report.deleteFile();

        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0)
        {
            if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
                _exit(77);
            if (mount("strell-full", workingFolder.getFullPathName().toRawUTF8(), "tmpfs", 0, "size=1m") != 0)
                _exit(78);
            const int result = install();
            const bool left = workingFolder.getChildFile(failing).exists();
            const auto text = std::to_string(result) + "\n" + (left ? "left" : "removed") + "\n" + clogText;
            _exit(report.replaceWithData(text.data(), text.size()) ? 0 : 79);
        }

        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == 77 || WEXITSTATUS(status) == 78)
            GTEST_SKIP() << "this user may not mount in a private mount namespace";
        ASSERT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(report.loadFileAsString(), juce::String(driverPackageFailed) +
                                                 "\nremoved\nzip error:Failed to write to target file: " +
                                                 workingFolder.getChildFile(failing).getFullPathName() +
                                                 "\n");
    }
    EXPECT_EQ(setupRuns(), 0);
}
} // namespace

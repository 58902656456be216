"""Whole runs of the Windows installer under Wine against nginx on the loopback port: a registry-made
device, the catalogue, the driver package, its setup program for this Windows, and the exit code as a
Windows parent reads it."""

import sys
import unittest

from strelltest.codes import DRIVER_PACKAGE_FAILED, SETUP_PROGRAM_MISSING, WINDOWS, seen_by
from strelltest.packages import CATALOGUE_PATH, DRIVER_FOLDER, make_driver_zip, package_stem
from strelltest import native
from wine_runs import InstallerRunCase

FULL_PACKAGE = "Tarnwell_Full_Package_2.4.0.1.zip"  # x64_Win10 and x64
WIN10_ONLY_PACKAGE = "Tarnwell_Win10_Only_1.0.0.7.ZIP"  # x64_Win10 only, extension in capitals
X64_ONLY_PACKAGE = "Tarnwell_Legacy_Only_3.1.0.0.zip"  # x64 only
SETUP_PROGRAM = "Tarnwell_Direct_Setup_5.0.0.2.exe"  # a setup program, not a package
UNKNOWN_KIND = "Tarnwell_Notes_1.0.0.0.txt"  # neither zip nor exe


class WholeRuns(InstallerRunCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        zips = cls.scratch / "packages"
        files = {name: make_driver_zip(zips / name, cls.fake_setup, subfolder=subfolders, readme=True)
                 for name, subfolders in ((FULL_PACKAGE, ("x64_Win10", "x64")), (WIN10_ONLY_PACKAGE, "x64_Win10"),
                                          (X64_ONLY_PACKAGE, "x64"))}
        files.update({SETUP_PROGRAM: cls.fake_setup, UNKNOWN_KIND: b"not a driver\n"})
        # Model 0 is listed twice: the first entry counts.
        names = [FULL_PACKAGE, WIN10_ONLY_PACKAGE, X64_ONLY_PACKAGE, SETUP_PROGRAM, UNKNOWN_KIND]
        entries = [(cls.models[index]["product_id"], name) for index, name in enumerate(names)]
        entries.append((cls.models[0]["product_id"], X64_ONLY_PACKAGE))
        cls.serve_site(entries, files)

    def setUp(self):
        self.prefix.set_windows_version("win10")
        self.log_start = len(self.server.access_log())

    def requests(self):
        """The paths this test's runs asked nginx for, in order."""
        paths = []
        for line in self.server.access_log()[self.log_start:]:
            parts = line.split('"')
            if len(parts) > 1 and parts[1].startswith("GET "):
                paths.append(parts[1].split()[1])
        return paths

    def setup_path(self, package, subfolder):
        return self.windows_temp_path("Tarnwell", "StrellDriver", package_stem(package), subfolder, "Setup.exe")

    def test_setup_exit_code_becomes_the_installer_exit_code(self):
        self.plug_in(0)
        for code in (0, 1, 3221225477, 4294967293):
            with self.subTest(setup_exit_code=code):
                result, records = self.run_installer({"FAKE_SETUP_EXIT_CODE": str(code)})
                self.assertEqual(result.exit_code, code, result.stderr)
                self.assert_ran_once(records, self.setup_path(FULL_PACKAGE, "x64_Win10"))
                self.assertNotIn("zip error", result.stderr)
        self.assertEqual(self.requests(), [CATALOGUE_PATH, f"{DRIVER_FOLDER}/{FULL_PACKAGE}"] * 4)
        # The unpacked package stays in the working folder after the run.
        unpacked = self.working_folder / package_stem(FULL_PACKAGE)
        self.assertTrue((unpacked / "x64_Win10" / "Setup.exe").is_file())
        self.assertTrue((unpacked / "x64" / "Setup.exe").is_file())
        self.assertTrue((unpacked / "readme.txt").is_file())

    def test_windows_before_10_runs_the_x64_setup_program(self):
        self.plug_in(0)
        for version in ("win81", "win7"):
            with self.subTest(windows=version):
                self.prefix.set_windows_version(version)
                versions = self.prefix.windows_versions()
                self.assertTrue(versions["rtl"].startswith("6.") and versions["kernel32"].startswith("6."), versions)
                result, records = self.run_installer({"FAKE_SETUP_EXIT_CODE": "7"})
                self.assertEqual(result.exit_code, 7, result.stderr)
                self.assert_ran_once(records, self.setup_path(FULL_PACKAGE, "x64"))

    def test_only_the_folder_for_this_windows_is_tried(self):
        cases = [("win10", 2, X64_ONLY_PACKAGE, None), ("win81", 1, WIN10_ONLY_PACKAGE, None),
                 ("win10", 1, WIN10_ONLY_PACKAGE, "x64_Win10")]
        for version, model, package, subfolder in cases:
            with self.subTest(windows=version, package=package):
                self.prefix.set_windows_version(version)
                self.plug_in(model)
                result, records = self.run_installer()
                if subfolder is None:
                    self.assertEqual(result.exit_code, seen_by(WINDOWS, SETUP_PROGRAM_MISSING), result.stderr)
                    self.assertEqual(records, [], "a setup program ran")
                else:
                    self.assertEqual(result.exit_code, 0, result.stderr)
                    self.assert_ran_once(records, self.setup_path(package, subfolder))
                # A capitalised ".ZIP" is dropped from the folder name like ".zip".
                self.assertTrue((self.working_folder / package_stem(package)).is_dir())
                self.prefix.remove_all_usb_devices()

    def test_setup_program_entry_runs_the_downloaded_file_itself(self):
        self.plug_in(3)
        result, records = self.run_installer({"FAKE_SETUP_EXIT_CODE": "3221225477"})
        self.assertEqual(result.exit_code, 3221225477, result.stderr)
        self.assertEqual(len(records), 1, records)
        path = records[0]["path"]
        folder, _, name = path.rpartition("\\")
        self.assertEqual(folder.lower(), self.temp_windows.lower(), "not run from the downloaded file")
        self.assertRegex(name, r"^temp_[0-9a-fA-F]+$")
        self.assertFalse(records[0]["windowOpen"])
        self.assertEqual(list(self.working_folder.iterdir()), [])
        self.assertEqual(self.requests(), [CATALOGUE_PATH, f"{DRIVER_FOLDER}/{SETUP_PROGRAM}"])

    def test_download_that_is_neither_zip_nor_exe(self):
        self.plug_in(4)
        result, records = self.run_installer()
        self.assertEqual(result.exit_code, seen_by(WINDOWS, DRIVER_PACKAGE_FAILED), result.stderr)
        self.assertEqual(records, [])
        self.assertEqual(self.requests(), [CATALOGUE_PATH, f"{DRIVER_FOLDER}/{UNKNOWN_KIND}"])

    def test_earlier_run_leftovers_are_removed_and_the_outer_folder_kept(self):
        self.working_folder.mkdir(parents=True, exist_ok=True)
        (self.working_folder / "stale" / "deep").mkdir(parents=True, exist_ok=True)
        (self.working_folder / "stale" / "deep" / "old.txt").write_text("old")
        beside = self.working_folder.parent / "kept.txt"
        beside.write_text("kept")
        self.plug_in(0)
        result, records = self.run_installer()
        self.assertEqual(result.exit_code, 0, result.stderr)
        self.assertFalse((self.working_folder / "stale").exists())
        self.assertTrue(beside.is_file())
        self.assertEqual([path.name for path in self.working_folder.iterdir()], [package_stem(FULL_PACKAGE)])

    def test_setup_program_output_is_drained_and_kept_out_of_the_installer_streams(self):
        self.plug_in(0)
        # Far more than the pipe holds: a parent that does not read while it waits never sees the end.
        result, records = self.run_installer({"FAKE_SETUP_OUTPUT_BYTES": "300000", "FAKE_SETUP_EXIT_CODE": "12"})
        self.assertEqual(result.exit_code, 12, result.stderr[-500:])
        self.assert_ran_once(records, self.setup_path(FULL_PACKAGE, "x64_Win10"))
        self.assertNotIn("fake-setup-stdout", result.stdout)
        self.assertNotIn("fake-setup-stderr", result.stderr)

    def test_a_second_run_while_the_first_one_runs_ends_at_once(self):
        self.plug_in(0)
        ready, go = self.scratch / "pause-ready", self.scratch / "pause-go"
        first = self.prefix.start_watched(self.installer, timeout=240, env={
            "FAKE_SETUP_RECORD": self.prefix.windows_path(self.scratch / "first-record.jsonl"),
            "FAKE_SETUP_EXIT_CODE": "31", "FAKE_SETUP_PAUSE_READY": self.prefix.windows_path(ready),
            "FAKE_SETUP_PAUSE_GO": self.prefix.windows_path(go)})
        try:
            self.assertTrue(native.wait_for_file(ready), "the first run's setup program never paused")
            before = native.snapshot(self.temp / "Tarnwell", skip=[("Logs",)])
            asked = self.requests()
            result, records = self.run_installer()
            self.assertEqual(result.exit_code, seen_by(WINDOWS, DRIVER_PACKAGE_FAILED), result.stderr)
            self.assertEqual(records, [])
            self.assertEqual(self.requests(), asked, "the second run fetched something")
            self.assertEqual(native.snapshot(self.temp / "Tarnwell", skip=[("Logs",)]), before,
                             "the second run changed the first run's files")
        finally:
            go.touch()
        self.assertEqual(first.exit_code(timeout=120), 31)

    def test_two_supported_devices_give_one_retrieval_for_the_first_found(self):
        first = self.plug_in(0, "STRELLTEST1")
        second = self.plug_in(2, "STRELLTEST2")
        listed = [device for device in self.prefix.usb_devices() if device in (first, second)]
        self.assertEqual(sorted(listed), sorted([first, second]))
        package = FULL_PACKAGE if listed[0] == first else X64_ONLY_PACKAGE
        result, records = self.run_installer()
        self.assertEqual(self.requests(), [CATALOGUE_PATH, f"{DRIVER_FOLDER}/{package}"])
        if package == FULL_PACKAGE:
            self.assertEqual(result.exit_code, 0, result.stderr)
            self.assert_ran_once(records, self.setup_path(package, "x64_Win10"))
        else:
            self.assertEqual(result.exit_code, seen_by(WINDOWS, SETUP_PROGRAM_MISSING), result.stderr)


if __name__ == "__main__":
    sys.exit(0 if unittest.main(verbosity=2, exit=False).result.wasSuccessful() else 1)

"""What protects the working folder and the downloaded file in the Windows build, under Wine 8.

Wine does not keep a folder's access list (it reads back its own default), but it enforces share modes.
So the access lists are checked as the build makes them, by protection-probe (a console program linked
with the installer's code), together with what the held handles do against another process; and a whole
run checks that, while the setup program runs (held at its pause point), another process can rename
neither the working folder nor its parent away."""

import sys
import time
import unittest

from strelltest import wine
from strelltest.packages import package_stem
from wine_runs import InstallerRunCase

ERROR_ACCESS_DENIED = 5
ERROR_SHARING_VIOLATION = 32
PACKAGE = "Tarnwell_Held_1.0.0.3.zip"
EXIT_CODE = 6
PAUSE_TIMEOUT = 120


class ProtectionProbe(wine.PrefixTestCase):
    def test_access_lists_and_held_handles(self):
        folder = self.scratch / "probe"
        folder.mkdir()
        result = self.prefix.run([wine.tool("protection-probe"), self.prefix.windows_path(folder)], timeout=300)
        lines = result.stdout.splitlines()
        self.assertEqual([line for line in lines if not line.startswith("ok ")], [], result.stdout + result.stderr)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        # Every group of checks ran: both access lists, the folder, the file.
        for expected in ("folder access list inherits nothing", "file access list lets Users read and run",
                         "another process cannot rename the working folder away",
                         "released, the working folder can be renamed",
                         "another process cannot write the finished file",
                         "a program can be started from the held file", "removed"):
            self.assertTrue(any(line.startswith("ok " + expected) for line in lines), expected)


class WorkingFolderHeldWhileSetupRuns(InstallerRunCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.serve_one_package(PACKAGE, ["x64_Win10"])

    def attempt(self, kind, *paths):
        """Makes one attempt from another Windows process; gives back the Windows error (0: it worked)."""
        return self.prefix.run([wine.tool("protection-probe"), "attempt", kind, *paths]).returncode

    def test_working_folder_cannot_be_renamed_away_while_the_setup_program_runs(self):
        self.plug_in(0)
        ready, go = self.scratch / "pause-ready", self.scratch / "pause-go"
        for path in (ready, go, self.record):
            path.unlink(missing_ok=True)
        env = {"FAKE_SETUP_RECORD": self.prefix.windows_path(self.record), "FAKE_SETUP_EXIT_CODE": str(EXIT_CODE),
               "FAKE_SETUP_PAUSE_READY": self.prefix.windows_path(ready),
               "FAKE_SETUP_PAUSE_GO": self.prefix.windows_path(go)}
        watched = self.prefix.start_watched(self.installer, env=env, timeout=240)
        try:
            deadline = time.monotonic() + PAUSE_TIMEOUT
            while not ready.exists() and watched.running() and time.monotonic() < deadline:
                time.sleep(0.1)
            self.assertTrue(ready.exists(), "the setup program never reached its pause point")

            working = self.windows_temp_path("Tarnwell", "StrellDriver")
            outer = self.windows_temp_path("Tarnwell")
            refused = (ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED)
            self.assertIn(self.attempt("rename", working, self.windows_temp_path("Tarnwell", "away")), refused)
            self.assertIn(self.attempt("rename", outer, self.windows_temp_path("Tarnwell-away")), refused)
            self.assertTrue((self.working_folder / package_stem(PACKAGE) / "x64_Win10" / "Setup.exe").is_file())
        finally:
            go.touch()
        self.assertEqual(watched.exit_code(timeout=120), EXIT_CODE)
        records = [line for line in self.record.read_text().splitlines() if line.strip()]
        self.assertEqual(len(records), 1, records)
        # Released after the run: the same rename now works (the refusals were the installer's doing).
        self.assertEqual(self.attempt("rename", self.windows_temp_path("Tarnwell", "StrellDriver"),
                                      self.windows_temp_path("Tarnwell", "moved")), 0)


if __name__ == "__main__":
    sys.exit(0 if unittest.main(verbosity=2, exit=False).result.wasSuccessful() else 1)

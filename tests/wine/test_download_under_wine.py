"""The driver download of the Windows installer under Wine (WinINet) against our fault-injecting server on
the loopback port: the progress window during a slow download (with a screenshot for the docs) and a
catalogue without a base address. Broken transfers and error pages are fault-matrix rows (tests/faults)."""

import os
import shutil
import subprocess
import sys
import time
import unittest
from pathlib import Path

from strelltest import servers
from strelltest.codes import DRIVER_PACKAGE_FAILED, WINDOWS, seen_by
from strelltest.packages import CATALOGUE_PATH, DRIVER_FOLDER, make_driver_zip
from wine_runs import InstallerRunCase

PACKAGE = "Tarnwell_Slow_Lane_1.0.3.0.zip"
PACKAGE_PATH = f"{DRIVER_FOLDER}/{PACKAGE}"
WINDOW_TITLE = "Downloading ASIO driver"
# In the build folder; copied to $STRELL_SCREENSHOT_OUT when that is set (docs/ holds the one in README.md).
SCREENSHOT = Path(os.environ.get("STRELL_BUILD_DIR", ".")) / "progress-window-wine.png"


class DownloadUnderWine(InstallerRunCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # Incompressible filler so that the package is large enough to be watched while it arrives.
        cls.package = make_driver_zip(cls.scratch / PACKAGE, cls.fake_setup, subfolder=("x64_Win10", "x64"),
                                      readme=True, padding=640 * 1024).read_bytes()
        cls.server = servers.FaultServer(port=servers.LOOPBACK_PORT, pki=cls.pki)
        cls.server.start()
        cls.addClassCleanup(cls.server.stop)

    def setUp(self):
        self.plug_in(0)
        self.serve_catalogue([(self.product_id(0), PACKAGE)])
        self.asked_before = len(self.server.requests)

    def serve_catalogue(self, entries):
        self.server.set_route(CATALOGUE_PATH, servers.xml(self.catalogue(entries)))

    def asked(self):
        """The paths asked for since the test began, in order."""
        return [request["path"] for request in self.server.requests[self.asked_before:]]

    def progress_windows(self):
        return [title for _, title in self.prefix.windows() if title == WINDOW_TITLE]

    def test_progress_window_is_shown_while_a_slow_download_runs(self):
        self.server.set_route(PACKAGE_PATH, servers.slow(self.package, chunk_size=16 * 1024, chunk_delay=0.2))
        env = {"FAKE_SETUP_RECORD": self.prefix.windows_path(self.record), "FAKE_SETUP_EXIT_CODE": "21"}
        if self.record.exists():
            self.record.unlink()
        run = self.prefix.start_watched(self.installer, timeout=150, env=env)
        seen = False
        for _ in range(120):  # the package takes about 8 s to arrive
            if not run.running():
                break
            if self.server.requests_for(PACKAGE_PATH) and self.progress_windows():
                seen = True
                break
            time.sleep(0.25)
        self.assertTrue(seen, "no progress window while the package was downloading")
        time.sleep(1.5)  # let the message show a size received
        self.assertTrue(run.running(), "the download ended too soon to be watched")
        SCREENSHOT.parent.mkdir(parents=True, exist_ok=True)
        self.xvfb.screenshot(SCREENSHOT)
        self.assertEqual(run.exit_code(timeout=120), 21)
        self.assertEqual(self.progress_windows(), [], "the progress window outlived the run")
        records = [line for line in self.record.read_text().splitlines() if line.strip()]
        self.assertEqual(len(records), 1)
        self.assertIn('"windowOpen":false', records[0])
        self.assertEqual(self.temp_files(), [])
        colours = subprocess.run(["identify", "-format", "%k", str(SCREENSHOT)], capture_output=True, text=True,
                                 timeout=30, check=True).stdout
        self.assertGreater(int(colours), 8, "the screenshot is blank")
        if os.environ.get("STRELL_SCREENSHOT_OUT"):
            shutil.copyfile(SCREENSHOT, os.environ["STRELL_SCREENSHOT_OUT"])

    def test_no_driver_address_ends_before_any_download(self):
        # A model not listed and an error page for the catalogue are fault-matrix rows.
        self.server.set_route(CATALOGUE_PATH, servers.xml(
            self.catalogue([(self.product_id(0), PACKAGE)]).replace("driverBaseUrl=", "base=")))
        result, records = self.run_installer()
        self.assertEqual(result.exit_code, seen_by(WINDOWS, DRIVER_PACKAGE_FAILED), result.stderr)
        self.assertEqual(records, [])
        self.assertEqual(self.asked(), [CATALOGUE_PATH])


if __name__ == "__main__":
    sys.exit(0 if unittest.main(verbosity=2, exit=False).result.wasSuccessful() else 1)

"""The progress window of a whole installer run as the X server shows it: it is on the screen and painted
while a slow package downloads, and gone by the time the setup program runs. A screenshot of it is saved
as progress-window-linux.png in the build folder (and to $STRELL_SCREENSHOT_OUT when that is set)."""

import os
import re
import shutil
import subprocess
import time
import unittest

from e2e_support import InstallerTestCase
from strelltest import native, packages, servers

TITLE = "Downloading ASIO driver"
PACKAGE = "Tarnwell_Corvel_1.2.0.7.zip"
WAIT_S = 60


class ProgressWindowOnScreen(InstallerTestCase):
    def windows_titled(self, title):
        """Gives back the ids of the display's windows with that title (xwininfo reads either title
        property in any encoding)."""
        tree = subprocess.run(["xwininfo", "-display", self.display.display, "-root", "-tree"],
                              capture_output=True, text=True, timeout=30, check=True).stdout
        return re.findall(r"^\s*(0x[0-9a-f]+) \"" + re.escape(title) + "\"", tree, re.MULTILINE)

    def colours_in(self, image):
        result = subprocess.run(["identify", "-format", "%k", str(image)], capture_output=True, text=True,
                                timeout=30, check=True)
        return int(result.stdout.strip())

    def test_window_is_shown_while_downloading_and_gone_when_setup_runs(self):
        package = packages.make_driver_zip(
            self.scratch / PACKAGE, self.setup_program,
            extra=[(PACKAGE[:-4] + "/data/firmware.bin", os.urandom(4 * 1024 * 1024))])
        with servers.FaultServer(port=servers.LOOPBACK_PORT, pki=self.pki) as server:
            server.set_route(packages.CATALOGUE_PATH, servers.xml(self.catalogue(server.url("/drivers"), PACKAGE)))
            server.set_route("/drivers/" + PACKAGE, servers.Route(file=str(package), chunk_size=64 * 1024,
                                                                  chunk_delay=0.12))
            env = dict(os.environ, TMPDIR=str(self.tmp), DISPLAY=self.display.display,
                       FAKE_SETUP_RECORD=str(self.record), FAKE_SETUP_EXIT_CODE="21",
                       FAKE_SETUP_SLEEP_MS="3000")
            run = servers.popen_in_test_namespace([self.installer], env=env, cert_bundle=self.pki.bundle,
                                                  usb_tree=self.usb_tree, stdout=subprocess.PIPE,
                                                  stderr=subprocess.PIPE)
            try:
                shot = self.screenshot_of_window(run)
                windows_while_setup_runs = self.windows_once_setup_runs(run)
                stdout, stderr = run.communicate(timeout=WAIT_S)
            finally:
                servers.end_process_group(run)

        self.assertEqual(run.returncode, 21, stderr)
        self.assertEqual((stdout, stderr), (b"", b""))
        self.assertEqual(windows_while_setup_runs, [], "the progress window was open while setup ran")
        self.assertGreater(self.colours_in(shot), 8, "the window was not painted")
        self.assertEqual(native.temp_files(self.tmp), [])

        out = os.environ.get("STRELL_SCREENSHOT_OUT")
        if out:
            shutil.copyfile(shot, out)

    def screenshot_of_window(self, run):
        """Waits (bounded) for the window, then for it to be painted; saves and gives back a screenshot."""
        deadline = time.monotonic() + WAIT_S
        ids = []
        while not ids:
            self.assertIsNone(run.poll(), "the installer ended before its window was seen")
            self.assertLess(time.monotonic(), deadline, "the progress window never appeared")
            ids = self.windows_titled(TITLE)
            time.sleep(0.05)
        self.assertEqual(len(ids), 1, ids)

        shot = native.build_dir() / "progress-window-linux.png"
        time.sleep(1.5)  # let the message show a size received
        for _ in range(40):
            subprocess.run(["import", "-display", self.display.display, "-window", ids[0], str(shot)],
                           check=True, timeout=30, capture_output=True)
            if self.colours_in(shot) > 8:
                break
            time.sleep(0.1)
        return shot

    def windows_once_setup_runs(self, run):
        """Waits (bounded) until the setup program has written its record; gives back the windows titled
        like the progress window at that moment (the setup program is still sleeping then)."""
        deadline = time.monotonic() + WAIT_S
        while not self.record.exists() or not self.record.read_text().endswith("\n"):
            self.assertIsNone(run.poll(), "the installer ended without running the setup program")
            self.assertLess(time.monotonic(), deadline, "the setup program never ran")
            time.sleep(0.05)
        return self.windows_titled(TITLE)


if __name__ == "__main__":
    unittest.main(verbosity=2)

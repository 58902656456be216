"""The driver step's progress window, read back from inside the process (download-step-probe) while a real
download runs from a loopback HTTPS server, on an Xvfb display of its own; and the same step with no
display at all."""

import json
import os
import re
import unittest

from strelltest import native, packages, servers

TITLE = "Downloading ASIO driver"
LEAD = "Downloading... "  # the first message, before any size
MESSAGE = re.compile(r"^Downloading\.\.\. (?:(\d+) bytes|(\d+\.\d) (KB|MB))$")
UNIT = {"KB": 1024, "MB": 1024 * 1024}
PADDING_BYTES = 3 * 1024 * 1024


def message_size(message):
    """Takes a message; gives back the size it tells in bytes (KB and MB as their lower bound)."""
    match = MESSAGE.match(message)
    if match is None:
        return None
    if match.group(1) is not None:
        return int(match.group(1))
    return float(match.group(2)) * UNIT[match.group(3)]


class DownloadWindow(native.DisplayTestCase):
    scratch_prefix = "strell-window-"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.probe = native.program("download-step-probe")
        cls.model = native.supported_models()[0]

    def setUp(self):
        super().setUp()
        self.tmp = self.scratch / "tmp"
        self.tmp.mkdir()
        self.record = self.scratch / "record.jsonl"
        self.package = packages.make_driver_zip(
            self.scratch / "Tarnwell_Unit_1.0.0.1.zip", self.setup_program,
            extra=[("Tarnwell_Unit_1.0.0.1/data/firmware.bin", os.urandom(PADDING_BYTES))])

    def run_probe(self, server, package_route, display=True):
        server.set_route(packages.CATALOGUE_PATH, servers.xml(packages.catalogue(
            server.url("/drivers"), [packages.Entry(f"0x{self.model.product_id:04x}", self.package.name)])))
        server.set_route("/drivers/" + self.package.name, package_route)
        env = dict(os.environ, TMPDIR=str(self.tmp), FAKE_SETUP_RECORD=str(self.record),
                   FAKE_SETUP_EXIT_CODE="5")
        # With DISPLAY unset JUCE would try ":0", which another test's X server may be.
        env["DISPLAY"] = self.display.display if display else native.unused_display()
        result = servers.run_in_test_namespace([self.probe, str(self.model.slot)], env=env,
                                               cert_bundle=self.pki.bundle, timeout=180)
        self.assertEqual(result.returncode, 0, result.stderr.decode(errors="replace"))
        lines = result.stdout.decode().splitlines()
        observations = [json.loads(line) for line in lines if line.startswith("{")]
        ending = dict(line.split(" ", 1) for line in lines if not line.startswith("{"))
        return observations, int(ending["result"]), int(ending["windows-after"])

    def slow_package(self, **kwargs):
        return servers.Route(file=str(self.package), content_type="application/zip", body_delay=0.6,
                             chunk_size=256 * 1024, chunk_delay=0.15, **kwargs)

    def test_window_shows_the_size_received_while_the_package_downloads(self):
        with servers.FaultServer(port=servers.LOOPBACK_PORT, pki=self.pki) as server:
            observations, result, windows_after = self.run_probe(server, self.slow_package())

        self.assertEqual(result, 5)
        self.assertEqual(windows_after, 0)
        seen = [o["windows"] for o in observations if o["windows"]]
        self.assertTrue(seen, "the window was never seen while the download was polled")
        messages = []
        for windows in seen:
            self.assertEqual(len(windows), 1, windows)
            window = windows[0]
            self.assertEqual(window["title"], TITLE)
            self.assertTrue(window["visible"] and window["onDesktop"] and window["hasPeer"], window)
            self.assertFalse(window["modal"], window)
            self.assertEqual((window["progressBars"], window["buttons"], window["textEditors"],
                              window["comboBoxes"]), (1, 0, 0, 0), window)
            messages.append(window["message"])

        # The window answers from its showing on: it is seen with its first message while the catalogue
        # loads, then with the size received.
        self.assertEqual(messages[0], LEAD, messages)
        messages = [m for m in messages if m != LEAD]
        sizes = [message_size(m) for m in messages]
        self.assertNotIn(None, sizes, messages)
        self.assertIn("Downloading... 0 bytes", messages)
        self.assertTrue(any(m.endswith(" KB") for m in messages), messages)
        self.assertTrue(any(m.endswith(" MB") for m in messages), messages)
        self.assertEqual(sizes, sorted(sizes), messages)
        self.assertLessEqual(max(sizes), self.package.stat().st_size)

        records = native.read_records(self.record)
        self.assertEqual(len(records), 1)
        self.assertFalse(records[0]["windowOpen"], "the window was still open when the setup program ran")
        self.assertEqual(native.temp_files(self.tmp), [])

    def test_count_moves_every_second_on_a_slow_link(self):
        # 1 Mbit/s (125 KB/s), in small pieces: the count must change at least once a second throughout.
        route = servers.Route(file=str(self.package), content_type="application/zip", chunk_size=12500,
                              chunk_delay=0.1, send_bytes=600 * 1000, ending="reset")
        with servers.FaultServer(port=servers.LOOPBACK_PORT, pki=self.pki) as server:
            observations, result, _ = self.run_probe(server, route)

        self.assertEqual(result, -3)  # cut short on purpose after about five seconds
        changes = [(o["atMs"], o["windows"][0]["message"]) for o in observations if o["windows"]]
        moving = [(at, message) for at, message in changes if message_size(message)]
        self.assertGreater(len(moving), 4, changes)
        gaps = [later[0] - earlier[0] for earlier, later in zip(moving, moving[1:])]
        self.assertLessEqual(max(gaps), 1000, changes)

    def test_window_closes_when_the_download_breaks(self):
        size = self.package.stat().st_size
        with servers.FaultServer(port=servers.LOOPBACK_PORT, pki=self.pki) as server:
            observations, result, windows_after = self.run_probe(
                server, self.slow_package(send_bytes=size // 2, ending="reset"))

        self.assertEqual(result, -3)
        self.assertEqual(windows_after, 0)
        self.assertTrue(any(o["windows"] for o in observations), "the window was never seen")
        self.assertEqual(native.read_records(self.record), [])
        self.assertEqual(native.temp_files(self.tmp), [])

    def test_without_a_display_the_step_runs_without_a_window(self):
        with servers.FaultServer(port=servers.LOOPBACK_PORT, pki=self.pki) as server:
            observations, result, windows_after = self.run_probe(server, self.slow_package(), display=False)
            self.assertEqual(len(server.requests_for("/drivers/" + self.package.name)), 1)

        self.assertEqual(result, 5)
        self.assertEqual(windows_after, 0)
        self.assertTrue(observations, "the step did not poll the download")
        self.assertEqual([o for o in observations if o["windows"]], [])
        records = native.read_records(self.record)
        self.assertEqual(len(records), 1)
        self.assertEqual(native.temp_files(self.tmp), [])


if __name__ == "__main__":
    unittest.main(verbosity=2)

"""The Windows installer under Wine, from its start up to the driver step: exit codes as a Windows parent
reads them, the elevation check with a limited token, the ending of the companion applications, and the USB
scan against registry-made devices."""

import collections
import socket
import sys
import time
import unittest

from strelltest import wine
from strelltest.codes import DRIVER_PACKAGE_FAILED, NO_SUPPORTED_DEVICE, NOT_ELEVATED, WINDOWS, seen_by
from strelltest.servers import LOOPBACK_PORT

COMPANIONS = ["up5.exe", "UP5.EXE", "hx deck.exe", "unitpanel.exe", "UnitPanel.Exe", "HX DECK.EXE"]
NEAR_MISSES = ["hxdeck.exe", "up5.exe.bak.exe", "up5.exe.bak", "myup5.exe", "up5", "unitpanel.exe.exe",
               "up5.ex", "hx  deck.exe", "hx deck"]


class RunToDriverStep(wine.PrefixTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.installer = wine.tool("StrellDriverInstaller")
        cls.loopback_installer = wine.tool("StrellDriverInstaller-loopback")
        cls.sleeper = wine.tool("strell-sleep")
        cls.models = wine.supported_models(cls.prefix)
        cls.standin_count = 0

    def tearDown(self):
        self.prefix.remove_all_usb_devices()

    def start_standins(self, names):
        """Starts one sleeper per name under a watching launcher, each from a folder of its own (names that
        differ only in case would be one file to Wine); waits until all run; gives back [(name, Watched)]."""
        started = []
        for name in names:
            type(self).standin_count += 1
            folder = self.scratch / "standins" / str(self.standin_count)
            program = wine.copy_as(self.sleeper, folder, name)
            started.append((name, self.prefix.start_watched(program, ["120"], timeout=150)))
        wanted = collections.Counter(names)
        for _ in range(60):
            running = collections.Counter(self.prefix.process_names())
            if all(running[name] >= count for name, count in wanted.items()):
                return started
            time.sleep(0.5)
        self.fail(f"stand-ins did not all start: wanted {dict(wanted)}, running {dict(running)}")

    @staticmethod
    def exit_codes(started, timeout=30):
        """Gives back [(name, exit code)] of the given stand-ins, waiting (bounded) for each to end; None for
        one still running."""
        return [(name, watched.exit_code(timeout)) for name, watched in started]

    def end_survivors(self, names):
        pids = [pid for pid, name in self.prefix.processes() if name in names]
        self.prefix.end_processes(pids)

    def model(self, index=0):
        return self.models[index]

    def assert_code(self, result, expected):
        self.assertEqual(result.launcher_code, 0, f"launcher failed: {result.stderr}")
        self.assertEqual(result.exit_code, seen_by(WINDOWS, expected), f"stdout: {result.stdout!r} stderr: {result.stderr!r}")

    # Runs without a supported device

    def test_fresh_prefix_without_device_ends_with_no_supported_device(self):
        result = self.prefix.launch(self.installer)
        self.assert_code(result, NO_SUPPORTED_DEVICE)
        # Elevated (Wine's default token), so the elevation check writes nothing; no device, no "hex:" line.
        self.assertEqual(result.child_stdout.strip(), "")
        self.assertNotIn("hex:", result.stderr)

    def test_arguments_change_nothing(self):
        result = self.prefix.launch(self.installer, ["/S", "--help", "C:\\nothing here"])
        self.assert_code(result, NO_SUPPORTED_DEVICE)

    # Elevation

    def test_limited_token_ends_with_not_elevated_after_companions_are_ended(self):
        started = self.start_standins(["up5.exe", "hx deck.exe", "unitpanel.exe"])
        model = self.model()
        # A supported device would lead to the driver step if the scan ran: it must not.
        self.prefix.add_usb_device(model["vendor_id"], model["product_id"])
        result = self.prefix.launch(self.loopback_installer, limited=True)
        self.assertEqual(result.limited_elevated, 0, "the launcher's limited token is elevated")
        self.assert_code(result, NOT_ELEVATED)
        self.assertEqual(result.child_stdout.strip(), "", "a token that is merely not elevated writes nothing")
        # Ended by the installer with exit code 1 (a sleeper ends on its own with 0, after 120 s).
        self.assertEqual(self.exit_codes(started), [("up5.exe", 1), ("hx deck.exe", 1), ("unitpanel.exe", 1)])

    # Companion applications

    def test_companions_are_ended_by_whole_name_in_any_case(self):
        started = self.start_standins(COMPANIONS + ["up5.exe"] + NEAR_MISSES)
        try:
            result = self.prefix.launch(self.installer)
            self.assert_code(result, NO_SUPPORTED_DEVICE)
            companions = [entry for entry in started if entry[0] in COMPANIONS]
            self.assertEqual(self.exit_codes(companions), [(name, 1) for name, _ in companions])
            running = collections.Counter(self.prefix.process_names())
            for name in COMPANIONS:
                self.assertEqual(running[name], 0, f"{name} still runs")
            near_misses = [entry for entry in started if entry[0] in NEAR_MISSES]
            self.assertEqual([name for name, watched in near_misses if not watched.running()], [],
                             "ended though their names only resemble a companion's")
            for name in NEAR_MISSES:
                self.assertEqual(running[name], 1, f"{name} is not listed as running")
        finally:
            self.end_survivors(NEAR_MISSES)
        self.assertEqual([name for name, watched in started if watched.exit_code() is None], [],
                         "survivors were not ended")

    # USB scan

    def assert_nothing_listens_on_the_loopback_port(self):
        with socket.socket() as probe:
            self.assertNotEqual(probe.connect_ex(("127.0.0.1", LOOPBACK_PORT)), 0,
                                f"something listens on port {LOOPBACK_PORT}: the catalogue could be fetched")

    def test_supported_device_reaches_the_driver_step(self):
        self.assert_nothing_listens_on_the_loopback_port()
        temp = self.prefix.temp_dir()
        leftovers = set(temp.glob("temp_*"))
        first, last = self.model(0), self.model(len(self.models) - 1)
        vendor = f"VID_{first['vendor_id']:04X}"
        cases = {
            first["key_name"]: f"{vendor}&PID_{first['product_id']:04X}",
            last["key_name"]: f"{vendor}&PID_{last['product_id']:04X}",
            "interface suffix after the ids": f"{vendor}&PID_{first['product_id']:04X}&MI_00",
        }
        for label, device in cases.items():
            with self.subTest(label):
                self.prefix.add_usb_device_key(device)
                # Nothing listens on the loopback port: the catalogue cannot be fetched.
                result = self.prefix.launch(self.loopback_installer)
                self.assert_code(result, DRIVER_PACKAGE_FAILED)
                self.assertNotIn("hex:", result.stderr)
                self.assertTrue((temp / "Tarnwell" / "StrellDriver").is_dir(), "working folder not made")
                self.assertEqual(set(temp.glob("temp_*")), leftovers, "downloaded file left behind")
                self.prefix.remove_all_usb_devices()

    def test_unsupported_devices_are_not_found(self):
        supported = {model["product_id"] for model in self.models}
        vendor = self.model()["vendor_id"]
        unsupported_product = next(pid for pid in range(0x0001, 0x10000) if pid not in supported)
        other_vendor = next(vid for vid in range(0x1000, 0x10000) if vid != vendor)
        product = self.model()["product_id"]
        cases = {
            "unsupported product id of the maker": f"VID_{vendor:04X}&PID_{unsupported_product:04X}",
            "supported product id under another vendor": f"VID_{other_vendor:04X}&PID_{product:04X}",
        }
        short = [model for model in self.models if model["product_id"] < 0x1000]
        if short:  # ids below 0x1000 are matched with their leading zeros only
            cases["product id without its leading zeros"] = f"VID_{vendor:04X}&PID_{short[0]['product_id']:X}"
        for label, device in cases.items():
            with self.subTest(label):
                instance = self.prefix.add_usb_device_key(device)
                self.assertIn(instance, self.prefix.usb_devices(), "SetupAPI does not list the device")
                result = self.prefix.launch(self.loopback_installer)
                self.assert_code(result, NO_SUPPORTED_DEVICE)
                self.prefix.remove_all_usb_devices()

    def test_supported_device_beside_an_unsupported_one_is_found(self):
        supported = {model["product_id"] for model in self.models}
        vendor = self.model()["vendor_id"]
        unsupported_product = next(pid for pid in range(0x0001, 0x10000) if pid not in supported)
        self.prefix.add_usb_device(vendor, unsupported_product, "STRELLTEST1")
        self.prefix.add_usb_device(vendor, self.model(1)["product_id"], "STRELLTEST2")
        result = self.prefix.launch(self.loopback_installer)
        self.assert_code(result, DRIVER_PACKAGE_FAILED)


if __name__ == "__main__":
    sys.exit(0 if unittest.main(verbosity=2, exit=False).result.wasSuccessful() else 1)

"""Shared parts of the whole-run tests under Wine: driver packages and catalogues as the maker's server
holds them, and a test case class whose prefix trusts the test CA and runs the loopback installer with the
stand-in setup program recording each start."""

import json
import os
import zipfile
from pathlib import Path
from xml.sax.saxutils import quoteattr

from strelltest import servers, wine

DRIVER_PACKAGE_FAILED = 4294967293  # -3
SETUP_PROGRAM_MISSING = 4294967291  # -5
NO_SUPPORTED_DEVICE = 4294967292  # -4
CATALOGUE_PATH = "firmware/unitpanel/firmware/interfaces.xml"
DRIVER_FOLDER = "drivers"
LOOPBACK_ORIGIN = os.environ.get("STRELL_LOOPBACK_ORIGIN") or "https://localhost:18443"


def catalogue_xml(entries, base_url=LOOPBACK_ORIGIN + "/" + DRIVER_FOLDER):
    """Takes [(product id, driver file name)] and the base address; gives back the catalogue document."""
    lines = [f"<interfaces driverBaseUrl={quoteattr(base_url)}>"]
    for number, (product_id, driver) in enumerate(entries):
        lines.append(f'  <interface pid="0x{product_id:04x}" name="Model {number}" driver={quoteattr(driver)}'
                     ' file=""/>')
    lines.append("</interfaces>")
    return '<?xml version="1.0" encoding="UTF-8"?>\n' + "\n".join(lines) + "\n"


def package_stem(file_name):
    """The folder name a package's setup programs sit in: its file name without ".zip"."""
    return file_name[:-4] if file_name.lower().endswith(".zip") else file_name


def write_package(path, setup_program, subfolders, padding=0):
    """Writes a driver package zip at `path`: <stem>/<subfolder>/Setup.exe (the given program) for each
    subfolder, a readme, and `padding` bytes of incompressible filler (to make a download take a while)."""
    stem = package_stem(Path(path).name)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr(f"{stem}/readme.txt", "Driver package for tests.\r\n")
        for subfolder in subfolders:
            archive.write(setup_program, f"{stem}/{subfolder}/Setup.exe")
        if padding:
            archive.writestr(zipfile.ZipInfo(f"{stem}/filler.bin"), os.urandom(padding))
    return Path(path)


class InstallerRunCase(wine.PrefixTestCase):
    """A prefix that trusts the test CA and reports Windows 10, the loopback installer (or
    $STRELL_INSTALLER_EXE), the stand-in setup program, the supported models, and run_installer() for
    whole runs."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.pki = servers.make_pki(cls.scratch / "pki")
        cls.prefix.add_root_certificate(cls.pki.ca_der)
        cls.prefix.set_windows_version("win10")
        cls.installer = wine.installer_under_test()
        cls.fake_setup = wine.tool("fake-setup")
        cls.models = wine.supported_models(cls.prefix)
        cls.record = cls.scratch / "setup-record.jsonl"
        cls.temp = cls.prefix.temp_dir()
        cls.temp_windows = cls.prefix.run(["cmd", "/c", "echo %TEMP%"], check=True).stdout.strip()
        cls.working_folder = cls.temp / "Tarnwell" / "StrellDriver"

    @classmethod
    def serve_one_package(cls, package, subfolders):
        """Serves, with nginx on the loopback port until the class ends, a catalogue whose one entry names the
        package file for the first model, that package holding the stand-in setup program in each subfolder."""
        site = cls.scratch / "site"
        (site / DRIVER_FOLDER).mkdir(parents=True)
        write_package(site / DRIVER_FOLDER / package, cls.fake_setup, subfolders)
        (site / CATALOGUE_PATH).parent.mkdir(parents=True)
        (site / CATALOGUE_PATH).write_text(catalogue_xml([(cls.models[0]["product_id"], package)]))
        cls.server = servers.NginxServer(site, port=servers.LOOPBACK_PORT, pki=cls.pki, scratch=cls.scratch / "nginx")
        cls.server.start()
        cls.addClassCleanup(cls.server.stop)

    def tearDown(self):
        self.prefix.remove_all_usb_devices()

    def product_id(self, index):
        return self.models[index]["product_id"]

    def plug_in(self, index, instance="STRELLTEST1"):
        model = self.models[index]
        return self.prefix.add_usb_device(model["vendor_id"], model["product_id"], instance)

    def temp_files(self):
        """The installer's downloaded files ("temp_" + hex digits) in the Windows user's temporary folder."""
        return sorted(path.name for path in self.temp.glob("temp_*"))

    def run_installer(self, setup_env=None, timeout=180):
        """Runs the loopback installer through the launcher with FAKE_SETUP_* from `setup_env`; gives back
        (LaunchResult, the setup program's records of this run). Checks that no downloaded file is left."""
        if self.record.exists():
            self.record.unlink()
        before = self.temp_files()
        env = {"FAKE_SETUP_RECORD": self.prefix.windows_path(self.record)}
        env.update(setup_env or {})
        result = self.prefix.launch(self.installer, env=env, timeout=timeout)
        self.assertEqual(result.launcher_code, 0, f"launcher failed: {result.stderr}")
        self.assertEqual(self.temp_files(), before, "the downloaded file was left behind")
        records = []
        if self.record.exists():
            records = [json.loads(line) for line in self.record.read_text().splitlines() if line.strip()]
        return result, records

    def assert_ran_once(self, records, path):
        """Checks that the setup program ran once, by `path` (a Windows path, compared without case), with
        no arguments, and with no installer window open."""
        self.assertEqual(len(records), 1, records)
        record = records[0]
        self.assertEqual(record["path"].lower(), path.lower())
        self.assertEqual(record["argc"], 1, f"arguments were passed: {record['argv']}")
        # Started by its full path alone: nothing added around it (the test paths have no blanks).
        self.assertEqual(record["commandLine"].lower(), path.lower())
        self.assertFalse(record["windowOpen"], "the progress window was open while the setup program ran")
        return record

    def windows_temp_path(self, *parts):
        """The Windows path of a file below the Windows user's temporary folder."""
        return "\\".join([self.temp_windows, *parts])

"""Shared parts of the whole-run tests under Wine: a test case class whose prefix trusts the test CA and runs
the loopback installer with the stand-in setup program recording each start, and the catalogues it serves."""

from strelltest import native, packages, servers, wine


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
    def catalogue(cls, entries):
        """Takes [(product id, driver file name)]; gives back a catalogue naming the packages on the loopback
        server."""
        return packages.catalogue(servers.LOOPBACK_ORIGIN + packages.DRIVER_FOLDER, [
            packages.Entry(f"0x{product_id:04x}", driver, f"Model {number}")
            for number, (product_id, driver) in enumerate(entries)])

    @classmethod
    def serve_site(cls, entries, files):
        """Serves, with nginx on the loopback port until the class ends, the catalogue of `entries` (as for
        catalogue()) and `files` ({file name: bytes or path}) in the driver folder. Gives back the server."""
        site = packages.write_site(cls.scratch / "site", cls.catalogue(entries), files)
        cls.server = servers.NginxServer(site, port=servers.LOOPBACK_PORT, pki=cls.pki, scratch=cls.scratch / "nginx")
        cls.server.start()
        cls.addClassCleanup(cls.server.stop)
        return cls.server

    @classmethod
    def serve_one_package(cls, package, subfolders):
        """Serves a catalogue whose one entry names the package file for the first model, that package holding
        the stand-in setup program in each subfolder."""
        zipped = packages.make_driver_zip(cls.scratch / "packages" / package, cls.fake_setup, subfolder=subfolders,
                                          readme=True)
        cls.serve_site([(cls.models[0]["product_id"], package)], {package: zipped})

    def tearDown(self):
        self.prefix.remove_all_usb_devices()

    def product_id(self, index):
        return self.models[index]["product_id"]

    def plug_in(self, index, instance="STRELLTEST1"):
        model = self.models[index]
        return self.prefix.add_usb_device(model["vendor_id"], model["product_id"], instance)

    def temp_files(self):
        """The installer's downloaded files ("temp_" + hex digits) in the Windows user's temporary folder."""
        return native.temp_files(self.temp)

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
        return result, native.read_records(self.record)

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

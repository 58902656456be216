"""DLLs planted beside the Windows installer, as in a Downloads folder, under the names of the system DLLs it
uses that are not known DLLs: with Wine told to prefer a DLL found beside the exe (as Windows does for such
DLLs), a program that does not limit its DLL search loads them, and the installer, through a whole run,
loads none of them and every DLL it loads comes from the Windows folder."""

import sys
import unittest

from strelltest import wine
from strelltest.packages import package_stem
from wine_runs import InstallerRunCase

PLANTED = ["version", "winmm", "wininet", "dxgi", "wsock32"]
PACKAGE = "Tarnwell_Full_Package_2.4.0.1.zip"
SYSTEM_FOLDERS = ("c:\\windows\\system32\\", "c:\\windows\\winsxs\\")


class PlantedDlls(InstallerRunCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.serve_one_package(PACKAGE, ["x64_Win10", "x64"])
        # The installer, as a user downloads it, with the planted DLLs beside it.
        cls.downloads = cls.scratch / "Downloads"
        cls.installer = wine.copy_as(cls.installer, cls.downloads, cls.installer.name)
        cls.loader = wine.copy_as(wine.tool("strell-load-library"), cls.downloads, "strell-load-library.exe")
        planted_dll = wine.library("strell-planted-dll")
        for name in PLANTED:
            wine.copy_as(planted_dll, cls.downloads, name + ".dll")
        cls.planted_prefix = cls.prefix.windows_path(cls.downloads).lower() + "\\"

    def setUp(self):
        for marker in self.downloads.glob("*.loaded"):
            marker.unlink()

    def markers(self):
        """Gives back {planted DLL file name: [exe paths that loaded it]} from the markers it left."""
        return {marker.name[: -len(".loaded")]: marker.read_text().splitlines()
                for marker in sorted(self.downloads.glob("*.loaded"))}

    def modules_of(self, log, exe):
        """Gives back the modules that the process running `exe` (a Linux path) loaded, by the trace in `log`."""
        exe_path = self.prefix.windows_path(exe).lower()
        processes = [modules for modules in wine.loaded_modules(log).values() if modules[0].path.lower() == exe_path]
        self.assertEqual(len(processes), 1, f"expected one process of {exe_path} in the trace")
        return processes[0]

    def test_program_without_a_limit_loads_the_planted_dlls(self):
        # The planted DLLs, the override and the markers work: a bare-name LoadLibrary takes the planted files.
        names = [name + ".dll" for name in PLANTED]
        done = self.prefix.run([self.loader, *names], env=wine.dll_trace_env(PLANTED))
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr[-2000:])
        found = dict(line.split("\t") for line in done.stdout.splitlines() if "\t" in line)
        expected = {name: self.prefix.windows_path(self.downloads / name) for name in names}
        self.assertEqual({name: path.lower() for name, path in found.items()},
                         {name: path.lower() for name, path in expected.items()})
        loader_path = self.prefix.windows_path(self.loader).lower()
        self.assertEqual({name: [path.lower() for path in paths] for name, paths in self.markers().items()},
                         {name: [loader_path] for name in names})
        modules = self.modules_of(done.stderr, self.loader)
        native = [module.path.lower() for module in modules if module.kind == "native"]
        self.assertEqual(native, [loader_path] + [path.lower() for path in expected.values()])

    def test_whole_run_loads_no_planted_dll(self):
        self.plug_in(0)
        env = {"FAKE_SETUP_EXIT_CODE": "5", **wine.dll_trace_env(PLANTED)}
        result, records = self.run_installer(env)
        self.assertEqual(result.exit_code, 5, result.stderr[-3000:])
        setup_path = self.windows_temp_path("Tarnwell", "StrellDriver", package_stem(PACKAGE), "x64_Win10", "Setup.exe")
        self.assert_ran_once(records, setup_path)
        self.assertEqual(self.markers(), {}, "a planted DLL ran its DllMain")
        modules = self.modules_of(result.stderr, self.installer)
        planted = [module.path for module in modules if module.path.lower().startswith(self.planted_prefix)]
        self.assertEqual(planted, [self.prefix.windows_path(self.installer)], "loaded from beside the installer")
        foreign = [module.path for module in modules[1:] if not module.path.lower().startswith(SYSTEM_FOLDERS)]
        self.assertEqual(foreign, [], "DLLs loaded from outside the Windows folder")
        # The DLLs were needed in this run (winmm from a static constructor, wininet for the download) and
        # came from System32.
        loaded = {module.path.lower() for module in modules}
        for name in ("version", "winmm", "wininet"):
            self.assertIn(f"c:\\windows\\system32\\{name}.dll", loaded)


if __name__ == "__main__":
    sys.exit(0 if unittest.main(verbosity=2, exit=False).result.wasSuccessful() else 1)

"""Running the Windows build under Wine 8 for tests.

What this module gives:

- ``Xvfb``: an X server of our own on a free display number (chosen by Xvfb itself through -displayfd),
  for Wine's windows; ``screenshot()`` saves the root window; ``stop()`` ends it by its pid.
- ``WinePrefix``: a fresh 64-bit prefix in a scratch folder. ``create()`` runs ``wineboot --init`` (bounded),
  tells Wine's X11 driver that no window manager runs, and waits for the prefix's wineserver to settle. Then:
    ``run()``                   runs a Windows program (``wine ...``) to its end, bounded, output captured;
    ``start()``                 starts one in the background (``subprocess.Popen``);
    ``start_watched()``         starts one in the background under strell-launch, whose ``exit_code()`` then
                                tells the code its Windows parent read (e.g. stand-in applications);
    ``launch()``                runs a program through strell-launch, as a Windows parent would, and gives
                                back the 32-bit exit code that GetExitCodeProcess reads (``LaunchResult``);
    ``add_usb_device()`` / ``add_usb_device_key()`` / ``remove_usb_device()`` / ``remove_all_usb_devices()``
                                make a USB device appear to SetupAPI through the registry (and take it away:
                                the key survives ``wineserver -k``, so remove it after each test);
    ``set_windows_version()``   what the prefix reports as its Windows version ("win10", "win81", "win7";
                                None for the prefix default, which for Debian's Wine 8 is Windows 7), both
                                through RtlGetVersion and as kernel32.dll's file version (which Wine keeps
                                at 10.0: other versions run a private Wine tree, see make_wine_tree);
    ``windows_versions()``      both of those as a program in the prefix sees them;
    ``add_root_certificate()``  trusts a CA (PEM or DER file) in the prefix's LocalMachine Root store;
    ``processes()`` / ``end_processes()``
                                the running Windows processes as (pid, exe name), and ending some by pid;
    ``windows()``               the visible top-level windows with a title, as (pid, title);
    ``usb_devices()``           the USB-class instance ids SetupAPI lists, in its enumeration order;
    ``temp_dir()``              the Linux path of the Windows user's temporary folder;
    ``windows_path()``          a Linux path as Wine's Z: drive names it;
    ``stop()``                  ends everything in the prefix (``wineserver -k``) and waits for the server.
- ``PrefixTestCase``: a unittest base class with one prefix on one Xvfb display for all of a class's tests.
- ``supported_models()``: the supported-model table as the built model-table tool prints it.
- ``make_wine_tree()``: a private Wine (symlinks to Debian's) whose kernel32.dll carries another version.
- ``tool()`` / ``library()`` / ``build_dir()``: the executables and DLLs of the build under test
  ($STRELL_BUILD_DIR).
- ``dll_trace_env()`` / ``loaded_modules()``: an environment that makes Wine log every module a process
  loads (optionally preferring DLLs found beside the exe, as Windows does for DLLs that are not known DLLs),
  and that log read back per process.
- ``installer_under_test()``: the installer the whole runs exercise: $STRELL_INSTALLER_EXE (e.g. a signed
  copy) when set, else the build's loopback variant.

Every wait is bounded. Everything runs with WINEDEBUG=-all, without Mono/Gecko installs, and on an Xvfb
display of our own when one is given. Only processes started here are ended, and only by pid or through
the prefix's own wineserver.
"""

import os
import re
import select
import shutil
import ssl
import struct
import subprocess
import tempfile
import time
import unittest
from dataclasses import dataclass
from pathlib import Path

USB_CLASS_GUID = "{36FC9E60-C465-11CF-8056-444553540000}"
USB_ENUM_KEY = r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\USB"
# Debian's Wine 8 (package wine64): the loader, its libraries and its data, found by their relative places.
DEBIAN_WINE_LOADER = Path("/usr/lib/wine/wine64")
DEBIAN_WINE_LIBS = Path("/usr/lib/x86_64-linux-gnu/wine")
DEBIAN_WINE_SHARE = Path("/usr/share/wine")
# Wine 8's kernel32.dll says 10.0.18362 whatever the prefix's Windows version; on Windows its file version
# is the system's. Versions other than Windows 10 get a private Wine tree whose kernel32.dll says theirs.
KERNEL32_VERSIONS = {"win81": (6, 3, 9600, 0), "win8": (6, 2, 9200, 0), "win7": (6, 1, 7601, 0)}
BOOT_TIMEOUT = 240
REGEDIT_ATTEMPTS = 3
COMMAND_TIMEOUT = 120
SERVER_WAIT_TIMEOUT = 60
# No Mono or Gecko install prompts in a fresh prefix.
DEFAULT_DLL_OVERRIDES = "mscoree,mshtml="
# One line of WINEDEBUG=+pid,+loaddll: process id, thread id, then the module's path and its kind.
LOADDLL_LINE = re.compile(r'^([0-9a-f]+):([0-9a-f]+):trace:loaddll:\w+ Loaded L"((?:[^"\\]|\\.)*)" at \S+: (\w+)',
                          re.MULTILINE)


class WineError(RuntimeError):
    """A Wine step that the tests rely on did not work."""


def build_dir():
    """Gives back the build folder under test (a Path), from $STRELL_BUILD_DIR."""
    value = os.environ.get("STRELL_BUILD_DIR")
    if not value:
        raise WineError("STRELL_BUILD_DIR is not set")
    return Path(value)


def tool(name):
    """Takes a target name; gives back the Path of its .exe at the top of the build folder (must exist)."""
    path = build_dir() / (name + ".exe")
    if not path.is_file():
        raise WineError(f"{path} has not been built")
    return path


def library(name):
    """Takes a DLL target's name; gives back the Path of its .dll at the top of the build folder (must exist)."""
    path = build_dir() / (name + ".dll")
    if not path.is_file():
        raise WineError(f"{path} has not been built")
    return path


def dll_trace_env(native_first=()):
    """Takes DLL names (without ".dll"); gives back environment entries for WinePrefix.run/launch that make
    Wine log each module load with the process id (see loaded_modules) and, for the named DLLs, prefer a
    native DLL found by the search order (the exe's folder first) to Wine's builtin one, as Windows does for
    DLLs that are not known DLLs."""
    overrides = DEFAULT_DLL_OVERRIDES
    if native_first:
        overrides += ";" + ",".join(native_first) + "=n,b"
    return {"WINEDEBUG": "+pid,+loaddll", "WINEDLLOVERRIDES": overrides}


@dataclass
class LoadedModule:
    """One module load that Wine logged under dll_trace_env()."""
    pid: int
    path: str  # the Windows path, as the loader found it
    kind: str  # "native" (a PE file from disk) or "builtin" (Wine's own)


def loaded_modules(log):
    """Takes standard error of a run under dll_trace_env(); gives back {pid: [LoadedModule...]} in load order,
    for every process that logged (the exe itself is each process's first entry)."""
    processes = {}
    for match in LOADDLL_LINE.finditer(log):
        path = re.sub(r"\\(.)", r"\1", match.group(3))
        pid = int(match.group(1), 16)
        processes.setdefault(pid, []).append(LoadedModule(pid, path, match.group(4)))
    return processes


def installer_under_test():
    """Gives back the Path of the installer whole runs exercise: $STRELL_INSTALLER_EXE when set (it must
    exist), else the built StrellDriverInstaller-loopback.exe."""
    value = os.environ.get("STRELL_INSTALLER_EXE")
    if not value:
        return tool("StrellDriverInstaller-loopback")
    path = Path(value)
    if not path.is_file():
        raise WineError(f"STRELL_INSTALLER_EXE names no file: {path}")
    return path


class Xvfb:
    """An X server on a display number of its own choosing; usable as a context manager."""

    def __init__(self, screen="1024x768x24"):
        self.screen = screen
        self.process = None
        self.display = None

    def start(self, timeout=30):
        """Starts Xvfb and waits (bounded) until it names its display; gives back ":N"."""
        read_end, write_end = os.pipe()
        try:
            self.process = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", self.screen, "-nolisten", "tcp",
                 "-noreset"],
                pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL)
            os.close(write_end)
            write_end = None
            text = b""
            deadline = time.monotonic() + timeout
            while not text.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or self.process.poll() is not None:
                    self.stop()
                    raise WineError("Xvfb did not start")
                ready, _, _ = select.select([read_end], [], [], left)
                if ready:
                    chunk = os.read(read_end, 64)
                    if not chunk:
                        self.stop()
                        raise WineError("Xvfb closed its display pipe without a number")
                    text += chunk
        finally:
            os.close(read_end)
            if write_end is not None:
                os.close(write_end)
        self.display = ":" + text.decode().strip()
        return self.display

    def screenshot(self, path, timeout=30):
        """Saves the whole screen to the given image file (PNG by its name) with ImageMagick's import."""
        subprocess.run(["import", "-display", self.display, "-window", "root", str(path)],
                       check=True, timeout=timeout, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    def stop(self):
        """Ends our Xvfb by its pid and waits for it (bounded)."""
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)
        self.process = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()


@dataclass
class LaunchResult:
    """What strell-launch reported for one child run."""
    launcher_code: int       # strell-launch's own exit code as Linux sees it (0 = the child's code was read)
    exit_code: object        # the child's 32-bit exit code, unsigned, or None when none was read
    limited_elevated: object  # with limited=True: the limited token's TokenIsElevated (0/1), else None
    stdout: str              # everything on standard output: the child's and the launcher's lines
    stderr: str

    @property
    def child_stdout(self):
        """The standard output without the launcher's own lines."""
        text = re.sub(r"(?m)^limited-token-elevated: \d+\n", "", self.stdout)
        return re.sub(r"\n?exit-code: \d+\n?$", "", text)


class Watched:
    """A program running in the background under strell-launch (see WinePrefix.start_watched)."""

    def __init__(self, process, output):
        self.process = process
        self._output = output  # the launcher's standard output, a temporary file
        self._text = None

    def running(self):
        """Gives back whether the launcher (and so the program) is still running."""
        return self.process.poll() is None

    def exit_code(self, timeout=30):
        """Waits (bounded) for the program's end; gives back its 32-bit exit code as its Windows parent read
        it, or None when it did not end in time or no code was read."""
        if self._text is None:
            try:
                self.process.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                return None
            self._output.seek(0)
            self._text = _text(self._output.read())
            self._output.close()
        codes = re.findall(r"(?m)^exit-code: (\d+)$", self._text)
        return int(codes[-1]) if codes else None

    def close(self):
        """Forgets the output of a program that has ended or been ended."""
        if self._text is None:
            self._text = ""
            self._output.close()


class WinePrefix:
    """One fresh Wine prefix in a folder of its own; usable as a context manager (create .. stop)."""

    def __init__(self, path, display=None):
        self.path = Path(path)
        self.display = display
        self.loader = None  # a private Wine tree's loader (see set_windows_version), or None for Debian's
        self._temp_dir = None
        self._background = []
        self._watched = []

    @property
    def env(self):
        """The environment for Wine commands in this prefix (a new dict each time)."""
        env = dict(os.environ)
        env.update({
            "WINEPREFIX": str(self.path),
            "WINEARCH": "win64",
            "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": DEFAULT_DLL_OVERRIDES,
        })
        if self.loader is not None:
            env["WINELOADER"] = str(self.loader)
        else:
            env.pop("WINELOADER", None)
        if self.display:
            env["DISPLAY"] = self.display
        else:
            env.pop("DISPLAY", None)
        return env

    @property
    def _wine(self):
        return [str(self.loader)] if self.loader is not None else ["wine"]

    def _env_with(self, extra):
        env = self.env
        env.update(extra or {})
        return env

    def create(self, timeout=BOOT_TIMEOUT):
        """Makes the prefix with wineboot (bounded) and waits for its wineserver to finish its work."""
        self.path.mkdir(parents=True, exist_ok=True)
        done = subprocess.run(["wineboot", "--init"], env=self.env, timeout=timeout,
                              stdin=subprocess.DEVNULL, capture_output=True)
        if done.returncode != 0 or not (self.path / "system.reg").is_file():
            raise WineError(f"wineboot --init failed ({done.returncode}): {done.stderr.decode(errors='replace')}")
        # No window manager runs on our Xvfb; Wine would wait 2 s for one each time it hides a window.
        self.run(["reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/t", "REG_SZ", "/d", "N",
                  "/f"], check=True)
        self.wait_server()
        return self

    def wait_server(self, timeout=SERVER_WAIT_TIMEOUT):
        """Waits (bounded) until the prefix's wineserver has no more clients and has ended."""
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=timeout, stdin=subprocess.DEVNULL,
                       capture_output=True)

    def stop(self):
        """Ends every process of the prefix through its own wineserver and waits for the server to end."""
        if not (self.path / "system.reg").is_file():
            return
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=SERVER_WAIT_TIMEOUT,
                       stdin=subprocess.DEVNULL, capture_output=True)
        try:
            self.wait_server()
        except subprocess.TimeoutExpired:
            pass
        for process in self._background:
            try:
                process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(timeout=10)
        self._background = []
        for watched in self._watched:
            watched.close()
        self._watched = []

    def __enter__(self):
        return self.create()

    def __exit__(self, *exc):
        self.stop()

    # Running programs

    def run(self, args, timeout=COMMAND_TIMEOUT, env=None, check=False):
        """Runs `wine <args>` to its end (bounded); gives back a CompletedProcess with text output."""
        # Output goes to files, not pipes: Wine's system processes, started by whichever command comes
        # first, inherit its standard handles and would hold a pipe open for seconds after it has ended.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            done = subprocess.run([*self._wine, *map(str, args)], env=self._env_with(env), timeout=timeout,
                                  stdin=subprocess.DEVNULL, stdout=out, stderr=err)
            out.seek(0)
            err.seek(0)
            result = subprocess.CompletedProcess(done.args, done.returncode, _text(out.read()), _text(err.read()))
        if check and done.returncode != 0:
            raise WineError(f"{' '.join(result.args)} ended with {done.returncode}: {result.stderr}")
        return result

    def start(self, args, env=None):
        """Starts `wine <args>` in the background; gives back its Popen (ended by stop() at the latest).
        Its Linux exit status does not tell a Windows exit code: use start_watched for that."""
        process = subprocess.Popen([*self._wine, *map(str, args)], env=self._env_with(env), stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self._background.append(process)
        return process

    def start_watched(self, program, args=(), timeout=300, env=None):
        """Starts a program in the background under strell-launch, which ends it after `timeout` seconds at
        the latest; gives back a Watched whose exit_code() is the program's code as its Windows parent read
        it."""
        command = [*self._wine, str(tool("strell-launch")), "--timeout-ms", str(int(timeout * 1000)), "--",
                   self.windows_path(program) if isinstance(program, Path) else program, *map(str, args)]
        output = tempfile.TemporaryFile()  # a file, not a pipe: see run()
        process = subprocess.Popen(command, env=self._env_with(env), stdin=subprocess.DEVNULL, stdout=output,
                                   stderr=subprocess.DEVNULL)
        self._background.append(process)
        self._watched.append(Watched(process, output))
        return self._watched[-1]

    def launch(self, program, args=(), limited=False, timeout=180, env=None):
        """Runs a program through strell-launch, bounded by `timeout` seconds (the launcher ends the child
        a little earlier itself); gives back a LaunchResult with the child's exit code as a Windows parent
        reads it. Linux paths are passed as Z: paths."""
        command = [tool("strell-launch")]
        if limited:
            command.append("--limited")
        command += ["--timeout-ms", str(max(1, int(timeout) - 15) * 1000), "--"]
        command += [self.windows_path(program) if isinstance(program, Path) else program, *args]
        done = self.run(command, timeout=timeout, env=env)
        codes = re.findall(r"(?m)^exit-code: (\d+)$", done.stdout)
        elevated = re.findall(r"(?m)^limited-token-elevated: (\d)$", done.stdout)
        return LaunchResult(done.returncode, int(codes[-1]) if codes else None,
                            int(elevated[0]) if elevated else None, done.stdout, done.stderr)

    # Paths

    @staticmethod
    def windows_path(path):
        """Takes a Linux path; gives back the same file as Wine's Z: drive names it."""
        return "Z:" + str(Path(path).resolve()).replace("/", "\\")

    def temp_dir(self):
        """Gives back the Linux Path of the Windows user's temporary folder (%TEMP%) in this prefix."""
        if self._temp_dir is None:
            windows = self.run(["cmd", "/c", "echo %TEMP%"], check=True).stdout.strip()
            match = re.fullmatch(r"([A-Za-z]):\\(.*)", windows)
            if not match:
                raise WineError(f"unexpected %TEMP%: {windows!r}")
            drive = self.path / "dosdevices" / (match.group(1).lower() + ":")
            self._temp_dir = Path(os.path.realpath(drive)).joinpath(*match.group(2).split("\\"))
        return self._temp_dir

    # Registry

    def import_reg(self, text):
        """Takes the body of a .reg file (after its header line); imports it with regedit /S."""
        body = "Windows Registry Editor Version 5.00\r\n\r\n" + text.replace("\r\n", "\n").replace("\n", "\r\n")
        with tempfile.NamedTemporaryFile(suffix=".reg", dir=self.path, delete=False) as file:
            file.write(b"\xff\xfe" + body.encode("utf-16-le"))  # regedit wants UTF-16LE with a BOM
            name = file.name
        try:
            # Wine's regedit now and then ends with 1 and no message when runs follow each other closely
            # (seen in the fault matrix); the import is idempotent, so it is tried again, a few times.
            for _ in range(REGEDIT_ATTEMPTS):
                done = self.run(["regedit", "/S", self.windows_path(name)])
                if done.returncode == 0:
                    break
                time.sleep(1)
            else:
                raise WineError(f"{' '.join(done.args)} ended with {done.returncode}: {done.stderr}")
        finally:
            os.unlink(name)

    def reg_query(self, key, value=None):
        """Gives back the text of `reg query <key> [/v value]`, or None when the key or value is absent."""
        args = ["reg", "query", key] + (["/v", value] if value is not None else [])
        done = self.run(args)
        return done.stdout if done.returncode == 0 else None

    def add_usb_device(self, vendor_id, product_id, instance="STRELLTEST1"):
        """Makes SetupAPI list a present USB-class device with instance id
        USB\\VID_vvvv&PID_pppp\\<instance>; gives back that instance id."""
        return self.add_usb_device_key(f"VID_{vendor_id:04X}&PID_{product_id:04X}", instance)

    def add_usb_device_key(self, device, instance="STRELLTEST1"):
        """Makes SetupAPI list a present USB-class device whose instance id is USB\\<device>\\<instance>,
        spelled as given (Wine reports it in capitals); gives back that instance id."""
        self.import_reg(f"[{USB_ENUM_KEY}\\{device}\\{instance}]\n\"ClassGUID\"=\"{USB_CLASS_GUID}\"\n\n")
        if self.reg_query(f"{USB_ENUM_KEY}\\{device}\\{instance}", "ClassGUID") is None:
            raise WineError(f"device key {device}\\{instance} was not written")
        return f"USB\\{device}\\{instance}".upper()

    def remove_usb_device(self, vendor_id, product_id):
        """Deletes the registry key of a device made by add_usb_device (all its instances)."""
        device = f"VID_{vendor_id:04X}&PID_{product_id:04X}"
        self.import_reg(f"[-{USB_ENUM_KEY}\\{device}]\n\n")
        if self.reg_query(f"{USB_ENUM_KEY}\\{device}") is not None:
            raise WineError(f"device key {device} is still there")

    def remove_all_usb_devices(self):
        """Deletes every USB device key in the prefix (a fresh prefix has none)."""
        self.import_reg(f"[-{USB_ENUM_KEY}]\n\n")

    def set_windows_version(self, version):
        """Makes the prefix report the given Windows version, Wine's names: "win10", or one of
        KERNEL32_VERSIONS ("win81", "win8", "win7"); None for the prefix default (Debian's Wine 8: Windows 7
        through RtlGetVersion, but 10.0 as kernel32.dll's file version). Wine 8.0 does not know "win11".
        Sets HKCU\\Software\\Wine\\Version (RtlGetVersion, GetVersionEx) and, since Wine's kernel32.dll
        always carries 10.0, switches to a private Wine tree whose kernel32.dll carries the same version
        (make_wine_tree, in the scratch folder beside the prefix). A switch of trees ends the prefix's
        processes first, so that every later process loads the tree's kernel32.dll."""
        if version is not None and version != "win10" and version not in KERNEL32_VERSIONS:
            raise WineError(f"no kernel32.dll version known for {version}")
        if version is None:
            self.run(["reg", "delete", r"HKCU\Software\Wine", "/v", "Version", "/f"])
        else:
            self.run(["reg", "add", r"HKCU\Software\Wine", "/v", "Version", "/t", "REG_SZ", "/d", version, "/f"],
                     check=True)
        loader = None
        if version in KERNEL32_VERSIONS:
            loader = make_wine_tree(self.path.parent / f"wine-{version}", KERNEL32_VERSIONS[version])
        if loader != self.loader:
            self.stop()
            self.loader = loader

    def windows_versions(self):
        """Gives back {"rtl": "a.b.c", "kernel32": "a.b.c.d"}: the Windows version as RtlGetVersion tells it
        and as kernel32.dll's file version does, seen by a program in this prefix."""
        text = self.run([tool("strell-windows-version")], check=True).stdout
        return dict(re.findall(r"(?m)^(rtl|kernel32): ([\d.]+)$", text))

    # Certificates

    def add_root_certificate(self, certificate):
        """Takes a CA certificate file (PEM or DER); adds it to the LocalMachine Root store of the prefix;
        gives back its SHA-1 thumbprint as upper-case hex."""
        data = Path(certificate).read_bytes()
        if b"-----BEGIN CERTIFICATE-----" in data:
            data = ssl.PEM_cert_to_DER_cert(data.decode("ascii"))
        with tempfile.NamedTemporaryFile(suffix=".der", dir=self.path, delete=False) as file:
            file.write(data)
            name = file.name
        try:
            done = self.run([tool("strell-add-root-cert"), self.windows_path(name)])
        finally:
            os.unlink(name)
        match = re.search(r"(?m)^added: ([0-9A-F]{40})$", done.stdout)
        if done.returncode != 0 or not match:
            raise WineError(f"adding the root certificate failed ({done.returncode}): {done.stderr}")
        return match.group(1)

    # Processes

    def processes(self):
        """Gives back the running Windows processes of the prefix as a list of (pid, exe name)."""
        done = self.run([tool("strell-processes")], check=True)
        listed = []
        for line in done.stdout.splitlines():
            pid, _, name = line.partition("\t")
            if pid.isdigit():
                listed.append((int(pid), name))
        return listed

    def windows(self):
        """Gives back the visible top-level windows that have a title, as a list of (pid, title)."""
        done = self.run([tool("strell-processes"), "--windows"], check=True)
        listed = []
        for line in done.stdout.splitlines():
            pid, _, title = line.partition("\t")
            if pid.isdigit():
                listed.append((int(pid), title))
        return listed

    def usb_devices(self):
        """Gives back the instance ids of the present USB-class devices in SetupAPI's enumeration order."""
        return self.run([tool("strell-usb-devices")], check=True).stdout.split()

    def process_names(self):
        """Gives back the exe names of the running Windows processes (with repeats)."""
        return [name for _, name in self.processes()]

    def end_processes(self, pids):
        """Ends the given Windows processes (by pid) and waits for them; raises when one did not end."""
        pids = [str(pid) for pid in pids]
        if pids:
            self.run([tool("strell-processes"), "--end", *pids], check=True)


def supported_models(prefix=None):
    """Gives back the supported-model table as the build's model-table tool prints it: a list of dicts
    with slot, vendor_id, product_id (ints), key_name and display_name. Uses the Windows tool in the given
    prefix, or the Linux one when the build folder has that."""
    native = build_dir() / "model-table"
    if native.is_file():
        text = subprocess.run([str(native)], check=True, capture_output=True, timeout=60).stdout.decode()
    elif prefix is not None:
        text = prefix.run([tool("model-table")], check=True).stdout
    else:
        raise WineError("no model-table tool in the build folder")
    models = []
    for line in text.splitlines():
        fields = line.rstrip("\r").split("\t")
        if len(fields) == 5 and fields[0].strip().isdigit():
            models.append({"slot": int(fields[0]), "vendor_id": int(fields[1], 16), "product_id": int(fields[2], 16),
                           "key_name": fields[3], "display_name": fields[4]})
    if not models:
        raise WineError(f"model-table printed no rows: {text[:200]!r}")
    return models


def make_wine_tree(folder, kernel32_version):
    """Takes a folder and a file version (a, b, c, d); builds there (once) a private Wine: Debian's Wine 8
    through symlinks, except for real copies of the loader and ntdll.so (Wine finds its libraries from their
    real locations) and of kernel32.dll, whose version resources are changed to say that version. Gives back
    the Path of its wine64 loader. Nothing outside the folder is changed."""
    folder = Path(folder)
    loader = folder / "lib" / "wine" / "wine64"
    if loader.is_file():
        return loader
    for needed in (DEBIAN_WINE_LOADER, DEBIAN_WINE_LIBS / "x86_64-unix" / "ntdll.so", DEBIAN_WINE_SHARE):
        if not needed.exists():
            raise WineError(f"{needed} is missing: not Debian's Wine 8 layout")
    partial = folder.with_name(folder.name + ".partial")
    shutil.rmtree(partial, ignore_errors=True)
    libs = partial / "lib" / "x86_64-linux-gnu" / "wine"
    (partial / "lib" / "wine").mkdir(parents=True)
    shutil.copy2(DEBIAN_WINE_LOADER, partial / "lib" / "wine" / "wine64")
    (partial / "share").mkdir()
    (partial / "share" / "wine").symlink_to(DEBIAN_WINE_SHARE)
    for part in sorted(DEBIAN_WINE_LIBS.iterdir()):
        if part.name in ("x86_64-unix", "x86_64-windows"):
            (libs / part.name).mkdir(parents=True)
            for entry in part.iterdir():
                (libs / part.name / entry.name).symlink_to(entry)
        else:
            libs.mkdir(parents=True, exist_ok=True)
            (libs / part.name).symlink_to(part)
    ntdll = libs / "x86_64-unix" / "ntdll.so"
    ntdll.unlink()
    shutil.copy2(DEBIAN_WINE_LIBS / "x86_64-unix" / "ntdll.so", ntdll)
    kernel32 = libs / "x86_64-windows" / "kernel32.dll"
    kernel32.unlink()
    kernel32.write_bytes(_with_file_version((DEBIAN_WINE_LIBS / "x86_64-windows" / "kernel32.dll").read_bytes(),
                                            kernel32_version))
    partial.rename(folder)
    return loader


def _with_file_version(image, version):
    """Takes a PE image's bytes and (a, b, c, d); gives back the image with the file and product versions of
    every language's version resource set to that version."""
    image = bytearray(image)
    key = "VS_VERSION_INFO".encode("utf-16-le")
    signature = struct.pack("<I", 0xFEEF04BD)
    most, least = (version[0] << 16) | version[1], (version[2] << 16) | version[3]
    patched = 0
    at = image.find(key)
    while at >= 0:
        fixed = image.find(signature, at, at + len(key) + 16)
        if fixed >= 0:
            # VS_FIXEDFILEINFO: signature, structure version, file version (MS, LS), product version (MS, LS).
            struct.pack_into("<4I", image, fixed + 8, most, least, most, least)
            patched += 1
        at = image.find(key, at + len(key))
    if not patched:
        raise WineError("kernel32.dll has no version resource to change")
    return bytes(image)


def copy_as(source, folder, name):
    """Copies the file `source` into `folder` under `name`; gives back the new Path."""
    target = Path(folder) / name
    target.parent.mkdir(parents=True, exist_ok=True)
    shutil.copyfile(source, target)
    return target


def _text(data):
    return data.decode("utf-8", errors="replace").replace("\r\n", "\n")


class PrefixTestCase(unittest.TestCase):
    """A test case class with one fresh prefix on an Xvfb display of its own for all its tests:
    cls.scratch (a scratch folder, removed afterwards), cls.xvfb, cls.prefix."""

    @classmethod
    def setUpClass(cls):
        scratch = tempfile.TemporaryDirectory(prefix="strell-wine-")
        cls.addClassCleanup(scratch.cleanup)
        cls.scratch = Path(scratch.name)
        cls.xvfb = Xvfb()
        cls.xvfb.start()
        cls.addClassCleanup(cls.xvfb.stop)
        cls.prefix = WinePrefix(cls.scratch / "prefix", cls.xvfb.display)
        cls.addClassCleanup(cls.prefix.stop)
        cls.prefix.create()

"""The native (Linux) build under test.

- ``build_dir()``: $STRELL_BUILD_DIR as a Path; ``program(name)``: an executable at its top (must exist).
- ``supported_models()``: the supported-model table as the built model-table tool prints it, as
  ``Model(slot, vendor_id, product_id, key_name, display_name)`` rows in table order.
- ``read_records(path)``: the JSON lines that fake-setup appended to its FAKE_SETUP_RECORD file ([] when
  there is none).
- ``temp_files(folder)``: the names of the temporary files (temp_*) directly in a folder.
- ``unused_display()``: a DISPLAY value that no X server answers, for runs with no display at all.
- ``snapshot(root, skip)``: every path below a folder with what it is (folder, file size and hash, link).
- ``wait_for_file(path)``: waits (bounded) until a file exists, as a pause point's "ready" file.
- ``DisplayTestCase``: a unittest.TestCase whose class has an Xvfb display of its own (``cls.display``), the
  shared test PKI (``cls.pki``) and the stand-in setup program (``cls.setup_program``), and whose every
  test has a fresh scratch folder (``self.scratch``, prefix ``scratch_prefix``) removed after it.
"""

import hashlib
import json
import os
import shutil
import subprocess
import stat
import tempfile
import time
import unittest
from dataclasses import dataclass
from pathlib import Path

from strelltest import servers
from strelltest.wine import Xvfb


def build_dir() -> Path:
    value = os.environ.get("STRELL_BUILD_DIR")
    if not value:
        raise RuntimeError("STRELL_BUILD_DIR is not set")
    return Path(value)


def program(name) -> Path:
    path = build_dir() / name
    if not path.is_file():
        raise RuntimeError(f"{path} has not been built")
    return path


@dataclass
class Model:
    slot: int
    vendor_id: int
    product_id: int
    key_name: str
    display_name: str


def supported_models():
    result = subprocess.run([str(program("model-table"))], capture_output=True, text=True, timeout=60,
                            check=True)
    models = []
    for line in result.stdout.splitlines():
        slot, vendor, product, key, name = line.split("\t")
        models.append(Model(int(slot), int(vendor, 16), int(product, 16), key, name))
    if not models:
        raise RuntimeError("model-table printed no models")
    return models


def read_records(path):
    path = Path(path)
    if not path.exists():
        return []
    return [json.loads(line) for line in path.read_text().splitlines() if line.strip()]


def temp_files(folder):
    return sorted(p.name for p in Path(folder).iterdir() if p.name.startswith("temp_"))


def unused_display():
    """Gives back a DISPLAY value (":N") that no X server on this machine serves: no socket, no lock file.
    (With DISPLAY unset, JUCE would fall back to ":0", which a test's Xvfb may well be.)"""
    for number in range(4000, 4100):
        if not Path(f"/tmp/.X11-unix/X{number}").exists() and not Path(f"/tmp/.X{number}-lock").exists():
            return f":{number}"
    raise RuntimeError("no unused X display number")


class DisplayTestCase(unittest.TestCase):
    scratch_prefix = "strell-"

    @classmethod
    def setUpClass(cls):
        cls.setup_program = program("fake-setup")
        cls.pki = servers.shared_pki()
        cls.display = Xvfb()
        cls.display.start()
        cls.addClassCleanup(cls.display.stop)

    def setUp(self):
        self.scratch = Path(tempfile.mkdtemp(prefix=self.scratch_prefix))
        self.addCleanup(shutil.rmtree, self.scratch, True)


def snapshot(root, skip=()):
    """Takes a folder and relative paths (tuples of names) whose subtrees to leave out; gives back
    {relative path: ("dir",) | ("file", size, sha256) | ("link", target)} for everything below it, without
    following links and without the downloaded files (temp_*) directly in it."""
    root = Path(root)
    skip = {tuple(part) for part in skip}
    found = {}
    if not root.exists():
        return found
    for folder, dirs, files in os.walk(root, followlinks=False):
        relative = Path(folder).relative_to(root).parts
        for name in sorted(dirs + files):
            parts = relative + (name,)
            if parts in skip or (not relative and name.startswith("temp_")):
                if name in dirs:
                    dirs.remove(name)
                continue
            path = Path(folder, name)
            mode = path.lstat().st_mode
            if stat.S_ISLNK(mode):
                found["/".join(parts)] = ("link", os.readlink(path))
                if name in dirs:
                    dirs.remove(name)
            elif stat.S_ISDIR(mode):
                found["/".join(parts)] = ("dir",)
            else:
                content = path.read_bytes()
                found["/".join(parts)] = ("file", len(content), hashlib.sha256(content).hexdigest())
    return found


def wait_for_file(path, timeout=120):
    """Waits until path exists (polled every 50 ms, at most timeout seconds); gives back whether it does."""
    deadline = time.monotonic() + timeout
    while not Path(path).exists() and time.monotonic() < deadline:
        time.sleep(0.05)
    return Path(path).exists()

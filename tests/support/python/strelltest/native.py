"""The native (Linux) build under test.

- ``build_dir()``: $STRELL_BUILD_DIR as a Path; ``program(name)``: an executable at its top (must exist).
- ``supported_models()``: the supported-model table as the built model-table tool prints it, as
  ``Model(slot, vendor_id, product_id, key_name, display_name)`` rows in table order.
- ``read_records(path)``: the JSON lines that fake-setup appended to its FAKE_SETUP_RECORD file ([] when
  there is none).
- ``temp_files(folder)``: the names of the temporary files (temp_*) directly in a folder.
- ``unused_display()``: a DISPLAY value that no X server answers, for runs with no display at all.
- ``DisplayTestCase``: a unittest.TestCase whose class has an Xvfb display of its own (``cls.display``), the
  shared test PKI (``cls.pki``) and the stand-in setup program (``cls.setup_program``), and whose every
  test has a fresh scratch folder (``self.scratch``, prefix ``scratch_prefix``) removed after it.
"""

import json
import os
import shutil
import subprocess
import tempfile
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

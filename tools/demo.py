#!/usr/bin/python3
"""A whole installer run under Wine, as a musician's PC would see it, against a stand-in download server.

Takes the Windows build folder (default build/windows). Makes a fresh Wine prefix on a virtual display,
trusts a throwaway test CA in it, plugs in a simulated interface of the first supported model (a registry-
made USB device), serves a catalogue and a zip driver package from nginx on https://localhost:18443, and
runs StrellDriverInstaller-loopback.exe as a Windows parent would. The package's "setup program" is the
stand-in that records how it was started. Prints each step, the exit code and the stand-in's record, and
saves a screenshot of the progress window to <build>/demo/progress-window.png.
"""

import json
import os
import socket
import sys
import tempfile
import threading
import time
from pathlib import Path

source = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(source / "tests" / "support" / "python"))

build = Path(sys.argv[1] if len(sys.argv) > 1 else source / "build" / "windows").resolve()
os.environ["STRELL_BUILD_DIR"] = str(build)

from strelltest import packages, servers, wine  # noqa: E402


def step(text):
    print(f"==> {text}", flush=True)


def port_is_taken(port):
    with socket.socket() as probe:
        return probe.connect_ex(("127.0.0.1", port)) == 0


def main():
    if port_is_taken(servers.LOOPBACK_PORT):
        print(f"something already listens on 127.0.0.1:{servers.LOOPBACK_PORT} (a test run?); try again later")
        return 2
    demo = build / "demo"
    demo.mkdir(exist_ok=True)
    pki = servers.make_pki(build / "test-pki")

    with tempfile.TemporaryDirectory(prefix="strell-demo-") as scratch, wine.Xvfb() as display:
        scratch = Path(scratch)
        prefix = wine.WinePrefix(scratch / "prefix", display=display.display)
        step("making a fresh Wine prefix (Windows 10) that trusts the test CA")
        with prefix:
            prefix.set_windows_version("win10")
            prefix.add_root_certificate(pki.ca_der)

            model = wine.supported_models(prefix)[0]
            step(f"plugging in a simulated {model['display_name']} "
                 f"(USB\\VID_{model['vendor_id']:04X}&PID_{model['product_id']:04X})")
            prefix.add_usb_device(model["vendor_id"], model["product_id"], "DEMO0001")

            root = scratch / "server"
            package = f"Tarnwell_{model['key_name']}_1.0.0.0.zip"
            packages.make_driver_zip(root / "drivers" / package, wine.tool("fake-setup"), subfolder="x64_Win10",
                                     extra=[(f"{package[:-4]}/x64_Win10/readme.txt", b"Demo driver package\r\n"),
                                            (f"{package[:-4]}/firmware.bin", os.urandom(6 * 1024 * 1024))])
            catalogue = root / packages.CATALOGUE_PATH.lstrip("/")
            catalogue.parent.mkdir(parents=True, exist_ok=True)
            # The package comes at about 1.5 MB/s from a second server, so that the window can be watched.
            package_bytes = (root / "drivers" / package).read_bytes()
            slow_server = servers.FaultServer(pki=pki, routes={
                f"/drivers/{package}": servers.slow(package_bytes, chunk_size=64 * 1024, chunk_delay=0.04)})

            record = scratch / "setup-record.jsonl"
            with slow_server, servers.NginxServer(root, port=servers.LOOPBACK_PORT, pki=pki) as server:
                catalogue.write_text(packages.catalogue(
                    f"{slow_server.origin}/drivers",
                    [packages.Entry(f"0x{model['product_id']:04x}", package, model["display_name"])]))
                step(f"serving the catalogue from {server.origin} and {package} from {slow_server.origin}")
                shot = demo / "progress-window.png"

                def screenshot_while_window_is_open():
                    # Keep the last picture taken while the window is listed.
                    taken = scratch / "taken.png"
                    for _ in range(600):
                        if any("Downloading ASIO driver" in title for _, title in prefix.windows()):
                            display.screenshot(taken)
                            if any("Downloading ASIO driver" in title for _, title in prefix.windows()):
                                taken.replace(shot)
                        elif shot.is_file():
                            return
                        time.sleep(0.05)

                watcher = threading.Thread(target=screenshot_while_window_is_open, daemon=True)
                watcher.start()
                step("running StrellDriverInstaller-loopback.exe as a Windows parent would")
                result = prefix.launch(wine.tool("StrellDriverInstaller-loopback"), timeout=240,
                                       env={"FAKE_SETUP_RECORD": prefix.windows_path(record),
                                            "FAKE_SETUP_EXIT_CODE": "0"})
                watcher.join(timeout=5)
                requests = [line for line in server.access_log() if "GET" in line]
                requests += [f"{r['method']} {r['path']} (package server)" for r in slow_server.requests]

            prefix.remove_usb_device(model["vendor_id"], model["product_id"])
            records = record.read_text().splitlines() if record.is_file() else []

    print()
    for line in requests:
        print(f"    server: {line.strip()}")
    for line in records:
        ran = json.loads(line)
        print(f"    setup program started as: {ran.get('commandLine') or ran.get('argv')}")
        print(f"    progress window still open then: {ran.get('windowOpen')}")
    if not records:
        print("    the setup program did not run")
    if shot.is_file():
        print(f"    progress window screenshot: {shot}")
    print(f"    installer exit code as a Windows parent reads it: {result.exit_code}")
    return 0 if result.exit_code == 0 else 1


if __name__ == "__main__":
    sys.exit(main())

"""HTTPS servers on loopback, their throwaway PKI, and runs of programs that trust it.

What this module gives (every wait is bounded; servers listen on 127.0.0.1 only):

- ``make_pki(folder) -> Pki``: a test CA and a server certificate for localhost (SAN DNS:localhost and
  IP:127.0.0.1) made with openssl by tests/support/servers/make-test-pki.sh; idempotent, so tests may share
  a folder. ``shared_pki()`` is one in the build folder ($STRELL_BUILD_DIR/test-pki). Fields (Paths):
    ca_cert (PEM), ca_der (DER, e.g. for a Wine prefix's Root store), ca_key, server_cert (the server
    certificate followed by the CA), server_key, bundle (the system's CA bundle plus the test CA: what
    run_in_test_namespace mounts over /etc/ssl/certs/ca-certificates.crt).
- ``NginxServer(root, port=0, pki=None, scratch=None)``: Debian's nginx serving the folder ``root`` as
  static files over HTTPS on 127.0.0.1:port (0: a free port), as the maker's server would. Context manager:
  started on entry (waits until a TLS handshake succeeds), stopped by its pid on exit. ``.port``,
  ``.origin`` ("https://localhost:<port>"), ``.url(path)``, ``.access_log()`` (the request lines so far).
  Use port=LOOPBACK_PORT for the installer built for tests: the port of ``LOOPBACK_ORIGIN``
  ($STRELL_LOOPBACK_ORIGIN, the origin that installer fetches from; such tests are LOCK tests).
- ``FaultServer(port=0, routes=None, pki=None, tls=True)``: our own HTTPS server (fault_server.py) running in a
  thread of the test process, answering each path as its ``Route`` says. Context manager. ``.set_route(path,
  route)`` changes answers while running; ``.requests`` / ``.requests_for(path)`` list what was asked (dicts
  with method, path and lower-cased headers); ``.port``, ``.origin``, ``.url(path)``. Route makers
  (re-exported from fault_server): ``ok(body)``, ``xml(text)``, ``error_page(status)`` (404/500 ... with an
  HTML body), ``redirect(location)``, ``truncated(body, send_bytes)`` (short body against Content-Length,
  clean close), ``reset(body, send_bytes)`` (TCP reset mid-body), ``slow(body, chunk_size, chunk_delay)``
  (slow but ending), or ``Route(...)`` directly (file=..., header_delay=..., content_length=...,
  announce_length=False, ...). Unrouted paths answer 404 with an HTML page. tls=False serves plain HTTP
  (to show that an http address is never fetched).
- ``run_in_test_namespace(cmd, env=None, cert_bundle=None, usb_tree=None, timeout=120, cwd=None,
  input=None) -> subprocess.CompletedProcess`` (stdout/stderr as bytes): runs cmd as root in a private mount
  namespace where cert_bundle (default: shared_pki().bundle) is bind-mounted over
  /etc/ssl/certs/ca-certificates.crt, so libcurl trusts the test CA, and, when usb_tree is a folder, that
  folder over /sys/bus/usb/devices (a tmpfs stands in for /sys/bus when the machine has no USB bus). env is
  the whole environment of cmd (default: this process's). On time-out the whole process group is killed
  and subprocess.TimeoutExpired raised. ``popen_in_test_namespace(...)`` is the same as a Popen in a session
  of its own (for runs watched while they go); ``end_process_group(popen)`` ends one. Both take
  ``private_tmp`` (a folder made by ``make_private_tmp``, mounted over /tmp in the namespace, so that a run
  that does not trust $TMPDIR uses a /tmp of its own) and ``keep_in_tmp`` (folders under /tmp that stay
  visible there, e.g. the test's scratch folder; /tmp/.X11-unix, $STRELL_BUILD_DIR and $STRELL_SOURCE_DIR
  are always kept).
- ``make_usb_tree(folder, devices)``: a fake sysfs USB device folder: devices is a list of
  ``UsbDevice(vendor_id, product_id, serial=None, entry="1-1")``; each entry is a folder with idVendor and
  idProduct (4 lower-case hex digits, as Linux writes them) and, when given, serial. The installer's instance
  id then reads USB\\VID_XXXX&PID_YYYY\\<serial or entry name>.
- ``free_port()``: a TCP port on 127.0.0.1 that was free a moment ago.
- ``run_as_nobody_in(pid, script, timeout=30)``: runs a shell script as the unprivileged user nobody (uid
  65534, through setpriv) in the mount namespace of a process started by popen_in_test_namespace, as an
  attacker on the same machine would; gives back its CompletedProcess (text).
"""

import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
from dataclasses import dataclass
from pathlib import Path
from typing import Dict, Iterable, Optional

SUPPORT_DIR = Path(__file__).resolve().parents[2]
SERVERS_DIR = SUPPORT_DIR / "servers"
# The origin the installer variant built for tests fetches its catalogue from, and its port: the build's
# LOOPBACK_ORIGIN, which ctest hands down.
LOOPBACK_ORIGIN = os.environ.get("STRELL_LOOPBACK_ORIGIN") or "https://localhost:18443"
LOOPBACK_PORT = urllib.parse.urlsplit(LOOPBACK_ORIGIN).port or 443
SYSTEM_CA_BUNDLE = Path("/etc/ssl/certs/ca-certificates.crt")
START_TIMEOUT = 20
STOP_TIMEOUT = 10

sys.path.insert(0, str(SERVERS_DIR))
import fault_server  # noqa: E402  (lives beside the other server scripts)
from fault_server import Route, error_page, ok, redirect, reset, slow, truncated, xml  # noqa: E402

__all__ = ["LOOPBACK_ORIGIN", "LOOPBACK_PORT", "Pki", "make_pki", "shared_pki", "free_port", "wait_for_tls", "NginxServer",
           "FaultServer", "ServerError", "Route", "ok", "xml", "error_page", "redirect", "truncated", "reset",
           "slow", "UsbDevice", "make_usb_tree", "run_in_test_namespace", "popen_in_test_namespace",
           "end_process_group", "make_private_tmp", "run_as_nobody_in"]


class ServerError(RuntimeError):
    """A test server could not be started."""


@dataclass
class Pki:
    folder: Path
    ca_cert: Path
    ca_der: Path
    ca_key: Path
    server_cert: Path
    server_key: Path
    bundle: Path


def make_pki(folder) -> Pki:
    """Takes a folder; makes (once) the test CA, the localhost server certificate and the trust bundle in
    it; gives back their paths."""
    folder = Path(folder)
    subprocess.run(["sh", str(SERVERS_DIR / "make-test-pki.sh"), str(folder)], check=True, timeout=120,
                   stdin=subprocess.DEVNULL)
    pki = Pki(folder=folder, ca_cert=folder / "ca.pem", ca_der=folder / "ca.der", ca_key=folder / "ca.key",
              server_cert=folder / "server-chain.pem", server_key=folder / "server.key",
              bundle=folder / "trust-bundle.pem")
    ca_text = pki.ca_cert.read_bytes()
    if not pki.bundle.exists() or ca_text not in pki.bundle.read_bytes():
        system = SYSTEM_CA_BUNDLE.read_bytes() if SYSTEM_CA_BUNDLE.exists() else b""
        if ca_text in system:  # already inside a namespace that trusts it
            system = system.replace(ca_text, b"")
        partial = folder / f".trust-bundle.{os.getpid()}"
        partial.write_bytes(system.rstrip(b"\n") + b"\n" + ca_text)
        partial.replace(pki.bundle)
    return pki


def shared_pki() -> Pki:
    """Gives back the PKI in $STRELL_BUILD_DIR/test-pki (or a temporary folder's when that is unset)."""
    base = os.environ.get("STRELL_BUILD_DIR") or os.environ.get("TMPDIR") or "/tmp"
    return make_pki(Path(base) / "test-pki")


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for_tls(port: int, ca_cert: Path, timeout: float = START_TIMEOUT, alive=lambda: True):
    """Waits (bounded) until a TLS handshake with localhost:port succeeds, trusting ca_cert."""
    context = ssl.create_default_context(cafile=str(ca_cert))
    deadline = time.monotonic() + timeout
    last_error = None
    while time.monotonic() < deadline and alive():
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=2) as raw:
                with context.wrap_socket(raw, server_hostname="localhost"):
                    return
        except (OSError, ssl.SSLError) as error:
            last_error = error
            time.sleep(0.05)
    raise ServerError(f"nothing answered TLS on 127.0.0.1:{port}: {last_error}")


class NginxServer:
    """Debian's nginx serving a folder over HTTPS on loopback (see the module documentation)."""

    def __init__(self, root, port: int = 0, pki: Optional[Pki] = None, scratch=None):
        self.root = Path(root)
        self.port = port or free_port()
        self.pki = pki or shared_pki()
        self._scratch = Path(scratch) if scratch else None
        self._own_scratch = None
        self.process = None

    @property
    def origin(self) -> str:
        return f"https://localhost:{self.port}"

    def url(self, path: str) -> str:
        return self.origin + "/" + path.lstrip("/")

    @property
    def scratch(self) -> Path:
        if self._scratch is None:
            self._own_scratch = tempfile.mkdtemp(prefix="strell-nginx-")
            self._scratch = Path(self._own_scratch)
        return self._scratch

    def start(self):
        try:
            self.scratch.mkdir(parents=True, exist_ok=True)
            with open(self.scratch / "run.log", "wb") as log:
                self.process = subprocess.Popen(
                    ["sh", str(SERVERS_DIR / "run-nginx.sh"), str(self.root), str(self.port), str(self.scratch),
                     str(self.pki.server_cert), str(self.pki.server_key)],
                    stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
            wait_for_tls(self.port, self.pki.ca_cert, alive=lambda: self.process.poll() is None)
        except ServerError as error:
            logs = self._logs()
            self.stop()
            raise ServerError(f"{error}\n{logs}") from None
        except BaseException:
            self.stop()
            raise
        return self

    def _logs(self) -> str:
        text = ""
        for name in ("run.log", "error.log"):
            path = self.scratch / name
            if path.exists():
                text += f"--- {name}\n" + path.read_text(errors="replace")[-4000:]
        return text

    def access_log(self):
        path = self.scratch / "access.log"
        return path.read_text(errors="replace").splitlines() if path.exists() else []

    def stop(self):
        if self.process is not None:
            if self.process.poll() is None:
                self.process.terminate()
                try:
                    self.process.wait(timeout=STOP_TIMEOUT)
                except subprocess.TimeoutExpired:
                    self.process.kill()
                    self.process.wait(timeout=STOP_TIMEOUT)
            self.process = None
        if self._own_scratch:
            shutil.rmtree(self._own_scratch, ignore_errors=True)
            self._own_scratch = None
            self._scratch = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class FaultServer:
    """Our own fault-injecting HTTPS server in a thread (see the module documentation)."""

    def __init__(self, port: int = 0, routes: Optional[Dict[str, Route]] = None, pki: Optional[Pki] = None,
                 tls: bool = True):
        self.tls = tls
        self.pki = pki or shared_pki()
        self._requested_port = port
        self._initial_routes = dict(routes or {})
        self.server = None
        self._thread = None

    @property
    def port(self) -> int:
        return self.server.port

    @property
    def origin(self) -> str:
        return f"{'https' if self.tls else 'http'}://localhost:{self.port}"

    def url(self, path: str) -> str:
        return self.origin + "/" + path.lstrip("/")

    def set_route(self, path: str, route: Route):
        self.server.set_route(path, route)

    @property
    def requests(self):
        with self.server._lock:
            return list(self.server.requests)

    def requests_for(self, path: str):
        return self.server.requests_for(path)

    def start(self):
        deadline = time.monotonic() + START_TIMEOUT
        while True:  # a port just given up by an earlier test may take a moment to be free again
            try:
                self.server = fault_server.FaultHTTPServer(
                    self._requested_port, self._initial_routes,
                    str(self.pki.server_cert) if self.tls else None, str(self.pki.server_key) if self.tls else None)
                break
            except OSError as error:
                if time.monotonic() > deadline:
                    raise ServerError(f"cannot listen on 127.0.0.1:{self._requested_port}: {error}") from None
                time.sleep(0.2)
        self._thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.1},
                                        name="fault-server", daemon=True)
        self._thread.start()
        if self.tls:
            wait_for_tls(self.port, self.pki.ca_cert)
        return self

    def stop(self):
        if self.server is not None:
            self.server.shutdown()
            self.server.server_close()
            self._thread.join(timeout=STOP_TIMEOUT)
            self.server = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class ConnectionRecorder:
    """A TCP listener on 127.0.0.1 that accepts and records every connection and says nothing: the place a
    redirect to another scheme (ftp, say) points, to show that the installer never went there."""

    def __init__(self):
        self._socket = None
        self._thread = None
        self._lock = threading.Lock()
        self._connections = []

    @property
    def port(self) -> int:
        return self._socket.getsockname()[1]

    @property
    def requests(self):
        """One entry per connection accepted ({"path": None, "peer": ...}), as FaultServer lists requests."""
        with self._lock:
            return list(self._connections)

    def _accept(self):
        while self._socket is not None:
            try:
                connection, peer = self._socket.accept()
            except OSError:
                return
            with self._lock:
                self._connections.append({"path": None, "peer": peer})
            connection.close()

    def start(self):
        self._socket = socket.create_server(("127.0.0.1", 0))
        self._thread = threading.Thread(target=self._accept, name="connection-recorder", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        if self._socket is not None:
            listening, self._socket = self._socket, None
            listening.close()
            self._thread.join(timeout=STOP_TIMEOUT)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


@dataclass
class UsbDevice:
    vendor_id: int
    product_id: int
    serial: Optional[str] = None
    entry: str = "1-1"


def make_usb_tree(folder, devices: Iterable[UsbDevice]) -> Path:
    """Takes a folder and devices; fills the folder like /sys/bus/usb/devices; gives back its Path."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    for device in devices:
        entry = folder / device.entry
        entry.mkdir(parents=True, exist_ok=True)
        (entry / "idVendor").write_text(f"{device.vendor_id:04x}\n")
        (entry / "idProduct").write_text(f"{device.product_id:04x}\n")
        if device.serial is not None:
            (entry / "serial").write_text(device.serial + "\n")
    return folder


_NAMESPACE_SCRIPT = r"""
set -e
mount --bind "$STRELL_NS_BUNDLE" /etc/ssl/certs/ca-certificates.crt
if [ -n "$STRELL_NS_USB_TREE" ]; then
    if [ ! -d /sys/bus/usb/devices ]; then
        if [ -d /sys/bus/usb ]; then
            mount -t tmpfs strell-usb /sys/bus/usb
        else
            mount -t tmpfs strell-bus /sys/bus
        fi
        mkdir -p /sys/bus/usb/devices
    fi
    mount --bind "$STRELL_NS_USB_TREE" /sys/bus/usb/devices
fi
if [ -n "$STRELL_NS_TMP" ]; then
    # A /tmp of the run's own; the X server's sockets and the folders named to keep stay where they were.
    printf '%s\n' /tmp/.X11-unix "$STRELL_NS_TMP_KEEP" | while IFS= read -r kept; do
        case "$kept" in /tmp/?*) ;; *) continue ;; esac
        [ -d "$kept" ] || continue
        mkdir -p "$STRELL_NS_TMP/${kept#/tmp/}"
        mount --bind "$kept" "$STRELL_NS_TMP/${kept#/tmp/}"
    done
    mount --rbind "$STRELL_NS_TMP" /tmp
fi
unset STRELL_NS_BUNDLE STRELL_NS_USB_TREE STRELL_NS_TMP STRELL_NS_TMP_KEEP
exec "$@"
"""


def make_private_tmp(folder) -> Path:
    """Takes a folder path; makes it a folder like /tmp (root's, mode 1777) for private_tmp; gives it back."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    os.chown(folder, 0, 0)
    os.chmod(folder, 0o1777)
    return folder


def _namespace_command(cmd, env, cert_bundle, usb_tree, private_tmp=None, keep_in_tmp=None):
    bundle = Path(cert_bundle) if cert_bundle else shared_pki().bundle
    if not bundle.is_file():
        raise FileNotFoundError(bundle)
    full_env = dict(os.environ if env is None else env)
    full_env["STRELL_NS_BUNDLE"] = str(bundle.resolve())
    full_env["STRELL_NS_USB_TREE"] = str(Path(usb_tree).resolve()) if usb_tree else ""
    full_env["STRELL_NS_TMP"] = str(Path(private_tmp).resolve()) if private_tmp else ""
    # The programs under test stay visible too, wherever the checkout is (a clone below /tmp, say).
    under_test = [os.environ[name] for name in ("STRELL_BUILD_DIR", "STRELL_SOURCE_DIR") if os.environ.get(name)]
    kept = [str(Path(path).resolve()) for path in [*(keep_in_tmp or ()), *under_test]]
    if any("\n" in path for path in kept):
        raise ValueError("a folder to keep has a line feed in its name")
    full_env["STRELL_NS_TMP_KEEP"] = "\n".join(kept)
    argv = ["unshare", "--mount", "--propagation", "private", "sh", "-c", _NAMESPACE_SCRIPT, "strell-ns"]
    return argv + [str(part) for part in cmd], full_env


def popen_in_test_namespace(cmd, env=None, cert_bundle=None, usb_tree=None, private_tmp=None, keep_in_tmp=None,
                            **popen_kwargs):
    """As run_in_test_namespace, but gives back the running subprocess.Popen (in a session of its own).
    Its pid is that of cmd itself, in the namespace (for ``nsenter --target <pid> --mount``)."""
    argv, full_env = _namespace_command(cmd, env, cert_bundle, usb_tree, private_tmp, keep_in_tmp)
    popen_kwargs.setdefault("stdin", subprocess.DEVNULL)
    return subprocess.Popen(argv, env=full_env, start_new_session=True, **popen_kwargs)


def end_process_group(process: subprocess.Popen):
    """Ends the process group that popen_in_test_namespace started (by its id) and reaps its leader."""
    if process.poll() is None:
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    try:
        process.wait(timeout=STOP_TIMEOUT)
    except subprocess.TimeoutExpired:
        pass


def run_in_test_namespace(cmd, env=None, cert_bundle=None, usb_tree=None, timeout=120, cwd=None,
                          input=None, private_tmp=None, keep_in_tmp=None) -> subprocess.CompletedProcess:
    """Runs cmd to its end in a private mount namespace that trusts the test CA (see the module
    documentation); gives back its CompletedProcess with stdout and stderr as bytes."""
    process = popen_in_test_namespace(cmd, env, cert_bundle, usb_tree, private_tmp, keep_in_tmp, cwd=cwd,
                                      stdin=subprocess.PIPE if input is not None else subprocess.DEVNULL,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        stdout, stderr = process.communicate(input=input, timeout=timeout)
    except subprocess.TimeoutExpired:
        end_process_group(process)
        stdout, stderr = process.communicate(timeout=STOP_TIMEOUT)
        raise subprocess.TimeoutExpired(process.args, timeout, output=stdout, stderr=stderr) from None
    return subprocess.CompletedProcess(process.args, process.returncode, stdout, stderr)


NOBODY_UID = 65534


def run_as_nobody_in(pid, script, timeout=30) -> subprocess.CompletedProcess:
    """Takes the pid of a process running in a test namespace and a shell script; runs the script as the
    unprivileged user nobody (uid and gid 65534, no other groups, no capabilities) in that process's mount
    namespace, so that it sees the same /tmp; gives back its CompletedProcess (text output)."""
    argv = ["nsenter", "--target", str(pid), "--mount", "setpriv", f"--reuid={NOBODY_UID}", f"--regid={NOBODY_UID}",
            "--clear-groups", "--inh-caps=-all", "--", "sh", "-c", script]
    return subprocess.run(argv, env={"PATH": "/usr/bin:/bin", "HOME": "/nonexistent", "LC_ALL": "C"},
                          capture_output=True, text=True, timeout=timeout, stdin=subprocess.DEVNULL)

"""Throwaway Authenticode material for signing tests: a code-signing CA and certificate, and an RFC 3161
timestamp server on loopback.

What this module gives:

- ``make_signing_pki(folder, password) -> SigningPki``: made with openssl in `folder`: a CA, a code-signing
  certificate it issued (extended key usage codeSigning), the signing key encrypted with `password` (PEM)
  and the certificate, CA and key as one PKCS#12 file under the same password, plus a timestamping
  authority's certificate and key (extended key usage timeStamping, issued by the same CA).
- ``TimestampServer(pki, scratch)``: an RFC 3161 timestamp server on 127.0.0.1 (a free port) in a thread of
  the test process; each request is answered by ``openssl ts -reply``. Context manager. ``.url``,
  ``.requests`` (how many were answered).
"""

import subprocess
import threading
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

OPENSSL_TIMEOUT = 60


@dataclass
class SigningPki:
    ca_cert: Path      # PEM
    cert: Path         # the code-signing certificate, PEM
    key: Path          # its key, PEM, encrypted with the password
    pkcs12: Path       # certificate, CA and key, under the password
    tsa_cert: Path     # the timestamping authority's certificate, PEM
    tsa_key: Path      # its key, PEM, unencrypted


def _openssl(*args, cwd):
    subprocess.run(["openssl", *map(str, args)], cwd=cwd, check=True, timeout=OPENSSL_TIMEOUT,
                   stdin=subprocess.DEVNULL, capture_output=True)


def _issue(folder, name, subject, extensions):
    """Makes <name>.key (unencrypted) and <name>.crt issued by ca.crt with the given extension lines."""
    (folder / f"{name}.ext").write_text("\n".join(extensions) + "\n")
    _openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out", f"{name}.csr",
             "-subj", subject, cwd=folder)
    _openssl("x509", "-req", "-in", f"{name}.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial",
             "-days", "2", "-sha256", "-extfile", f"{name}.ext", "-out", f"{name}.crt", cwd=folder)


def make_signing_pki(folder, password) -> SigningPki:
    """Takes a folder and the password for the signing key; gives back the SigningPki made there."""
    folder = Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.crt", "-days", "2",
             "-subj", "/CN=Strell Test Code Signing CA", "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)
    _issue(folder, "signer", "/CN=Tarnwell Test Signer/O=Tarnwell",
           ["basicConstraints=CA:FALSE", "keyUsage=critical,digitalSignature", "extendedKeyUsage=codeSigning"])
    _issue(folder, "tsa", "/CN=Strell Test Timestamps",
           ["basicConstraints=CA:FALSE", "keyUsage=critical,digitalSignature",
            "extendedKeyUsage=critical,timeStamping"])
    # The password reaches openssl through a pipe, as the signing script's own callers would give it.
    for args in (["pkey", "-in", "signer.key", "-aes256", "-out", "signer-encrypted.key", "-passout", "fd:0"],
                 ["pkcs12", "-export", "-inkey", "signer.key", "-in", "signer.crt", "-certfile", "ca.crt",
                  "-out", "signer.p12", "-passout", "fd:0"]):
        subprocess.run(["openssl", *args], cwd=folder, check=True, timeout=OPENSSL_TIMEOUT,
                       input=(password + "\n").encode(), capture_output=True)
    (folder / "signer.key").unlink()
    return SigningPki(folder / "ca.crt", folder / "signer.crt", folder / "signer-encrypted.key",
                      folder / "signer.p12", folder / "tsa.crt", folder / "tsa.key")


TSA_CONFIG = """\
[ tsa ]
default_tsa = strell_tsa
[ strell_tsa ]
serial = {folder}/tsa-serial
crypto_device = builtin
signer_cert = {pki.tsa_cert}
certs = {pki.ca_cert}
signer_key = {pki.tsa_key}
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha1, sha256, sha384, sha512
accuracy = secs:1
ordering = yes
tsa_name = no
ess_cert_id_chain = no
ess_cert_id_alg = sha256
"""


class TimestampServer:
    """An RFC 3161 timestamp server on loopback (see the module documentation)."""

    def __init__(self, pki: SigningPki, scratch):
        self.folder = Path(scratch)
        self.folder.mkdir(parents=True, exist_ok=True)
        (self.folder / "tsa-serial").write_text("01\n")
        self.config = self.folder / "tsa.cnf"
        self.config.write_text(TSA_CONFIG.format(folder=self.folder, pki=pki))
        self.requests = 0
        self._lock = threading.Lock()
        self._server = None
        self._thread = None

    @property
    def url(self):
        return f"http://127.0.0.1:{self._server.server_address[1]}/"

    def _reply(self, query):
        """Gives back the DER reply to a DER timestamp query, made by openssl ts."""
        with self._lock:
            self.requests += 1
            query_file = self.folder / f"query-{self.requests}.tsq"
            reply_file = self.folder / f"reply-{self.requests}.tsr"
        query_file.write_bytes(query)
        _openssl("ts", "-reply", "-config", self.config, "-queryfile", query_file, "-out", reply_file,
                 cwd=self.folder)
        return reply_file.read_bytes()

    def start(self):
        owner = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self):
                length = int(self.headers.get("Content-Length", "0"))
                try:
                    body = owner._reply(self.rfile.read(min(length, 1 << 16)))
                except subprocess.SubprocessError:
                    self.send_error(500)
                    return
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self._server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()
        return self

    def stop(self):
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()
            self._thread.join(timeout=10)
            self._server = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

#!/usr/bin/python3
"""A small HTTPS server on 127.0.0.1 whose answers the tests script per request path.

Each path is served by a Route: a status, headers and a body (bytes or a file), sent in chunks with an
optional pause between them (slow responses that still end), optionally cut short after some bytes and
ended either by a clean TLS close or by a TCP reset. Paths without a route get a 404 HTML page. Every
request is recorded (method, path with query, headers) for the test to inspect.

Used in-process through strelltest.servers.FaultServer, or standalone:
    fault_server.py --port 18443 --cert server-chain.pem --key server.key --routes routes.json
where routes.json maps each path to the keyword arguments of Route ("body" as text, or "body_b64").
Python 3 standard library only.
"""

import argparse
import base64
import contextlib
import http.server
import json
import socket
import socketserver
import ssl
import struct
import sys
import threading
import time
import urllib.parse
from dataclasses import dataclass, field
from typing import Dict, List, Optional

# Every connection is bounded: a client that stops reading or never finishes its handshake is dropped.
CONNECTION_TIMEOUT_S = 30.0
# An endless body still ends somewhere, so that no loop here is unbounded.
ENDLESS_LIMIT = 1 << 34


@dataclass
class Route:
    """How one path is answered.

    status:          HTTP status code.
    body:            the body as bytes (ignored when file is given).
    file:            path of a file to send as the body, streamed.
    content_type:    the Content-Type header.
    headers:         further headers (name -> value).
    content_length:  the length announced in Content-Length; None announces the true length.
    announce_length: False sends no Content-Length at all (the close ends the body).
    send_bytes:      send only this many body bytes, then end the connection.
    ending:          "close" ends with a TLS close_notify and FIN, "reset" with a TCP RST (no close_notify).
    chunk_size:      bytes per write.
    chunk_sizes:     sizes of the first writes, before the rest goes in chunk_size pieces.
    chunk_delay:     seconds to wait before each chunk after the first; > 0 makes a slow response.
    body_delay:      seconds to wait between the headers and the first body byte.
    header_delay:    seconds to wait before sending the status line.
    reset_delay:     seconds between the last bytes sent and a reset.
    endless:         the body is sent again and again (up to ENDLESS_LIMIT bytes), without a length.
    """

    status: int = 200
    body: bytes = b""
    file: Optional[str] = None
    content_type: str = "application/octet-stream"
    headers: Dict[str, str] = field(default_factory=dict)
    content_length: Optional[int] = None
    announce_length: bool = True
    send_bytes: Optional[int] = None
    ending: str = "close"
    chunk_size: int = 64 * 1024
    chunk_sizes: List[int] = field(default_factory=list)
    chunk_delay: float = 0.0
    body_delay: float = 0.0
    header_delay: float = 0.0
    reset_delay: float = 0.3
    endless: bool = False

    def body_length(self) -> int:
        if self.file is not None:
            with open(self.file, "rb") as f:
                f.seek(0, 2)
                return f.tell()
        return len(self.body)

    def _chunk_size(self, index: int) -> int:
        return max(1, self.chunk_sizes[index] if index < len(self.chunk_sizes) else self.chunk_size)

    def body_chunks(self):
        """Yields the body in chunks (chunk_sizes, then chunk_size), up to send_bytes when that is set."""
        if self.endless:
            yield from self._endless_chunks()
            return
        limit = self.body_length() if self.send_bytes is None else min(self.send_bytes, self.body_length())
        sent = 0
        index = 0
        with (open(self.file, "rb") if self.file is not None else contextlib.nullcontext()) as f:
            while sent < limit:
                size = min(self._chunk_size(index), limit - sent)
                chunk = f.read(size) if self.file is not None else self.body[sent:sent + size]
                if not chunk:
                    return
                sent += len(chunk)
                index += 1
                yield chunk


    def _endless_chunks(self):
        chunk = (self.body or b" ") * max(1, self.chunk_size // max(1, len(self.body)))
        for _ in range(ENDLESS_LIMIT // len(chunk)):
            yield chunk


def ok(body: bytes, content_type: str = "application/octet-stream", **kwargs) -> Route:
    """A 200 answer with the whole body."""
    return Route(status=200, body=body, content_type=content_type, **kwargs)


def xml(text: str, **kwargs) -> Route:
    """A 200 answer with an XML document."""
    return Route(status=200, body=text.encode("utf-8"), content_type="application/xml", **kwargs)


def error_page(status: int, **kwargs) -> Route:
    """An error status with an HTML body, as web servers send them."""
    reason = http.server.BaseHTTPRequestHandler.responses.get(status, ("Error",))[0]
    page = (f"<html>\r\n<head><title>{status} {reason}</title></head>\r\n<body>\r\n"
            f"<center><h1>{status} {reason}</h1></center>\r\n<hr><center>nginx</center>\r\n"
            "</body>\r\n</html>\r\n")
    return Route(status=status, body=page.encode("ascii"), content_type="text/html", **kwargs)


def redirect(location: str, status: int = 302) -> Route:
    """A redirect to location (absolute, or a path on this server)."""
    return Route(status=status, body=b"<html><body>moved</body></html>", content_type="text/html",
                 headers={"Location": location})


def truncated(body: bytes, send_bytes: int, **kwargs) -> Route:
    """Announces the whole body's length but sends only send_bytes of it, then closes cleanly."""
    return Route(status=200, body=body, send_bytes=send_bytes, ending="close", **kwargs)


def reset(body: bytes, send_bytes: int, **kwargs) -> Route:
    """Announces the whole body's length, sends send_bytes of it, then resets the connection."""
    return Route(status=200, body=body, send_bytes=send_bytes, ending="reset", **kwargs)


def slow(body: bytes, chunk_size: int, chunk_delay: float, **kwargs) -> Route:
    """The whole body, chunk_size bytes at a time with chunk_delay seconds between chunks."""
    return Route(status=200, body=body, chunk_size=chunk_size, chunk_delay=chunk_delay, **kwargs)


def route_from_json(fields: dict) -> Route:
    """Takes a routes.json value; gives back its Route."""
    fields = dict(fields)
    if "body_b64" in fields:
        fields["body"] = base64.b64decode(fields.pop("body_b64"))
    elif isinstance(fields.get("body"), str):
        fields["body"] = fields["body"].encode("utf-8")
    return Route(**fields)


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "strell-fault-server"
    sys_version = ""

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass

    def do_GET(self):
        self._answer(send_body=True)

    def do_HEAD(self):
        self._answer(send_body=False)

    def do_POST(self):
        self._answer(send_body=True)

    def _answer(self, send_body: bool):
        self.close_connection = True
        path = urllib.parse.urlsplit(self.path).path
        self.server.record(self.command, self.path, self.headers)
        route = self.server.route_for(path)

        if route.header_delay > 0:
            time.sleep(route.header_delay)

        self.send_response(route.status)
        self.send_header("Content-Type", route.content_type)
        if route.announce_length and not route.endless:
            length = route.body_length() if route.content_length is None else route.content_length
            self.send_header("Content-Length", str(length))
        self.send_header("Connection", "close")
        for name, value in route.headers.items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.flush()

        if send_body:
            if route.body_delay > 0:
                time.sleep(route.body_delay)
            for index, chunk in enumerate(route.body_chunks()):
                if index > 0 and route.chunk_delay > 0:
                    time.sleep(route.chunk_delay)
                self.wfile.write(chunk)
            self.wfile.flush()

        if route.ending == "reset":
            # Give the client time to read what was sent: a reset throws away data it has not read yet.
            time.sleep(route.reset_delay)
            self.server.reset_connection(self.connection)


class FaultHTTPServer(socketserver.ThreadingMixIn, socketserver.TCPServer):
    """The server itself; FaultServer (strelltest.servers) runs one in a thread."""

    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, port: int, routes: Dict[str, Route], cert_chain: Optional[str], key: Optional[str]):
        """cert_chain and key None: plain HTTP, for tests that an address without TLS is never fetched."""
        self.routes = dict(routes)
        self.requests: List[dict] = []
        self._lock = threading.Lock()
        self.context = None
        if cert_chain is not None:
            self.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.context.minimum_version = ssl.TLSVersion.TLSv1_2
            self.context.load_cert_chain(cert_chain, key)
        super().__init__(("127.0.0.1", port), _Handler)

    @property
    def port(self) -> int:
        return self.server_address[1]

    def set_route(self, path: str, route: Route):
        with self._lock:
            self.routes[path] = route

    def route_for(self, path: str) -> Route:
        with self._lock:
            route = self.routes.get(path)
        return route if route is not None else error_page(404)

    def record(self, method: str, target: str, headers):
        with self._lock:
            self.requests.append({"method": method, "path": target,
                                  "headers": {k.lower(): v for k, v in headers.items()}})

    def requests_for(self, path: str) -> List[dict]:
        with self._lock:
            return [r for r in self.requests if urllib.parse.urlsplit(r["path"]).path == path]

    @staticmethod
    def reset_connection(connection: socket.socket):
        # Linger 0 makes close() send RST; no close_notify goes out first.
        try:
            connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            connection.close()
        except OSError:
            pass

    def finish_request(self, request, client_address):
        request.settimeout(CONNECTION_TIMEOUT_S)
        if self.context is None:
            self.RequestHandlerClass(request, client_address, self)
            return
        try:
            connection = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return  # a client that gave up, or does not trust the test CA
        try:
            self.RequestHandlerClass(connection, client_address, self)
            if connection.fileno() >= 0:
                connection.settimeout(5.0)  # the client's close_notify is not waited for long
                try:
                    connection.unwrap().close()
                except (ssl.SSLError, OSError, ValueError):
                    connection.close()
        except (ssl.SSLError, OSError):
            connection.close()

    def handle_error(self, request, client_address):
        pass  # clients that hang up mid-answer are part of the tests


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--cert", help="server certificate chain (PEM); without it, plain HTTP")
    parser.add_argument("--key", help="server key (PEM)")
    parser.add_argument("--routes", required=True, help="JSON file: path -> Route keyword arguments")
    args = parser.parse_args(argv)
    with open(args.routes, encoding="utf-8") as f:
        routes = {path: route_from_json(fields) for path, fields in json.load(f).items()}
    server = FaultHTTPServer(args.port, routes, args.cert, args.key)
    scheme = "https" if server.context is not None else "http"
    print(f"ready {scheme}://localhost:{server.port}", flush=True)
    try:
        server.serve_forever(poll_interval=0.2)
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())

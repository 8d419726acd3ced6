#!/usr/bin/env python3
"""A local stand-in for the update host, for tests and the demo.

Serves the version file at /Manager/VersionV4V and a games database at the
path the version file names, on 127.0.0.1 with an ephemeral port that it
prints first ("port=N"). It takes absolute-URI requests as a proxy does
(GET http://update.vantri4.example:80/Manager/VersionV4V), so a program
whose WinHTTP goes through http_proxy=http://127.0.0.1:N reaches it under
the built-in host name; it forwards nothing anywhere and refuses requests
for any other host with 502. Every request it served is logged, one line
each, to stderr and to --log.

Misbehaviour on demand, for the database (--mode) and the version file
(--version-style), or per request at fixed paths whatever the options:
    /misbehave/<mode>        the database served in that mode
    /version/<style>         the version file in that style
Modes: normal, no-length, chunked, length-zero, short-close, not-found,
slow (one 1 KiB piece every 50 ms), two-lengths (the full length, then half
of it), no-space ("Content-Length:123" before a 123-byte body),
length-4gib, length-300mib, proxy-auth (407: the proxy asks for credentials).
/proxy.pac is a setup script (PAC file) that names this host as the proxy.
Styles: normal, crlf, empty-lines, text-before, no-host.
"""
import argparse
import os
import socket
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import urlsplit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_games_database  # noqa: E402

VERSION_PATH = "/Manager/VersionV4V"
MODES = ("normal", "no-length", "chunked", "length-zero", "short-close", "not-found", "slow",
         "two-lengths", "no-space", "length-4gib", "length-300mib", "proxy-auth")
STYLES = ("normal", "crlf", "empty-lines", "text-before", "no-host")
SLOW_PIECE = 1024
SLOW_PIECES = 16
SLOW_PAUSE = 0.05


def version_file(style, host, path):
    line = f"{host}{path}"
    return {
        "normal": f"{line}\n4.00.20160918\n",
        "crlf": f"{line}\r\n4.00.20160918\r\n",
        "empty-lines": f"\n\n\n{line}\n",
        "text-before": f"http://{line}\n",
        "no-host": f"http://downloads.elsewhere.example{path}\n",
    }[style].encode("ascii")


class Host:
    def __init__(self, args):
        self.name = args.host_name
        self.database_path = args.database_path
        self.mode = args.mode
        self.style = args.version_style
        if args.database:
            with open(args.database, "rb") as f:
                self.database = f.read()
        else:
            self.database = make_games_database.numbered(args.games, pad_to=args.pad_to)
        self.log_file = open(args.log, "a", buffering=1) if args.log else None
        self.lock = threading.Lock()

    def log(self, line):
        with self.lock:
            print(line, file=sys.stderr, flush=True)
            if self.log_file:
                self.log_file.write(line + "\n")


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "VantriUpdateHost"

    def setup(self):
        super().setup()
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def log_message(self, format, *args):  # the host keeps its own log
        pass

    def do_GET(self):
        host = self.server.update_host
        target = urlsplit(self.path)
        asked_host = target.hostname or (self.headers.get("Host") or "").split(":")[0]
        path = target.path + (f"?{target.query}" if target.query else "")
        self.close_connection = True
        if target.scheme and asked_host != host.name:
            # Not a proxy: nothing goes to anybody else's server.
            self.send_raw(502, [], b"not the update host\n", note="refused")
            return
        if path == "/proxy.pac" and not target.scheme:
            port = self.server.server_address[1]
            script = f'function FindProxyForURL(url, host) {{ return "PROXY 127.0.0.1:{port}"; }}\n'
            self.send_raw(200, None, script.encode("ascii"), note="pac")
        elif path == VERSION_PATH:
            self.send_raw(200, None, version_file(host.style, host.name, host.database_path), note=host.style)
        elif path.startswith("/version/") and path[len("/version/"):] in STYLES:
            style = path[len("/version/"):]
            self.send_raw(200, None, version_file(style, host.name, host.database_path), note=style)
        elif path == host.database_path:
            self.send_database(host.mode)
        elif path.startswith("/misbehave/") and path[len("/misbehave/"):] in MODES:
            self.send_database(path[len("/misbehave/"):])
        else:
            self.send_raw(404, None, b"<html><body>404 Not Found</body></html>", note="unknown")

    def send_database(self, mode):
        body = self.server.update_host.database
        if mode == "normal":
            self.send_raw(200, None, body, note=mode)
        elif mode == "no-length":
            self.send_raw(200, [], body, note=mode)
        elif mode == "chunked":
            self.send_chunked(body)
        elif mode == "length-zero":
            self.send_raw(200, ["Content-Length: 0"], b"", note=mode)
        elif mode == "short-close":
            self.send_raw(200, [f"Content-Length: {len(body)}"], body[: len(body) // 2], note=mode)
        elif mode == "not-found":
            self.send_raw(404, None, b"<html><body>no such database</body></html>", note=mode)
        elif mode == "slow":
            self.send_slow(body[: SLOW_PIECE * SLOW_PIECES])
        elif mode == "two-lengths":
            self.send_raw(200, [f"Content-Length: {len(body)}", f"Content-Length: {len(body) // 2}"], body,
                          note=mode)
        elif mode == "no-space":
            self.send_raw(200, ["Content-Length:123"], body[:123], note=mode)
        elif mode == "length-4gib":
            self.send_raw(200, ["Content-Length: 4294967296"], body[:4096], note=mode)
        elif mode == "length-300mib":
            self.send_raw(200, [f"Content-Length: {300 * 1024 * 1024}"], body[:4096], note=mode)
        elif mode == "proxy-auth":
            page = b"<html><body>proxy credentials needed</body></html>"
            self.send_raw(407, ['Proxy-Authenticate: Basic realm="office"', f"Content-Length: {len(page)}"], page,
                          note=mode)

    def head(self, status, lines):
        reason = {200: "OK", 404: "Not Found", 407: "Proxy Authentication Required", 502: "Bad Gateway"}[status]
        text = f"HTTP/1.1 {status} {reason}\r\n" + "".join(f"{line}\r\n" for line in lines)
        text += "Content-Type: application/octet-stream\r\nConnection: close\r\n\r\n"
        return text.encode("ascii")

    def send_raw(self, status, lines, body, note=""):
        """lines None: an honest Content-Length; otherwise exactly these."""
        if lines is None:
            lines = [f"Content-Length: {len(body)}"]
        sent = self.write(self.head(status, lines) + body)
        self.done(status, note, len(body) if sent else 0)

    def send_chunked(self, body):
        out = bytearray(self.head(200, ["Transfer-Encoding: chunked"]))
        for at in range(0, len(body), 65536):
            piece = body[at:at + 65536]
            out += f"{len(piece):x}\r\n".encode("ascii") + piece + b"\r\n"
        out += b"0\r\n\r\n"
        self.done(200, "chunked", len(body) if self.write(bytes(out)) else 0)

    def send_slow(self, body):
        if not self.write(self.head(200, [f"Content-Length: {len(body)}"])):
            return self.done(200, "slow", 0)
        sent = 0
        for at in range(0, len(body), SLOW_PIECE):
            time.sleep(SLOW_PAUSE)
            if not self.write(body[at:at + SLOW_PIECE]):
                break
            sent += len(body[at:at + SLOW_PIECE])
        self.done(200, "slow", sent)

    def write(self, data):
        try:
            self.wfile.write(data)
            self.wfile.flush()
            return True
        except OSError:  # the client gave up first (a length it refused)
            return False

    def done(self, status, note, sent):
        self.server.update_host.log(f"{self.command} {self.path} host={self.headers.get('Host', '')} "
                                    f"status={status} mode={note} bytes={sent}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--host-name", default="update.vantri4.example")
    parser.add_argument("--database-path", default="/db/Games.vdb")
    parser.add_argument("--database", help="file to serve as the database (default: built)")
    parser.add_argument("--games", type=int, default=24, help="games in the built database")
    parser.add_argument("--pad-to", type=int, default=0, help="the built database's size, zero-padded")
    parser.add_argument("--mode", choices=MODES, default="normal")
    parser.add_argument("--version-style", choices=STYLES, default="normal")
    parser.add_argument("--log", help="also append the request log to this file")
    args = parser.parse_args()

    server = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.daemon_threads = True
    server.update_host = Host(args)
    print(f"port={server.server_address[1]}", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()


if __name__ == "__main__":
    main()

"""Hostile requests against veltrona-remote beside the real arranger: each is
refused before it reaches the arranger's folders, and the arranger still
answers afterwards.
   argv: VELTRONA VELTRONA_TOOL VELTRONA_REMOTE DEMO_DIR BUILD_DIR"""
import base64
import os
import re
import socket
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from remote_rig import Rig  # noqa: E402


def raw(rig, data, seconds=5):
    """What the remote answers to raw bytes (its first line, or '')."""
    with socket.create_connection(("127.0.0.1", rig.port), timeout=seconds) as s:
        s.sendall(data)
        try:
            return s.recv(4096).split(b"\r\n")[0].decode(errors="replace")
        except (socket.timeout, ConnectionResetError):
            return ""


def main():
    rig = Rig(sys.argv[1:])
    failures = []

    def check(what, got, want):
        if got not in (want if isinstance(want, tuple) else (want,)):
            failures.append("%s: got %r, want %r" % (what, got, want))

    def refused(what, first_line):
        # civetweb answers what it cannot parse itself, or just closes.
        if first_line and not re.match(r"(HTTP/1\.[01] |Error )4\d\d", first_line):
            failures.append("%s: not refused: %r" % (what, first_line))

    try:
        secret = os.path.join(rig.tmp, "secret.mid")
        with open(secret, "wb") as f:
            f.write(b"MThd outside the folders")
        os.symlink(secret, os.path.join(rig.midi, "escape.mid"))
        os.symlink("../config.txt", os.path.join(rig.midi, "config.mid"))

        # Without a session only the page itself.
        check("page", rig.request("GET", "/")[0], 200)
        for path in ("/api/styles", "/api/download?name=escape.mid", "/api/session"):
            check("no session " + path, rig.request("GET", path)[0], 401)
        check("forged cookie", rig.request("GET", "/api/styles", headers={"Cookie": "vtn_session=" + "0" * 32})[0], 401)
        check("missing PIN", rig.request("POST", "/login", "")[0], 403)

        # Five wrong PINs (the missing one counts) lock the address out for a minute, right PIN or not.
        for _ in range(4):
            check("wrong PIN", rig.login("0000")[0], 403)
        status, body = rig.request("POST", "/login", "pin=7391")[0::2]
        check("sixth attempt", status, 429)
        if b"try again" not in body:
            failures.append("the lock-out does not say when to try again: %r" % body)

        # The lock-out holds one address only: a session from another.
        rig.source = "127.0.0.2"
        status, cookie = rig.login()
        check("login from another address", status, 200)
        auth = {"Cookie": cookie}
        headers = rig.request("GET", "/api/session", headers=auth)[1]
        for h in ("Content-Security-Policy", "X-Content-Type-Options", "Referrer-Policy"):
            if h not in headers:
                failures.append("no %s header" % h)

        # Names that are not plain file names, in every parameter.
        bad = ["../config.txt", "%2e%2e%2fconfig.txt", "%2E%2E/vtn.cfg", "/etc/passwd", "..%5cconfig.txt",
               ".hidden.mid", "a%00.mid", "x%0aquit.mid", "%2fetc%2fpasswd"]
        for name in bad:
            check("download " + name, rig.request("GET", "/api/download?name=" + name, headers=auth)[0], 400)
            check("upload " + name, rig.request("POST", "/api/upload?kind=song&name=" + name, b"MThd", auth)[0], 400)
        for line in ("play: ../config.txt", "play: /etc/passwd", "../../x.sty", "?download config.txt", "a\nquit"):
            check("command " + repr(line), rig.request("POST", "/api/command", line, auth)[0], 400)
        for name in ("escape.mid", "config.mid"):
            status, _, body = rig.request("GET", "/api/download?name=" + name, headers=auth)
            if status == 200 or b"outside" in body or b"remote:" in body:
                failures.append("a link out of the MIDI folder was followed: %s" % name)

        # Uploads: wrong extension, too large before any byte is read.
        check("wrong extension", rig.request("POST", "/api/upload?kind=style&name=x.exe", b"MZ", auth)[0], 400)
        check("song as style", rig.request("POST", "/api/upload?kind=style&name=x.mid", b"MThd", auth)[0], 400)
        check("oversized style", raw(rig, ("POST /api/upload?kind=style&name=big.sty HTTP/1.1\r\nHost: x\r\nCookie: %s\r\n"
                                         "Content-Length: %d\r\n\r\n" % (cookie, 17 << 20)).encode()), "HTTP/1.1 413 Payload Too Large")

        # WebSocket: no session, another origin, broken handshakes and frames.
        key = base64.b64encode(os.urandom(16)).decode()
        hs = ("GET /live HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n" % (rig.port, key))
        origin = "Origin: http://127.0.0.1:%d\r\n" % rig.port
        check("ws without session", raw(rig, (hs + origin + "\r\n").encode()), "HTTP/1.1 403 Forbidden")
        check("ws from another origin", raw(rig, (hs + "Origin: http://evil.example\r\nCookie: %s\r\n\r\n" % cookie).encode()),
              "HTTP/1.1 403 Forbidden")
        refused("ws without key", raw(rig, ("GET /live HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                            "Cookie: %s\r\n\r\n" % cookie).encode()))
        with socket.create_connection(("127.0.0.1", rig.port), timeout=5) as s:
            s.sendall((hs + origin + "Cookie: %s\r\n\r\n" % cookie).encode())
            check("ws handshake", s.recv(4096).split(b"\r\n")[0], b"HTTP/1.1 101 Switching Protocols")
            # An unmasked frame claiming 2^62 bytes, then garbage: the remote drops it.
            s.sendall(b"\x81\x7f" + (1 << 62).to_bytes(8, "big") + b"\xff" * 64)
            s.settimeout(5)
            try:
                while s.recv(4096):
                    pass
            except (socket.timeout, ConnectionResetError):
                pass
        refused("garbage request", raw(rig, b"\x16\x03\x01\x02\x00garbage\r\n\r\n"))
        refused("huge header", raw(rig, b"GET / HTTP/1.1\r\nX: " + b"a" * 20000 + b"\r\n\r\n"))

        # A flood of quick requests: answered or shed, and the page still works.
        start = time.monotonic()
        answered = 0
        for _ in range(500):
            try:
                answered += raw(rig, b"GET /api/styles HTTP/1.1\r\nHost: x\r\n\r\n", 2).startswith("HTTP/1.1 401")
            except OSError:
                pass
        print("flood: %d of 500 answered in %.1f s" % (answered, time.monotonic() - start))
        check("after the flood", rig.request("GET", "/api/styles", headers=auth)[0], 200)

        # Nothing was written to the folders, and the arranger answers.
        for folder in (rig.styles, rig.midi):
            extra = [n for n in os.listdir(folder) if n.startswith(("big", "x.", "quit", "a"))]
            if extra:
                failures.append("files written: %s" % extra)
        if "Status:" not in rig.status():
            failures.append("the arranger no longer answers")
    finally:
        rc = rig.close()
    if rc != 0:
        failures.append("the remote did not end cleanly on SIGTERM")
    for f in failures:
        print("FAILED:", f)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()

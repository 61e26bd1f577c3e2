"""The real arranger and veltrona-remote in a throwaway copy of demo/, for the
remote's tests and its latency benchmark.
   argv: VELTRONA VELTRONA_TOOL VELTRONA_REMOTE DEMO_DIR BUILD_DIR"""
import http.client
import os
import queue
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

PIN = "7391"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, check, seconds=10.0):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = check()
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)


class Rig:
    def __init__(self, argv):
        veltrona, tool, self.remote_bin, demo, self.build = argv[:5]
        self.tmp = tempfile.mkdtemp(prefix="vtn-remote-")
        self.work = os.path.join(self.tmp, "demo")
        shutil.copytree(demo, self.work, ignore=shutil.ignore_patterns("MIDI files", "Styles", "*.sock"))
        self.styles = os.path.join(self.work, "Styles")
        self.midi = os.path.join(self.work, "MIDI files")
        os.makedirs(self.styles)
        os.makedirs(self.midi)
        sources = os.path.join(self.work, "style-sources")
        for name in sorted(os.listdir(sources)):
            if name.endswith(".json"):
                subprocess.run([tool, "style-write", os.path.join(sources, name),
                                os.path.join(self.styles, name[:-5] + ".sty")], check=True, stdout=subprocess.DEVNULL)
        subprocess.run([tool, "settings-write", "settings.json", "vtn.cfg"], cwd=self.work, check=True,
                       stdout=subprocess.DEVNULL)
        self.port = free_port()
        self.source = None  # the address requests come from; None: the usual
        with open(os.path.join(self.work, "config.txt")) as f:
            config = [l for l in f if not re.match(r"\s*remote(pin)?:", l, re.I)]
        with open(os.path.join(self.work, "config.txt"), "w") as f:
            f.writelines(config + ["remote: %d\n" % self.port, "RemotePin: %s  # the tests' PIN\n" % PIN])
        self.lines = queue.Queue()
        self.arranger = subprocess.Popen([veltrona], cwd=self.work, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=subprocess.STDOUT, text=True, bufsize=1)
        threading.Thread(target=self._read, args=(self.arranger.stdout, self.lines), daemon=True).start()
        wait_for("the arranger's socket", lambda: os.path.exists(os.path.join(self.work, "veltrona.sock")))
        self.remote_lines = queue.Queue()
        self.remote = subprocess.Popen([self.remote_bin], cwd=self.work, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        threading.Thread(target=self._read, args=(self.remote.stdout, self.remote_lines), daemon=True).start()
        self.expect_remote("arranger connected")

    @staticmethod
    def _read(stream, lines):
        for line in stream:
            lines.put(line.rstrip("\n"))

    def expect_remote(self, text, seconds=10.0):
        end = time.monotonic() + seconds
        while True:
            line = self.remote_lines.get(timeout=max(0.01, end - time.monotonic()))
            if text in line:
                return line

    def console(self, line):
        self.arranger.stdin.write(line + "\n")
        self.arranger.stdin.flush()

    def status(self):
        """The arranger's own status line, asked at its console."""
        while not self.lines.empty():
            self.lines.get_nowait()
        self.console("status")
        end = time.monotonic() + 5
        while True:
            line = self.lines.get(timeout=max(0.01, end - time.monotonic()))
            if line.startswith("Status:"):
                return line

    def request(self, method, path, body=None, headers=None):
        """(status, headers, body) of one HTTP request to the remote."""
        source = (self.source, 0) if self.source else None
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10, source_address=source)
        try:
            c.request(method, path, body=body, headers=headers or {})
            r = c.getresponse()
            return r.status, dict(r.getheaders()), r.read()
        finally:
            c.close()

    def login(self, pin=PIN):
        status, headers, _ = self.request("POST", "/login", "pin=" + pin,
                                          {"Content-Type": "application/x-www-form-urlencoded"})
        cookie = headers.get("Set-Cookie", "").split(";")[0]
        return status, cookie

    def close(self):
        self.remote.send_signal(signal.SIGTERM)
        remote_rc = self.remote.wait(10)
        self.arranger.send_signal(signal.SIGTERM)
        try:
            self.arranger.wait(10)
        except subprocess.TimeoutExpired:
            self.arranger.kill()
        shutil.rmtree(self.tmp, ignore_errors=True)
        return remote_rc


def write_song_with_lyrics(path, lines, seconds_per_line=1.5):
    """A small .kar whose lyric events start each line (ended by a CR) in turn."""
    import mido
    song = mido.MidiFile(ticks_per_beat=480)
    track = mido.MidiTrack()
    song.tracks.append(track)
    track.append(mido.MetaMessage("set_tempo", tempo=500000))
    ticks = int(seconds_per_line * 960)
    for text in lines:
        track.append(mido.MetaMessage("lyrics", text=text + "\r", time=0))
        track.append(mido.Message("note_on", note=60, velocity=80, time=0))
        track.append(mido.Message("note_off", note=60, velocity=0, time=ticks))
    song.save(path)

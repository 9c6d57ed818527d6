"""Starts a built Dorvent binary and talks to it over a real WebSocket.

Used by the end-to-end tests: each test file is run by ctest as
    python3 test_x.py --dorvent PATH --dorvent-emu PATH
"""
import argparse
import asyncio
import json
import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest

import websockets

PORT = 17798
URI = "ws://127.0.0.1:%d" % PORT

_args = None


def binaries():
    """The paths given on the command line (parsed once)."""
    global _args
    if _args is None:
        parser = argparse.ArgumentParser()
        parser.add_argument("--dorvent", default="")
        parser.add_argument("--dorvent-emu", default="")
        _args, rest = parser.parse_known_args()
        sys.argv[1:] = rest
    return _args


def port_open(port=PORT):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.settimeout(0.2)
        return s.connect_ex(("127.0.0.1", port)) == 0


class Service:
    """One service process; stderr is kept for the tests to read."""

    def __init__(self, binary, wait_for_port=True, env=None, args=()):
        if not binary or not os.path.exists(binary):
            raise unittest.SkipTest("binary not built: %r" % binary)
        self.binary = binary
        self.wait_for_port = wait_for_port
        self.args = list(args)
        self.env = dict(os.environ, QT_QPA_PLATFORM="offscreen", **(env or {}))
        self.proc = None
        self._stderr = tempfile.TemporaryFile()
        self._stdout = tempfile.TemporaryFile()
        self._final = None

    def __enter__(self):
        if self.wait_for_port:
            deadline = time.time() + 10
            while port_open() and time.time() < deadline:  # a previous test's process going away
                time.sleep(0.1)
        self.proc = subprocess.Popen([self.binary, "-platform", "offscreen"] + self.args,
                                     stdout=self._stdout, stderr=self._stderr, env=self.env)
        if self.wait_for_port:
            deadline = time.time() + 60  # sanitizer builds start slowly
            while not port_open():
                if self.proc.poll() is not None:
                    raise RuntimeError("service exited with %s:\n%s" % (self.proc.returncode, self.stderr()))
                if time.time() > deadline:
                    raise RuntimeError("service did not listen on %d" % PORT)
                time.sleep(0.05)
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        # What the process wrote stays readable after the files are closed.
        if self._final is None:
            self._final = (self._read(self._stdout), self._read(self._stderr))
            self._stdout.close()
            self._stderr.close()

    def alive(self):
        return self.proc.poll() is None

    @staticmethod
    def _read(f):
        f.seek(0)
        return f.read().decode("utf-8", "replace")

    def stderr(self):
        return self._final[1] if self._final else self._read(self._stderr)

    def stdout(self):
        return self._final[0] if self._final else self._read(self._stdout)


def run(coro):
    return asyncio.run(coro)


async def exchange(messages, timeout=30):
    """Sends each text message on one connection and returns the text reply to each."""
    replies = []
    async with websockets.connect(URI, max_size=None) as ws:
        for message in messages:
            await ws.send(message)
            replies.append(await asyncio.wait_for(ws.recv(), timeout))
    return replies


def request(message, timeout=30):
    """One message, one reply, on a fresh connection."""
    return run(exchange([message], timeout))[0]


def requests(*messages, timeout=30):
    """Several messages in order on one connection; their replies."""
    return run(exchange(list(messages), timeout))


CONTROL_URI = "ws://127.0.0.1:17799"


async def control(command, timeout=10):
    """One command to dorvent-emu's control channel (waiting for the channel
    to listen, as the service may still be starting); its reply, which must
    say ok."""
    deadline = time.time() + timeout
    while True:
        try:
            async with websockets.connect(CONTROL_URI) as ws:
                await ws.send(json.dumps(command))
                reply = json.loads(await asyncio.wait_for(ws.recv(), timeout))
                assert reply["ok"], reply
                return reply
        except OSError:
            if time.time() > deadline:
                raise
            await asyncio.sleep(0.1)


def compact(obj):
    """The reply's own serialisation: compact, keys sorted, UTF-8 unescaped."""
    return json.dumps(obj, separators=(",", ":"), ensure_ascii=False, sort_keys=True)


def main():
    binaries()
    unittest.main(verbosity=2)

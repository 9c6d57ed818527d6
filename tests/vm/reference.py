#!/usr/bin/env python3
"""The replies dorvent-emu gives to the shared steps: what the guest must see.

  reference.py --emu PATH/dorvent-emu > reference.json

Run with a network namespace and a /tmp of its own (vmtest.py does): the
service's ports are fixed, and so are its photo files in /tmp.
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

import websockets

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import steps  # noqa: E402

CONTROL = "ws://127.0.0.1:17799"


def wait_port(port, proc, seconds=60):
    deadline = time.time() + seconds
    while time.time() < deadline:
        if proc.poll() is not None:
            raise RuntimeError("dorvent-emu exited with %s" % proc.returncode)
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.05)
    raise RuntimeError("dorvent-emu does not listen on %d" % port)


async def session():
    async with websockets.connect(CONTROL) as control_ws, \
            websockets.connect("ws://127.0.0.1:17798", max_size=None) as ws:
        async def control(command):
            await control_ws.send(json.dumps(command))
            return json.loads(await control_ws.recv())

        return await steps.run_steps(ws, control)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--emu", required=True)
    args = parser.parse_args()
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    with tempfile.TemporaryFile() as log:
        proc = subprocess.Popen([args.emu, "-platform", "offscreen"], stdout=subprocess.DEVNULL, stderr=log, env=env)
        try:
            wait_port(17798, proc)
            wait_port(17799, proc)
            replies = asyncio.run(session())
        finally:
            proc.terminate()
            proc.wait(10)
    problems = {label: steps.check_expected(label, text) for label, text in replies.items()}
    problems = {k: v for k, v in problems.items() if v}
    json.dump(replies, sys.stdout, ensure_ascii=False, indent=1)
    if problems:
        sys.exit("dorvent-emu's replies are not what the deck gives: %s" % problems)


if __name__ == "__main__":
    main()

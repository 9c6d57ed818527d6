#!/usr/bin/env python3
"""Records a regression trace with the service's own recorder.

    python3 record.py --dorvent-emu PATH [--everything] REQUESTS TRACE

Starts `dorvent-emu --trace DIR` (redacted, or everything), sends the
requests of REQUESTS (one JSON text a line; "# field: m1" or "# field: 15693"
puts that card in the reader's field through the control channel first) on
one connection, stops the service and moves its trace to TRACE. Run it in a
network namespace of its own (tests/e2e/isolated.sh) when other services may
hold the ports.
"""
import argparse
import asyncio
import glob
import json
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402
import websockets  # noqa: E402


# The actions the service answers with nothing.
NO_REPLY = {"collectFingerPrint", "ctnFingerPrint"}


async def send_all(lines, timeout=30):
    async with websockets.connect(harness.URI, max_size=None) as ws, \
            websockets.connect(harness.CONTROL_URI) as control:
        for line in lines:
            if line.startswith("# field:"):
                card = line.split(":", 1)[1].strip()
                await control.send(json.dumps({"cmd": "place", "place": "field", "card": card}))
                await asyncio.wait_for(control.recv(), timeout)
            elif line and not line.startswith("#"):
                await ws.send(line)
                if json.loads(line).get("_act") not in NO_REPLY:
                    await asyncio.wait_for(ws.recv(), timeout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dorvent-emu", required=True)
    parser.add_argument("--everything", action="store_true")
    parser.add_argument("requests")
    parser.add_argument("trace")
    args = parser.parse_args()
    with open(args.requests, encoding="utf-8") as f:
        lines = [line.strip() for line in f]
    folder = tempfile.mkdtemp(prefix="dorvent-record-")
    try:
        options = ["--trace", folder] + (["--trace-everything"] if args.everything else [])
        with harness.Service(args.dorvent_emu, args=options):
            asyncio.run(send_all(lines))
        traces = glob.glob(os.path.join(folder, "*.trace"))
        if len(traces) != 1:
            print("record.py: expected one trace in %s, found %s" % (folder, traces), file=sys.stderr)
            return 1
        shutil.move(traces[0], args.trace)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

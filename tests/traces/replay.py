#!/usr/bin/env python3
"""Replays a trace through dorvent-emu over a real WebSocket.

    python3 replay.py --dorvent-emu PATH TRACE

Starts `dorvent-emu --replay TRACE`, sends the trace's requests in order on
one connection and compares each reply with the recorded one: a '*' of the
recorded text (a redacted character) matches any character. A '*' in a
request (a redacted key, PIN or APDU) goes out as '0'; the replay takes the
recorded bytes there as wildcards. Exit status 0 when every reply agrees and
the service reported no mismatch, 1 otherwise, 2 for a file it cannot read.
"""
import argparse
import asyncio
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402
import websockets  # noqa: E402


def unescape(text):
    return re.sub(rb"%([0-9A-Fa-f]{2})", lambda m: bytes([int(m.group(1), 16)]), text.encode()).decode()


def read_trace(path):
    """The requests in order: [number, act, text, recorded reply or None]."""
    requests, by_number = [], {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\r\n")
            if line.startswith("request "):
                _, number, act, text = (line.split(" ", 3) + [""])[:4]
                entry = [int(number), unescape(act), unescape(text), None]
                requests.append(entry)
                by_number[entry[0]] = entry
            elif line.startswith("reply "):
                _, number, code, text = (line.split(" ", 3) + [""])[:4]
                # "reply N - " with no text: the request was answered with nothing.
                if int(number) in by_number and (code != "-" or text):
                    by_number[int(number)][3] = unescape(text)
    return requests


LIVE_ACTIONS = {"serviceStatus"}


def text_matches(text, recorded):
    return len(text) == len(recorded) and all(r == "*" or r == t for t, r in zip(text, recorded))


async def replay(requests, timeout=30):
    differences = []
    async with websockets.connect(harness.URI, max_size=None) as ws:
        for number, act, text, recorded in requests:
            await ws.send(text.replace("*", "0"))
            if recorded is None:
                continue
            reply = await asyncio.wait_for(ws.recv(), timeout)
            # The service's own state and clock, not the reader's: no replay gives it again.
            if act in LIVE_ACTIONS:
                continue
            if not text_matches(reply, recorded):
                differences.append("request %d (%s): the reply differs\n  got:      %s\n  recorded: %s"
                                   % (number, act, reply, recorded))
    return differences


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--dorvent-emu", required=True)
    parser.add_argument("trace")
    args = parser.parse_args()
    try:
        requests = read_trace(args.trace)
    except (OSError, ValueError) as error:
        print("replay.py: %s: %s" % (args.trace, error), file=sys.stderr)
        return 2
    with harness.Service(args.dorvent_emu, args=["--replay", args.trace]) as service:
        differences = asyncio.run(replay(requests))
    log = service.stderr()
    mismatches = [line for line in log.splitlines() if line.startswith("replay: mismatch") or line.startswith("  ")]
    summary = [line for line in log.splitlines() if line.startswith("replay: " + args.trace)]
    print(summary[0] if summary else "no replay summary on stderr:\n" + log)
    for difference in differences:
        print(difference)
    if any(line.startswith("replay: mismatch") for line in mismatches):
        print("\n".join(mismatches))
    ok = summary and not differences and not any(line.startswith("replay: mismatch") for line in mismatches)
    print("%d requests replayed: %s" % (len(requests), "every reply as recorded" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

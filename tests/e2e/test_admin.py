"""The administrator's configuration file against the running service: origins
refused at the handshake with browsers' Origin headers, a log that holds no
card data, a bad file refused at start and at SIGHUP."""
import asyncio
import json
import os
import signal
import subprocess
import tempfile
import time
import unittest

import websockets

from harness import URI, Service, binaries, control, main, run

# The Origin headers browsers send: a site's scheme, host and port; "null" for a file:// page.
ORIGIN_CASES = [
    # name, Origin header (None: a program that sends none), accepted
    ("listed site", "https://app.example.org", True),
    ("listed site on another port", "https://app.example.org:8443", False),
    ("unlisted site", "https://evil.example", False),
    ("wildcard: a subdomain", "https://shop.example.net", True),
    ("wildcard: the domain itself", "https://example.net", False),
    ("file:// page", "null", True),
    ("no Origin header", None, False),
]


def write_config(path, text):
    with open(path, "w") as f:
        f.write(text)


async def try_origin(origin, message='{"_act":"hello"}'):
    """The echo of message when the handshake is accepted, else the refusal's HTTP status."""
    try:
        async with websockets.connect(URI, origin=origin) as ws:
            await ws.send(message)
            return await asyncio.wait_for(ws.recv(), 10)
    except websockets.exceptions.InvalidStatusCode as refused:
        return refused.status_code


def wait_for(predicate, timeout=10):
    deadline = time.time() + timeout
    while not predicate():
        if time.time() > deadline:
            return False
        time.sleep(0.05)
    return True


class Admin(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.conf = os.path.join(self.dir.name, "dorvent.conf")

    def tearDown(self):
        self.dir.cleanup()

    def test_origins_over_a_real_websocket(self):
        write_config(self.conf, "allowed-origins = https://app.example.org *.example.net null\n")
        with Service(binaries().dorvent, args=["--config", self.conf]) as service:
            for name, origin, accepted in ORIGIN_CASES:
                with self.subTest(name):
                    got = run(try_origin(origin))
                    self.assertEqual(got, '{"_act":"hello"}' if accepted else 403)
            log = service.stderr()
        for name, origin, accepted in ORIGIN_CASES:
            said = 'origin "%s"' % origin if origin else "without Origin"
            verdict = "accepted" if accepted else "refused: origin not allowed"
            self.assertRegex(log, r"(?m)^connection 127\.0\.0\.1:\d+ %s %s$" % (said, verdict), name)

    def test_log_holds_no_card_data(self):
        write_config(self.conf, "log = debug\n")

        async def session():
            async with websockets.connect(URI, max_size=None) as ws:
                async def call(request):
                    await ws.send(json.dumps(request))
                    return json.loads(await asyncio.wait_for(ws.recv(), 60))
                replies = [await call({"_act": "open"}),
                           await call({"_act": "readIDCardEX", "_tflag": "id"}),
                           await call({"_act": "card44PowerOn", "type": "4442"}),
                           await call({"_act": "card44AuthPIN", "type": "4442", "key": "FFFFFF"})]
                await control({"cmd": "place", "place": "field", "card": "m1"})
                replies += [await call({"_act": "cardm1Find"}),
                            await call({"_act": "cardm1Auth", "addr": "4", "key": "FFFFFFFFFFFF", "keyType": "A"}),
                            await call({"_act": "cardm1Read", "addr": "4"})]
                return replies

        with Service(binaries().dorvent_emu, args=["--config", self.conf]) as service:
            replies = run(session())
            log = service.stderr()
        self.assertEqual([r["success"] for r in replies], [0] * len(replies), replies)
        card = replies[1]
        secrets = {key: card[key] for key in ("name", "birthday", "number", "organs", "signdate", "validterm")}
        secrets["photo"] = card["photoBase64"][:40]
        secrets["fingerprint"] = card["figData"][:32]
        secrets["PIN and M1 key"] = "FFFFFF"
        secrets["M1 UID"] = replies[4]["data"]
        for what, value in secrets.items():
            self.assertTrue(value)
            self.assertNotIn(value, log, what)
        for action in ("readIDCardEX", "card44AuthPIN", "cardm1Auth", "cardm1Read"):
            self.assertRegex(log, r"(?m)^request 127\.0\.0\.1:\d+ %s 0 \d+\.\d\d ms$" % action)
        self.assertRegex(log, r'(?m)^frame in .*"key":<6 chars>')

    def test_bad_file_refuses_to_start(self):
        cases = [
            ("unknown setting", "# ok\nlisten = 127.0.0.1\nport = 1\n", ":3: unknown setting 'port'"),
            ("origin with a path", "allowed-origins = https://a.example/\n", ":1: 'https://a.example/' is more than an origin"),
            ("bad level", "\n\nlog = loud\n", ":3: log is one of off, requests, debug"),
        ]
        for name, text, reason in cases:
            with self.subTest(name):
                write_config(self.conf, text)
                result = subprocess.run([binaries().dorvent, "-platform", "offscreen", "--config", self.conf],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=60,
                                        env=dict(os.environ, QT_QPA_PLATFORM="offscreen"))
                self.assertEqual(result.returncode, 78)
                self.assertIn("not started: " + self.conf + reason, result.stderr.decode())
        missing = os.path.join(self.dir.name, "missing.conf")
        result = subprocess.run([binaries().dorvent, "-platform", "offscreen", "--config", missing],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=60)
        self.assertEqual(result.returncode, 78)
        self.assertIn("not started: %s: cannot be read" % missing, result.stderr.decode())

    def test_sighup_reloads_and_keeps_settings_over_a_bad_file(self):
        write_config(self.conf, "allowed-origins = https://a.example\n")
        with Service(binaries().dorvent, args=["--config", self.conf]) as service:
            self.assertEqual(run(try_origin("https://b.example")), 403)

            write_config(self.conf, "allowed-origins = https://b.example\nlisten = nowhere\n")
            service.proc.send_signal(signal.SIGHUP)
            self.assertTrue(wait_for(lambda: "not reloaded" in service.stderr()))
            self.assertIn("configuration not reloaded, settings unchanged: %s:2: 'nowhere' is not an IP address"
                          % self.conf, service.stderr())
            self.assertEqual(run(try_origin("https://b.example")), 403)
            self.assertEqual(run(try_origin("https://a.example")), '{"_act":"hello"}')

            write_config(self.conf, "allowed-origins = https://b.example\n")
            service.proc.send_signal(signal.SIGHUP)
            self.assertTrue(wait_for(lambda: "configuration reloaded" in service.stderr()))
            self.assertEqual(run(try_origin("https://b.example")), '{"_act":"hello"}')
            self.assertEqual(run(try_origin("https://a.example")), 403)
            self.assertTrue(service.alive())


if __name__ == "__main__":
    main()

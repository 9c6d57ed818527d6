"""Who may connect, seen from another machine: a second network namespace
joined to this one by a veth pair, its client at 10.77.0.2 and the service
at 10.77.0.1. Needs root (ip netns); skipped otherwise."""
import os
import subprocess
import tempfile
import textwrap
import unittest

from harness import Service, binaries, main

HOST, PEER = "10.77.0.1", "10.77.0.2"

# Run in the peer namespace: one handshake and one echo; prints what came of it.
CLIENT = textwrap.dedent("""
    import asyncio, sys, websockets
    async def go():
        try:
            async with websockets.connect(sys.argv[1], open_timeout=5) as ws:
                await ws.send('{"_act":"hello"}')
                print("echoed" if await asyncio.wait_for(ws.recv(), 5) == '{"_act":"hello"}' else "wrong reply")
        except ConnectionRefusedError:
            print("connection refused")
        except (websockets.exceptions.InvalidHandshake, websockets.exceptions.ConnectionClosed, OSError) as e:
            print("dropped before the handshake: " + type(e).__name__)
    asyncio.run(go())
""")


def sh(*cmd):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


class OtherHost(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("needs root to make a second network namespace (ip netns)")
        cls.ns = "dorvent-peer-%d" % os.getpid()
        made = sh("ip", "netns", "add", cls.ns)
        if made.returncode != 0:
            raise unittest.SkipTest("ip netns add failed here: " + made.stdout.strip())
        steps = [
            ("ip", "link", "set", "lo", "up"),
            ("ip", "link", "add", "dvhost", "type", "veth", "peer", "name", "dvpeer", "netns", cls.ns),
            ("ip", "addr", "add", HOST + "/24", "dev", "dvhost"),
            ("ip", "link", "set", "dvhost", "up"),
            ("ip", "netns", "exec", cls.ns, "ip", "addr", "add", PEER + "/24", "dev", "dvpeer"),
            ("ip", "netns", "exec", cls.ns, "ip", "link", "set", "dvpeer", "up"),
            ("ip", "netns", "exec", cls.ns, "ip", "link", "set", "lo", "up"),
        ]
        for step in steps:
            result = sh(*step)
            if result.returncode != 0:
                cls.tearDownClass()
                raise unittest.SkipTest("veth pair not possible here: %s: %s" % (" ".join(step), result.stdout))

    @classmethod
    def tearDownClass(cls):
        sh("ip", "link", "del", "dvhost")
        sh("ip", "netns", "del", cls.ns)

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.conf = os.path.join(self.dir.name, "dorvent.conf")

    def tearDown(self):
        self.dir.cleanup()

    def from_peer(self):
        result = sh("ip", "netns", "exec", self.ns, "/usr/bin/python3", "-c", CLIENT, "ws://%s:17798" % HOST)
        return result.stdout.strip()

    def from_here(self):
        result = sh("/usr/bin/python3", "-c", CLIENT, "ws://127.0.0.1:17798")
        return result.stdout.strip()

    def service(self, config):
        if config is None:
            return Service(binaries().dorvent)
        with open(self.conf, "w") as f:
            f.write(config)
        return Service(binaries().dorvent, args=["--config", self.conf])

    def test_who_gets_through(self):
        cases = [
            # name, configuration (None: no file), the peer's outcome, the log line about the peer
            ("built-in: every address, any host", None, "echoed", "accepted"),
            ("loopback only", "listen = 127.0.0.1 ::1\n", "connection refused", None),
            ("another host allowed", "allowed-hosts = 10.77.0.3\n", "dropped before the handshake",
             "refused: host not allowed"),
            ("the peer's network allowed", "allowed-hosts = 10.77.0.0/24\n", "echoed", "accepted"),
        ]
        for name, config, outcome, logged in cases:
            with self.subTest(name), self.service(config) as service:
                self.assertTrue(self.from_peer().startswith(outcome))
                self.assertEqual(self.from_here(), "echoed")  # loopback is never refused
                log = service.stderr()
                peer_lines = [line for line in log.splitlines() if line.startswith("connection %s:" % PEER)]
                self.assertEqual(len(peer_lines), 1 if logged else 0, log)
                if logged:
                    self.assertTrue(peer_lines[0].endswith(logged), peer_lines[0])


if __name__ == "__main__":
    main()

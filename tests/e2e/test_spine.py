"""The service process: start-up lines, the envelope over a real socket, a taken port."""
import asyncio
import socket
import time
import unittest

import websockets

from harness import PORT, URI, Service, binaries, main, request, run


class Spine(unittest.TestCase):
    def test_startup_lines_and_envelope(self):
        with Service(binaries().dorvent) as service:
            self.assertEqual(request("{'_act':'hello'}"), '{"_act":"hello"}')
            lines = service.stderr().splitlines()
        expected = ["hello World", "This is a debug message", "This is a warning message",
                    "This is a critical message", '"****"']
        self.assertEqual(lines[:5], expected)
        self.assertIn("pClient", lines[5:])

    def test_binary_frames_come_back(self):
        async def go():
            async with websockets.connect(URI) as ws:
                await ws.send(b"\x00\x01\xfe\xff")
                return await asyncio.wait_for(ws.recv(), 10)
        with Service(binaries().dorvent):
            self.assertEqual(run(go()), b"\x00\x01\xfe\xff")

    def test_port_taken_keeps_running_serves_nothing_and_says_why(self):
        blocker = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
        blocker.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # earlier tests' TIME_WAIT
        blocker.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        blocker.bind(("::", PORT))
        blocker.listen(1)
        try:
            with Service(binaries().dorvent, wait_for_port=False) as service:
                time.sleep(1.5)
                self.assertTrue(service.alive())
                # Our blocker, not the service, holds the port: a connection is never upgraded.
                with socket.create_connection(("127.0.0.1", PORT), timeout=2):
                    pass
                conn, _ = blocker.accept()
                conn.close()
                self.assertTrue(service.alive())
                self.assertIn("cannot listen on port 17798", service.stderr())
        finally:
            blocker.close()


if __name__ == "__main__":
    main()

"""dorvent-emu's reader unplugged and plugged back through the control
channel: one action of every family answers "reader gone" while it is away
and works once it is back, with no close and open; two clients; a reader no
page opened stays closed; a resume announced on a private D-Bus renews the
handle; without a system bus the service runs as before."""
import asyncio
import json
import os
import shutil
import subprocess
import time
import unittest

import websockets

from harness import Service, URI, binaries, control, main, request, requests, run

GONE = '{"_tflag":"","functionName":"%s","msg":"读卡器已拔出","success":-31}'
NOT_OPEN = '{"_tflag":"","functionName":"%s","msg":"端口未打开","success":-1}'

# One action per family: (the card it needs placed first, the actions it
# needs first, the action).
FAMILIES = [
    ("reader", None, [], {"_act": "beep"}),
    ("CPU card", None, [{"_act": "cardClodPowerOn", "slotNo": "1"}],
     {"_act": "cardRun", "slotNo": "1", "apdu": "0084000008"}),
    ("identity card", None, [], {"_act": "readIDCard"}),
    ("M1", {"place": "field", "card": "m1"}, [], {"_act": "cardm1Find"}),
    ("ISO 15693", {"place": "field", "card": "iso15693"}, [], {"_act": "card15693Find"}),
    ("memory card", None, [], {"_act": "card44PowerOn", "type": "4442"}),
    ("magnetic stripe", None, [], {"_act": "scardGet"}),
    ("bank card", {"place": "field", "card": "bank"}, [], {"_act": "readBankNO"}),
    ("social-security card", None, [], {"_act": "readSci", "slotNo": "11"}),
]


def plug(plugged):
    state = run(control({"cmd": "plug" if plugged else "unplug"}))["state"]
    assert state["plugged"] == plugged, state


def success(reply):
    return json.loads(reply)["success"]


class EveryFamily(unittest.TestCase):
    def test_gone_while_unplugged_and_working_once_back(self):
        with Service(binaries().dorvent_emu) as service:
            self.assertEqual(success(request('{"_act":"open"}')), 0)
            for family, card, first, action in FAMILIES:
                with self.subTest(family):
                    if card:
                        run(control(dict(card, cmd="place")))
                    text = json.dumps(action)
                    firsts = [json.dumps(a) for a in first]
                    for reply in requests(*firsts):
                        self.assertEqual(success(reply), 0, reply)
                    plug(False)
                    self.assertEqual(request(text), GONE % action["_act"])
                    plug(True)
                    # A fresh plug-in: the card needs its power-on again, the reader no open.
                    replies = requests(*firsts, text)
                    for reply in replies:
                        self.assertEqual(success(reply), 0, reply)
            self.assertIn("reader opened again (plugged in again)", service.stderr())

    def test_a_reader_no_page_opened_stays_closed(self):
        with Service(binaries().dorvent_emu) as service:
            plug(False)
            plug(True)
            status = json.loads(request('{"_act":"serviceStatus"}'))
            self.assertEqual((status["readerPresent"], status["readerOpen"]), (True, False))
            self.assertEqual(request('{"_act":"beep"}'), NOT_OPEN % "beep")
            self.assertNotIn("opened again", service.stderr())

    def test_two_clients(self):
        async def scenario():
            async with websockets.connect(URI) as first, websockets.connect(URI) as second:
                async def call(ws, text):
                    await ws.send(text)
                    return await asyncio.wait_for(ws.recv(), 30)
                replies = [await call(first, '{"_act":"open"}')]
                await control({"cmd": "unplug"})
                replies.append(await call(second, '{"_act":"readIDCard"}'))
                await control({"cmd": "plug"})
                replies.append(await call(second, '{"_act":"readIDCard"}'))
                replies.append(await call(first, '{"_act":"beep"}'))
                return replies

        with Service(binaries().dorvent_emu):
            opened, during, second, first = run(scenario())
        self.assertEqual(success(opened), 0)
        self.assertEqual(during, GONE % "readIDCard")
        self.assertEqual(json.loads(second)["name"], "林晓雯")
        self.assertEqual(success(first), 0)


class PrivateBus:
    """A D-Bus daemon of the test's own, standing in for the system bus."""

    def __enter__(self):
        daemon = shutil.which("dbus-daemon")
        if not daemon:
            raise unittest.SkipTest("no dbus-daemon (Debian's dbus-daemon package)")
        self.proc = subprocess.Popen([daemon, "--session", "--nofork", "--nopidfile", "--print-address=1"],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.address = self.proc.stdout.readline().strip()
        return self

    def __exit__(self, *exc):
        self.proc.terminate()
        self.proc.wait(10)


def prepare_for_sleep(bus, sleeping):
    import dbus.lowlevel
    message = dbus.lowlevel.SignalMessage("/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                          "PrepareForSleep")
    message.append(sleeping, signature="b")
    bus.send_message(message)
    bus.flush()


def wait_for(condition, seconds=10):
    deadline = time.time() + seconds
    while not condition():
        if time.time() > deadline:
            return False
        time.sleep(0.05)
    return True


class Resume(unittest.TestCase):
    def test_resume_signal_renews_the_handle(self):
        try:
            import dbus
        except ImportError:
            raise unittest.SkipTest("no python3-dbus")
        renewed = "reader opened again (the system resumed)"
        suspending = "system sleep: suspending"

        async def scenario(address):
            async with websockets.connect(URI) as ws:
                async def call(text):
                    await ws.send(text)
                    return await asyncio.wait_for(ws.recv(), 30)
                self.assertEqual(success(await call('{"_act":"open"}')), 0)
                # The demo swipe is taken; the next read waits, holding the reader.
                self.assertEqual(success(await call('{"_act":"scardRead","outTime":"5","mgNum":"2"}')), 0)
                await ws.send('{"_act":"scardRead","outTime":"60","mgNum":"2"}')

                # Only logind's name is listened to, and only the resume counts.
                # The bus keeps each sender's order, and a call made after the
                # stranger's signal puts it before everything logind sends.
                stranger = dbus.bus.BusConnection(address)
                prepare_for_sleep(stranger, False)
                stranger.list_names()
                logind = dbus.bus.BusConnection(address)
                logind.request_name("org.freedesktop.login1")
                prepare_for_sleep(logind, True)
                prepare_for_sleep(logind, False)
                # The wait ends: the reader may have lost it while the system slept.
                waited = await asyncio.wait_for(ws.recv(), 30)
                beep = await call('{"_act":"beep"}')
                status = json.loads(await call('{"_act":"serviceStatus"}'))
                return waited, beep, status

        with PrivateBus() as bus_daemon, \
                Service(binaries().dorvent_emu, env={"DBUS_SYSTEM_BUS_ADDRESS": bus_daemon.address}) as service:
            self.assertIn("watching logind's PrepareForSleep", service.stderr())
            waited, beep, status = run(scenario(bus_daemon.address))
            self.assertTrue(wait_for(lambda: renewed in service.stderr().partition(suspending)[2]),
                            service.stderr())
            log = service.stderr()
        self.assertEqual(log.count("system sleep: resumed"), 1, log)
        self.assertEqual(log.count("opened again"), 1)
        self.assertEqual(waited, GONE % "scardRead")
        self.assertEqual(success(beep), 0)
        self.assertEqual((status["readerPresent"], status["readerOpen"]), (True, True))


class NoSystemBus(unittest.TestCase):
    def test_runs_as_before(self):
        env = {"DBUS_SYSTEM_BUS_ADDRESS": "unix:path=/nonexistent/dorvent-test-bus"}
        with Service(binaries().dorvent_emu, env=env) as service:
            replies = requests('{"_act":"open"}', '{"_act":"beep"}')
            plug(False)
            gone = request('{"_act":"beep"}')
            plug(True)
            back = request('{"_act":"beep"}')
            self.assertTrue(service.alive())
        self.assertEqual([success(r) for r in replies], [0, 0])
        self.assertEqual(gone, GONE % "beep")
        self.assertEqual(success(back), 0)
        self.assertIn("no system bus", service.stderr())


if __name__ == "__main__":
    main()

"""What the guest's scenarios share: results, the virtual reader's control
port, the reader as the kernel sees it, the service's WebSocket."""

import asyncio
import json
import os
import socket
import subprocess
import sys
import time

import websockets

PORT = 17798
URI = "ws://127.0.0.1:%d" % PORT
VENDOR, PRODUCT = "06ce", "e03f"
CONTROL_PORT_NAME = "dorvent.vreader"

# What a request answers before any open.
NOT_OPEN = "端口未打开"
# What a request answers while the reader a page opened is away.
READER_GONE = -31, "读卡器已拔出"

# The two control transfers the service may send, as the virtual reader logs them.
SERVICE_SETUPS = {"21/09/0000/0000/32 ok", "A1/01/3000/0000/32 ok"}


def mark(text):
    """A line the host times the run by."""
    with open("/dev/console", "w") as console:
        console.write("VMTEST-MARK %s\n" % text)


class Results:
    """Checks and times, one JSON line each, in the host's result folder."""

    def __init__(self, folder, scenario):
        self.scenario = scenario
        self.file = open(os.path.join(folder, "results-%s.jsonl" % scenario), "a")
        self.failed = 0

    def _write(self, record):
        self.file.write(json.dumps(record, ensure_ascii=False) + "\n")
        self.file.flush()

    def check(self, name, ok, detail=""):
        self._write({"check": name, "ok": bool(ok), "detail": str(detail)[:2000]})
        if not ok:
            self.failed += 1
        return bool(ok)

    def time(self, name, seconds):
        self._write({"time": name, "seconds": round(seconds, 2)})

    def crashed(self, name, error):
        self.check(name, False, "%s: %s" % (type(error).__name__, error))


def wait_until(condition, seconds, step=0.1):
    deadline = time.time() + seconds
    while True:
        value = condition()
        if value or time.time() > deadline:
            return value
        time.sleep(step)


class ReaderControl:
    """The virtual reader's control port (a virtio serial port): one JSON
    command per line, one reply per line."""

    def __init__(self):
        ports = "/sys/class/virtio-ports"
        names = {}
        for port in os.listdir(ports) if os.path.isdir(ports) else []:
            with open(os.path.join(ports, port, "name")) as f:
                names[f.read().strip()] = port
        if CONTROL_PORT_NAME not in names:
            raise RuntimeError("no virtio port named %s (have %s)" % (CONTROL_PORT_NAME, names))
        self.fd = os.open("/dev/" + names[CONTROL_PORT_NAME], os.O_RDWR)
        self.buffer = b""

    def __call__(self, command):
        os.write(self.fd, json.dumps(command).encode() + b"\n")
        while b"\n" not in self.buffer:
            chunk = os.read(self.fd, 65536)
            if not chunk:
                raise RuntimeError("control port closed")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line)

    async def async_call(self, command):
        return self(command)

    def setups(self):
        return self({"cmd": "setups"})["setups"]


# ---- The reader as the kernel sees it ----

def reader_device():
    """The reader's sysfs folder, or None when it is not on the bus."""
    base = "/sys/bus/usb/devices"
    for entry in sorted(os.listdir(base)):
        path = os.path.join(base, entry)
        try:
            with open(os.path.join(path, "idVendor")) as v, open(os.path.join(path, "idProduct")) as p:
                if (v.read().strip(), p.read().strip()) == (VENDOR, PRODUCT):
                    return path
        except OSError:
            continue
    return None


def interface_driver():
    """The driver bound to the reader's interface 0: usbhid, usbfs or None."""
    device = reader_device()
    if not device:
        return None
    link = os.path.join(device, os.path.basename(device) + ":1.0", "driver")
    return os.path.basename(os.readlink(link)) if os.path.islink(link) else None


def device_node():
    device = reader_device()
    if not device:
        return None
    with open(os.path.join(device, "busnum")) as b, open(os.path.join(device, "devnum")) as d:
        return "/dev/bus/usb/%03d/%03d" % (int(b.read()), int(d.read()))


def wait_plugged(seconds=20):
    """The reader back on the bus with usbhid bound to it (the kernel's
    enumeration is over then)."""
    return wait_until(lambda: interface_driver() == "usbhid", seconds)


def wait_back(seconds=20):
    """The reader back on the bus and enumerated: usbhid bound to it, or
    usbfs once the service has opened it again on its own."""
    return wait_until(lambda: interface_driver() in ("usbhid", "usbfs"), seconds)


def answers_reader_gone(reply):
    return (reply.get("success"), reply.get("msg")) == READER_GONE


def wait_unplugged(seconds=20):
    return wait_until(lambda: reader_device() is None, seconds)


def setups_only_service(setups):
    """(ok, detail): every setup is one of the service's two, and there are some."""
    other = [s for s in setups if s not in SERVICE_SETUPS]
    return bool(setups) and not other, "%d setups%s" % (len(setups), ", others: %s" % other[:10] if other else "")


# ---- The service ----

def port_open():
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", PORT)) == 0


class Service:
    """dorvent (or dorvent-emu) started here; its output kept in files."""

    def __init__(self, binary, folder, name, args=()):
        self.stdout = open(os.path.join(folder, name + ".stdout"), "w")
        self.stderr_path = os.path.join(folder, name + ".stderr")
        self.stderr = open(self.stderr_path, "w")
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        self.proc = subprocess.Popen([binary, "-platform", "offscreen"] + list(args), stdout=self.stdout,
                                     stderr=self.stderr, env=env)
        if not wait_until(lambda: port_open() or self.proc.poll() is not None, 60, 0.05) or not port_open():
            raise RuntimeError("%s does not listen (exit %s)" % (binary, self.proc.poll()))

    def alive(self):
        return self.proc.poll() is None

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.stdout.close()
        self.stderr.close()

    def log(self):
        with open(self.stderr_path, errors="replace") as f:
            return f.read()


class Client:
    """One WebSocket connection; requests answered in order, raw texts kept."""

    def __init__(self):
        self.loop = asyncio.new_event_loop()

        async def connect():
            return await websockets.connect(URI, max_size=None)
        self.ws = self.loop.run_until_complete(connect())

    def text(self, request, timeout=60):
        async def exchange():
            await self.ws.send(json.dumps(request, ensure_ascii=False))
            return await asyncio.wait_for(self.ws.recv(), timeout)
        return self.loop.run_until_complete(exchange())

    def call(self, action, timeout=60, **fields):
        return json.loads(self.text(dict(fields, _act=action, _tflag=action), timeout))

    def steps(self, control, steps, timeout=60):
        import steps as shared
        return self.loop.run_until_complete(shared.run_steps(self.ws, control, steps, timeout))

    def close(self):
        self.loop.run_until_complete(self.ws.close())
        self.loop.close()


def photo_of(reply_text):
    return json.loads(reply_text).get("photoBase64")


def load_config(path):
    with open(path) as f:
        config = json.load(f)
    sys.path.insert(0, config["vmdir"])
    return config

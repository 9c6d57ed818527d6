#!/usr/bin/python3
"""Scenario "driver", in the guest: the real dorvent (libusb, not the
emulated build) reads the demo deck through the guest kernel's USB stack,
QEMU's usb-redir and the virtual reader.

  guest_driver.py CONFIG.json   (the host's vmtest.py writes it)
"""

import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import guestlib as g  # noqa: E402
import steps  # noqa: E402

# readIDCard takes about a hundred transfers; the reader leaves after this many.
UNPLUG_AFTER_TRANSFERS = 20


def kernel_enumeration(r, control, when):
    """The setups of an enumeration: the kernel read the descriptors, set the
    configuration and usbhid read the report descriptor."""
    setups = control.setups()
    wanted = ["80/06/0100/0000/18 ok", "80/06/0200/0000/34 ok", "00/09/0001/0000/0 ok"]
    ok = all(s in setups for s in wanted) and any(s.startswith("81/06/2200/0000/") for s in setups)
    r.check("%s: the kernel enumerated the reader (descriptors, configuration, report descriptor)" % when,
            ok, setups)


def reopen(r, client, when):
    replies = [client.call("close")["success"], client.call("open")["success"]]
    r.check("%s: close and open answer 0" % when, replies == [0, 0], replies)
    r.check("%s: the interface is usbfs's once the service holds it" % when,
            g.interface_driver() == "usbfs", g.interface_driver())


def read_id_card_as_reference(r, client, reference, when):
    text = client.text(json.loads(steps.request_text("readIDCard", steps.STEPS[3][1])))
    r.check("%s: readIDCard gives dorvent-emu's reply, photo byte for byte" % when,
            text == reference["readIDCard"], text[:300])


def main():
    config = g.load_config(sys.argv[1])
    out = config["out"]
    with open(config["reference"]) as f:
        reference = json.load(f)
    r = g.Results(out, "driver")
    g.mark("scenario driver")
    started = time.time()
    control = g.ReaderControl()

    r.check("the reader is on the guest's USB bus", g.wait_plugged(), g.reader_device())
    r.check("usbhid holds its interface before the service opens it",
            g.interface_driver() == "usbhid", g.interface_driver())
    kernel_enumeration(r, control, "boot")

    # The steps' session is recorded whole; the host replays it against
    # dorvent-emu afterwards.
    traces = os.path.join(out, "traces")
    os.makedirs(traces, mode=0o700, exist_ok=True)
    t = time.time()
    service = g.Service(config["dorvent"], out, "dorvent", ["--trace", traces, "--trace-everything"])
    r.time("driver: dorvent start", time.time() - t)
    client = g.Client()
    try:
        # The session of the steps, through the kernel.
        t = time.time()
        replies = client.steps(control.async_call, steps.STEPS[:1])
        r.check("after open, usbfs holds the interface (the service detached usbhid and claimed it)",
                g.interface_driver() == "usbfs", g.interface_driver())
        replies.update(client.steps(control.async_call, steps.STEPS[1:]))
        r.time("driver: the steps (%d requests)" % len(replies), time.time() - t)
        for label, text in replies.items():
            wrong = steps.check_expected(label, text)
            same = text == reference.get(label)
            r.check("%s: the reply is dorvent-emu's%s" % (label, " and the deck's" if label in steps.EXPECT else ""),
                    same and not wrong, "; ".join(wrong) or ("" if same else "got %s" % text[:300]))
        ok, detail = g.setups_only_service(control.setups())
        r.check("the service sent only 21/09/0000/0000/32 and A1/01/3000/0000/32", ok, detail)
        # The recorded session ends with this service; the rest runs unrecorded.
        client.close()
        service.stop()
        files = os.listdir(traces)
        r.check("the session was recorded: one trace file, 0600",
                len(files) == 1 and os.stat(os.path.join(traces, files[0])).st_mode & 0o777 == 0o600, files)
        service = g.Service(config["dorvent"], out, "dorvent-unrecorded")
        client = g.Client()

        # Unplugged while idle, plugged back.
        t = time.time()
        client.call("open")
        control.setups()
        control({"cmd": "unplug"})
        r.check("idle unplug: the reader leaves the guest's bus", g.wait_unplugged(), g.reader_device())
        replies = [client.call("beep"), client.call("readIDCard"), client.call("open")]
        r.check("idle unplug: beep, readIDCard and open answer -31 读卡器已拔出 while the reader is away",
                all(g.answers_reader_gone(reply) for reply in replies),
                [{k: reply.get(k) for k in ("functionName", "success", "msg")} for reply in replies])
        control({"cmd": "plug"})
        r.check("plug back: the reader is back on the bus", g.wait_back(), g.interface_driver())
        kernel_enumeration(r, control, "plug back")
        beep = client.call("beep")
        r.check("plug back: beep works without a new open", beep["success"] == 0, beep)
        r.check("plug back: usbfs holds the interface (the service opened the reader again)",
                g.interface_driver() == "usbfs", g.interface_driver())
        control.setups()  # what that beep sent
        # Close and open still work as ever.
        reopen(r, client, "plug back")
        read_id_card_as_reference(r, client, reference, "plug back")
        ok, detail = g.setups_only_service(control.setups())
        r.check("plug back: the service sent only its two setups", ok, detail)
        r.time("driver: idle unplug and plug", time.time() - t)

        # Unplugged in the middle of an identity-card read.
        t = time.time()
        control({"cmd": "unplug", "afterTransfers": UNPLUG_AFTER_TRANSFERS})
        t_read = time.time()
        reply = client.call("readIDCard")
        r.check("unplug during readIDCard: the read answers -31 读卡器已拔出 (in %.1f s)" % (time.time() - t_read),
                g.answers_reader_gone(reply), {k: reply.get(k) for k in ("success", "msg")})
        r.check("unplug during readIDCard: the reader leaves the bus", g.wait_unplugged(), g.reader_device())
        setups = control.setups()
        ok, detail = g.setups_only_service(setups)
        r.check("unplug during readIDCard: the reader saw %d of the service's transfers, then none"
                % UNPLUG_AFTER_TRANSFERS, ok and len(setups) == UNPLUG_AFTER_TRANSFERS, detail)
        r.check("unplug during readIDCard: the service keeps running", service.alive())
        control({"cmd": "plug"})
        r.check("plug back after the broken read: the reader is back on the bus", g.wait_back(),
                g.interface_driver())
        kernel_enumeration(r, control, "plug back after the broken read")
        # The next read works with no close and open.
        read_id_card_as_reference(r, client, reference, "plug back after the broken read")
        ok, detail = g.setups_only_service(control.setups())
        r.check("plug back after the broken read: the service sent only its two setups", ok, detail)
        r.time("driver: unplug during a read and plug", time.time() - t)
        client.call("close")
    except Exception as error:  # recorded, and the scenario ends
        r.crashed("driver scenario", error)
    finally:
        client.close()
        alive = service.alive()
        service.stop()
        log = service.log()
        r.check("dorvent ran to the end without a crash", alive and "Segmentation" not in log, log[-500:])
    r.time("driver: scenario", time.time() - started)
    g.mark("scenario driver done")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""The product on a real kernel: QEMU (TCG) boots Debian's kernel with the
host's root shared read-only over 9p and no network card, and the virtual
reader (dorvent-vreader) is plugged into its xHCI controller over usb-redir.

  vmtest.py --build BUILD_DIR [--scenario driver|installed|all] [--keep]

Scenarios (tests/vm/guest_*.py run in the guest):
  driver     the real dorvent and a WebSocket client in the guest: every card
             family, the setup packets, unplug and plug
  installed  systemd as PID 1 on an overlay of the shared root; our .deb
             installed with dpkg, then udev, the unit's sandbox, the doctor

Prints each check, the times, and one 'N passed, N failed' line; exits 0
only when every check passed. A machine that cannot run it (no QEMU, no
busybox-static, no kernel from the archive) fails it, loudly.
"""

import argparse
import glob
import json
import os
import shutil
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
import guestkernel  # noqa: E402

PYTHON = "/usr/bin/python3"  # Debian's, with python3-websockets
QEMU = "qemu-system-x86_64"
# Far above what a quiet 2-core machine needs (about 35 s and 100 s), for a
# busy one.
VM_SECONDS = {"driver": 240, "installed": 360}


class Tally:
    def __init__(self):
        self.passed = 0
        self.failed = 0
        self.times = []

    def check(self, scenario, name, ok, detail=""):
        if ok:
            self.passed += 1
        else:
            self.failed += 1
        line = "%s %s: %s" % ("PASS" if ok else "FAIL", scenario, name)
        if detail and not ok:
            line += "\n       " + str(detail).replace("\n", "\n       ")
        print(line, flush=True)
        return ok

    def time(self, name, seconds):
        self.times.append((name, seconds))


def run(args, **kw):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kw)


def isolated(command):
    """The command in namespaces of its own where the machine allows:
    dorvent-emu's ports and its /tmp photo files are fixed, and other tests
    may be using them."""
    if run(["unshare", "-n", "-m", "true"]).returncode == 0:
        return ["unshare", "-n", "-m", "sh", "-c",
                'mount --make-rprivate / && mount -t tmpfs tmpfs /tmp && ip link set lo up && exec "$@"',
                "sh"] + command
    return command


def reference_replies(build, path):
    """dorvent-emu's replies to the shared steps, written to path."""
    command = isolated([PYTHON, os.path.join(HERE, "reference.py"), "--emu", os.path.join(build, "dorvent-emu")])
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=120)
    with open(path, "w") as f:
        f.write(result.stdout)
    return result.returncode, result.stderr


def build_package(build, folder):
    result = run(["cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-B", folder], timeout=300)
    debs = glob.glob(os.path.join(folder, "*.deb"))
    return (debs[0] if len(debs) == 1 else None), result.stdout


class Console(threading.Thread):
    """Reads the guest's serial console, keeps it in a file, times the marks."""

    def __init__(self, stream, path, start):
        super().__init__(daemon=True)
        self.stream, self.path, self.start_time = stream, path, start
        self.marks = {}
        self.failures = []

    def run(self):
        with open(self.path, "w", errors="replace") as log:
            for raw in self.stream:
                line = raw.decode("utf-8", "replace").rstrip("\r\n")
                log.write(line + "\n")
                log.flush()
                at = line.find("VMTEST-MARK ")
                if at >= 0:
                    self.marks.setdefault(line[at + 12:].strip(), time.monotonic() - self.start_time)
                if "VMTEST-FAIL" in line:
                    self.failures.append(line)


def guest_units(config_path):
    target = """[Unit]
Description=Dorvent VM test
Requires=basic.target
After=basic.target
Wants=vmtest.service
AllowIsolate=yes
"""
    service = """[Unit]
Description=Dorvent VM test: the installed package
After=basic.target systemd-udevd.service systemd-udev-trigger.service

[Service]
Type=oneshot
Environment=PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8
ExecStart=%s %s %s
StandardOutput=journal+console
StandardError=journal+console
TimeoutStartSec=600
# The script powers off when done; this when it cannot.
FailureAction=poweroff-immediate
""" % (PYTHON, os.path.join(HERE, "guest_installed.py"), config_path)
    return {"vmtest.target": target, "vmtest.service": service}


def run_vm(scenario, build, kernel, initrd, reference, deb, work, tally):
    out = os.path.join(work, "out")
    os.makedirs(out)
    guest_out = "/tmp/vmtest-out" if scenario == "driver" else "/vmtest-out"
    config = {
        "vmdir": HERE, "source": SOURCE, "out": guest_out,
        "reference": os.path.join(guest_out, "reference.json"),
        "dorvent": os.path.join(build, "dorvent"), "deb": deb and os.path.join(guest_out, os.path.basename(deb)),
    }
    with open(os.path.join(out, "config.json"), "w") as f:
        json.dump(config, f, indent=1)
    shutil.copy(reference, os.path.join(out, "reference.json"))
    if scenario == "driver":
        with open(os.path.join(out, "run.sh"), "w") as f:
            f.write("export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 XDG_RUNTIME_DIR=/run/vmtest\n"
                    "mkdir -p -m 0700 /run/vmtest && cd /tmp\n"
                    "exec %s %s %s/config.json\n" % (PYTHON, os.path.join(HERE, "guest_driver.py"), guest_out))
    else:
        shutil.copy(deb, out)
        os.makedirs(os.path.join(out, "units"))
        for name, text in guest_units(os.path.join(guest_out, "config.json")).items():
            with open(os.path.join(out, "units", name), "w") as f:
                f.write(text)

    redir, control = os.path.join(work, "usbredir.sock"), os.path.join(work, "control.sock")
    vreader_log = open(os.path.join(work, "vreader.log"), "w")
    vreader = subprocess.Popen([os.path.join(build, "emulator", "vusb", "dorvent-vreader"),
                                "--usbredir", redir, "--control", control,
                                "--setup-log", os.path.join(work, "setups.log")],
                               stdout=vreader_log, stderr=subprocess.STDOUT)
    deadline = time.time() + 20
    while not (os.path.exists(redir) and os.path.exists(control)) and vreader.poll() is None \
            and time.time() < deadline:
        time.sleep(0.05)
    if not tally.check(scenario, "the virtual reader listens", os.path.exists(control) and vreader.poll() is None):
        vreader.kill()
        return

    append = "console=ttyS0 quiet loglevel=3 panic=-1 vmtest.scenario=%s" % scenario
    if scenario == "installed":
        append += " systemd.unit=vmtest.target systemd.show_status=false"
    qemu = [QEMU, "-machine", "q35", "-m", "1024", "-smp", "2",
            "-display", "none", "-monitor", "none", "-serial", "stdio", "-no-reboot", "-nic", "none",
            "-kernel", kernel, "-initrd", initrd, "-append", append,
            "-virtfs", "local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap",
            "-virtfs", "local,path=%s,mount_tag=out,security_model=none,multidevs=remap" % out,
            "-device", "qemu-xhci,id=xhci",
            "-chardev", "socket,id=vreader,path=%s" % redir,
            "-device", "usb-redir,chardev=vreader,bus=xhci.0",
            "-device", "virtio-serial-pci",
            "-chardev", "socket,id=control,path=%s" % control,
            "-device", "virtserialport,chardev=control,name=dorvent.vreader"]
    started = time.monotonic()
    with open(os.path.join(work, "qemu.log"), "w") as qemu_log:
        vm = subprocess.Popen(qemu, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=qemu_log)
        console = Console(vm.stdout, os.path.join(work, "console.log"), started)
        console.start()
        try:
            vm.wait(VM_SECONDS[scenario])
            in_time = True
        except subprocess.TimeoutExpired:
            vm.kill()
            vm.wait()
            in_time = False
        console.join(10)
    elapsed = time.monotonic() - started
    vreader.terminate()
    vreader.wait(10)
    vreader_log.close()

    tally.check(scenario, "the VM ran to its end within %d s" % VM_SECONDS[scenario], in_time,
                "killed after %.0f s; see %s" % (elapsed, os.path.join(work, "console.log")))
    for failure in console.failures:
        tally.check(scenario, "the guest's init", False, failure)
    marks = console.marks
    if "init" in marks:
        tally.time("%s: boot to our init" % scenario, marks["init"])
    if "root" in marks:
        tally.time("%s: shared root mounted" % scenario, marks["root"])
    start_mark = "scenario %s" % scenario
    if start_mark in marks:
        tally.time("%s: boot to the scenario" % scenario, marks[start_mark])
    tally.time("%s: the whole VM" % scenario, elapsed)

    results = os.path.join(out, "results-%s.jsonl" % scenario)
    records = []
    if os.path.exists(results):
        with open(results) as f:
            records = [json.loads(line) for line in f if line.strip()]
    tally.check(scenario, "the guest reported its checks and finished",
                any("check" in r for r in records) and "scenario %s done" % scenario in marks,
                "see %s" % os.path.join(work, "console.log"))
    for record in records:
        if "check" in record:
            tally.check(scenario, record["check"], record["ok"], record.get("detail"))
        elif "time" in record:
            tally.time(record["time"], record["seconds"])
    if scenario == "driver":
        replay_recorded(build, os.path.join(out, "traces"), tally)


def replay_recorded(build, folder, tally):
    """The session the real service recorded through the kernel, served by
    dorvent-emu --replay: every reply the same, byte for byte."""
    traces = sorted(glob.glob(os.path.join(folder, "*.trace")))
    if not tally.check("driver", "the guest's recorded session is here", len(traces) == 1, traces):
        return
    t = time.monotonic()
    # The replay gets a /tmp of its own, which hides the work folder.
    visible = tempfile.mkdtemp(prefix="vm-replay-", dir=build)
    try:
        trace = shutil.copy(traces[0], visible)
        command = isolated([PYTHON, os.path.join(SOURCE, "tests", "traces", "replay.py"),
                            "--dorvent-emu", os.path.join(build, "dorvent-emu"), trace])
        result = run(command, timeout=180)
    finally:
        shutil.rmtree(visible, ignore_errors=True)
    tally.check("driver", "dorvent-emu --replay of the real kernel's session gives every recorded reply",
                result.returncode == 0, result.stdout[-3000:])
    tally.time("driver: replay of the recorded session", time.monotonic() - t)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", required=True)
    parser.add_argument("--scenario", choices=["driver", "installed", "all"], default="all")
    parser.add_argument("--cache", help="where the kernel is kept (default BUILD/vm-cache)")
    parser.add_argument("--keep", action="store_true", help="keep the work folder (logs, console, setups)")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    cache = os.path.abspath(args.cache or os.path.join(build, "vm-cache"))
    scenarios = ["driver", "installed"] if args.scenario == "all" else [args.scenario]
    tally = Tally()
    began = time.monotonic()
    work = tempfile.mkdtemp(prefix="dorvent-vmtest-")
    try:
        ready = True
        for tool, why in [(QEMU, "install qemu-system-x86"), (guestkernel.BUSYBOX, "install busybox-static"),
                          (PYTHON, "install python3")]:
            found = bool(shutil.which(tool) or os.path.exists(tool))
            ready &= tally.check("setup", "%s is there" % tool, found, why)
        for binary in ["dorvent", "dorvent-emu", "emulator/vusb/dorvent-vreader"]:
            ready &= tally.check("setup", "%s is built" % binary, os.path.exists(os.path.join(build, binary)))
        if not ready:
            return finish(tally, began)

        t = time.monotonic()
        try:
            package, unpacked = guestkernel.fetch(cache)
            kernel = guestkernel.kernel_image(unpacked)
            initrd = os.path.join(work, "initramfs.cpio")
            modules = guestkernel.make_initramfs(initrd, unpacked, os.path.join(HERE, "init"))
            tally.check("setup", "the guest kernel %s and an initramfs with %d modules" % (package, len(modules)), True)
        except (guestkernel.KernelError, OSError, subprocess.SubprocessError) as error:
            tally.check("setup", "the guest kernel from the archive", False, error)
            return finish(tally, began)
        tally.time("setup: kernel and initramfs", time.monotonic() - t)

        t = time.monotonic()
        reference = os.path.join(work, "reference.json")
        code, errors = reference_replies(build, reference)
        if not tally.check("setup", "dorvent-emu's replies to the steps (the reference)", code == 0, errors[-2000:]):
            return finish(tally, began)
        tally.time("setup: the reference from dorvent-emu", time.monotonic() - t)

        deb = None
        if "installed" in scenarios:
            t = time.monotonic()
            deb, log = build_package(build, os.path.join(work, "package"))
            tally.check("setup", "the Debian package built", deb, log[-2000:])
            tally.time("setup: the package", time.monotonic() - t)

        for scenario in scenarios:
            if scenario == "installed" and not deb:
                continue
            folder = os.path.join(work, scenario)
            os.makedirs(folder)
            run_vm(scenario, build, kernel, initrd, reference, deb, folder, tally)
        return finish(tally, began)
    finally:
        if args.keep or tally.failed:
            print("work folder kept: %s" % work)
        else:
            shutil.rmtree(work, ignore_errors=True)


def finish(tally, began):
    tally.time("the whole test", time.monotonic() - began)
    print("\ntimes on this machine:")
    for name, seconds in tally.times:
        print("  %-60s %6.1f s" % (name, seconds))
    print("\n%d passed, %d failed" % (tally.passed, tally.failed))
    return 0 if tally.failed == 0 and tally.passed > 0 else 1


if __name__ == "__main__":
    sys.exit(main())

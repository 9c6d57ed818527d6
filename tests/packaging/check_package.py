#!/usr/bin/env python3
"""The Debian package, end to end.

Builds it from this build tree with CPack and checks its files, modes and
metadata, lintian and the udev rule. Then, where the machine allows (root,
mount and network namespaces, overlayfs), installs it into a throwaway root:
an overlay of this machine in namespaces of its own, so that nothing reaches
the real system. There it checks what the maintainer scripts set up, runs
systemd-analyze on the installed unit, runs dorvent-doctor in the four
situations a user meets (the running service is dorvent-emu, the emulated
reader, as the service user; the reader's bus entry and device node are made
in the throwaway /sys and /dev), purges the package and looks for leftovers.

  check_package.py --build BUILD_DIR --emu PATH/TO/dorvent-emu

Exit 0 when all holds, 1 on a fault, 77 when the throwaway root cannot be made
(the checks before it have then passed).
"""

import argparse
import fnmatch
import io
import os
import re
import shutil
import socket
import stat
import subprocess
import sys
import tarfile
import tempfile
import time

APP_DIR = "opt/apps/cn.luvaro.dorvent/bin"
SERVICE_USER = "dorvent"
PORT = 17798
SKIPPED = 77

# Every file in the package with its mode; all are root's, and so is every
# directory (0755). The card pictures are not here: the service user's files
# cannot be shipped, postinst makes them.
PACKAGE_FILES = {
    "etc/dorvent/dorvent.conf": 0o644,
    "etc/fonts/conf.d/30-dorvent-aliases.conf": 0o644,
    "lib/systemd/system/dorvent.service": 0o644,
    "lib/udev/rules.d/60-dorvent.rules": 0o644,
    f"{APP_DIR}/back.jpg": 0o644,
    f"{APP_DIR}/front.jpg": 0o644,
    "usr/bin/dorvent": 0o755,
    "usr/bin/dorvent-doctor": 0o755,
    "usr/share/doc/dorvent/changelog.gz": 0o644,
    "usr/share/doc/dorvent/copyright": 0o644,
    "usr/share/lintian/overrides/dorvent": 0o644,
    "usr/share/man/man1/dorvent-doctor.1.gz": 0o644,
    "usr/share/man/man1/dorvent.1.gz": 0o644,
    "usr/share/metainfo/cn.luvaro.dorvent.metainfo.xml": 0o644,
}
REQUIRED_DEPENDS = [
    "libqt5core5a", "libqt5gui5", "libqt5network5", "libqt5websockets5", "libqt5widgets5",
    "libusb-1.0-0", "fontconfig", "fonts-wqy-zenhei", "adduser",
]
MAINTAINER_SCRIPTS = ["postinst", "prerm", "postrm"]

# The reader as udev sees it when it is plugged in.
READER = {
    "ACTION": "add", "SUBSYSTEM": "usb", "ENV{DEVTYPE}": "usb_device",
    "ATTR{idVendor}": "06ce", "ATTR{idProduct}": "e03f",
}
UDEV_CASES = [
    # name, device, what the rule must assign
    ("reader plugged in", READER, {"GROUP": SERVICE_USER, "MODE": "0660"}),
    ("reader seen again (change)", {**READER, "ACTION": "change"}, {"GROUP": SERVICE_USER, "MODE": "0660"}),
    ("reader unplugged", {**READER, "ACTION": "remove"}, {}),
    ("the reader's interface", {**READER, "ENV{DEVTYPE}": "usb_interface"}, {}),
    ("another product of the same maker", {**READER, "ATTR{idProduct}": "e040"}, {}),
    ("another maker's device", {**READER, "ATTR{idVendor}": "1d6b", "ATTR{idProduct}": "0002"}, {}),
    ("a hidraw node", {"ACTION": "add", "SUBSYSTEM": "hidraw"}, {}),
]

CHECKS = 7  # dorvent-doctor's checks, in its order:
# reader on the bus, service user may open it, service listening, templates, fonts, pictures, configuration
DOCTOR_CASES = [
    # name, reader node as (owner, group, mode) or None when unplugged, who holds the port,
    # who runs the doctor, the doctor's mark for each check, exit status
    ("no reader", None, "service", "root", ["FAIL", "--", "ok", "ok", "ok", "ok", "ok"], 1),
    ("reader present but not accessible", ("root", "root", 0o664), "service", "root",
     ["ok", "FAIL", "ok", "ok", "ok", "ok", "ok"], 1),
    ("everything fine", "as the rule makes it", "service", "root", ["ok"] * CHECKS, 0),
    # the service's process is hidden from an ordinary user: its answer shows it
    ("everything fine, seen by an ordinary user", "as the rule makes it", "service", "nobody",
     ["ok"] * CHECKS, 0),
    ("port held by another process", "as the rule makes it", "another process", "root",
     ["ok", "ok", "FAIL", "ok", "ok", "ok", "ok"], 1),
]
# What dorvent-doctor --bundle puts in its tarball, under one folder.
BUNDLE_FILES = ["README.txt", "configuration.txt", "doctor.txt", "dorvent.conf", "journal.txt", "lsusb.txt",
                "service.txt", "versions.txt"]

# What dpkg itself keeps about packages, and shadow's backups of the user
# files (userdel keeps one copy of each before it changes them).
PURGE_MAY_LEAVE = [
    "var/lib/dpkg/*", "var/log/*", "var/cache/debconf/*", "var/cache/man/*",
    "etc/passwd-", "etc/group-", "etc/shadow-", "etc/gshadow-", "etc/subuid-", "etc/subgid-",
]

faults = []


def expect(condition, what):
    if not condition:
        faults.append(what)
        print(f"FAULT: {what}", flush=True)
    return condition


def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kw)


def section(title):
    print(f"\n== {title}", flush=True)


# --- the package ---------------------------------------------------------

def build_package(build_dir, out_dir):
    result = run(["cpack", "--config", os.path.join(build_dir, "CPackConfig.cmake"), "-B", out_dir])
    debs = [f for f in os.listdir(out_dir) if f.endswith(".deb")]
    if result.returncode != 0 or len(debs) != 1:
        print(result.stdout)
        sys.exit("cpack did not make one .deb")
    return os.path.join(out_dir, debs[0])


def check_contents(deb):
    section("files and modes")
    data = subprocess.run(["dpkg-deb", "--fsys-tarfile", deb], stdout=subprocess.PIPE, check=True).stdout
    files = {}
    with tarfile.open(fileobj=io.BytesIO(data)) as tar:
        for entry in tar.getmembers():
            path = entry.name.lstrip("./")
            print(f"{stat.filemode(entry.mode | (0o40000 if entry.isdir() else 0o100000))} "
                  f"{entry.uname}/{entry.gname} {path or '.'}")
            expect((entry.uname, entry.gname) == ("root", "root"), f"{path} is not root's")
            expect(entry.mode & 0o022 == 0, f"{path} is writable by others than root")
            if entry.isdir():
                expect(entry.mode == 0o755, f"directory {path} is {entry.mode:o}")
            else:
                files[path] = entry.mode
    expect(files == PACKAGE_FILES,
           f"file list differs: extra {sorted(set(files) - set(PACKAGE_FILES))}, "
           f"missing {sorted(set(PACKAGE_FILES) - set(files))}, "
           f"modes {[(p, oct(m)) for p, m in files.items() if PACKAGE_FILES.get(p, m) != m]}")

    section("metadata")
    fields = run(["dpkg-deb", "-f", deb]).stdout
    print(fields)
    depends = re.search(r"^Depends: (.*)$", fields, re.M)
    names = {re.split(r"[\s(]", alt.strip())[0] for dep in (depends.group(1) if depends else "").split(",")
             for alt in dep.split("|")}
    for package in REQUIRED_DEPENDS:
        expect(package in names, f"Depends lacks {package}")
    control = tempfile.mkdtemp(prefix="dorvent-control-")
    try:
        subprocess.run(["dpkg-deb", "-e", deb, control], check=True)
        for script in MAINTAINER_SCRIPTS:
            path = os.path.join(control, script)
            expect(os.path.isfile(path) and os.stat(path).st_mode & 0o777 == 0o755, f"{script} missing or not 0755")
            expect(run(["sh", "-n", path]).returncode == 0, f"{script} is not valid sh")
        with open(os.path.join(control, "conffiles")) as f:
            expect(sorted(f.read().split()) == ["/etc/dorvent/dorvent.conf", "/etc/fonts/conf.d/30-dorvent-aliases.conf"],
                   "conffiles")
    finally:
        shutil.rmtree(control)


def check_lintian(deb):
    section("lintian")
    if not shutil.which("lintian"):
        expect(False, "lintian is not installed (scripts/install-deps.sh installs it)")
        return
    result = run(["lintian", "--fail-on", "error", "--display-level", ">=warning", deb])
    print(result.stdout or "(no tags)")
    expect(result.returncode == 0, "lintian reports errors")


def udev_assignments(rules, device):
    """What the rules assign to a device: a small udev matcher for the keys the rule uses."""
    assigned = {}
    for line in rules.splitlines():
        if not line.strip() or line.lstrip().startswith("#"):
            continue
        keys = re.findall(r'([A-Z_]+(?:\{[^}]*\})?)\s*(==|!=|\+=|:=|=)\s*"([^"]*)"', line)
        matches = all(
            any(fnmatch.fnmatchcase(device.get(key, ""), alt) for alt in value.split("|")) == (op == "==")
            for key, op, value in keys if op in ("==", "!="))
        if matches:
            assigned.update({key: value for key, op, value in keys if op not in ("==", "!=")})
    return assigned


def check_udev_rule(source_dir):
    section("udev rule")
    with open(os.path.join(source_dir, "packaging/udev/60-dorvent.rules")) as f:
        rules = f.read()
    for name, device, wanted in UDEV_CASES:
        got = udev_assignments(rules, device)
        print(f"{name}: {got or 'untouched'}")
        expect(got == wanted, f"udev rule, {name}: assigns {got}, wanted {wanted}")
    for mode in re.findall(r'MODE\s*:?=\s*"([0-7]+)"', rules):
        expect(int(mode, 8) & 0o002 == 0, f"udev rule makes a world-writable node ({mode})")
    return udev_assignments(rules, READER)


# --- the throwaway root ---------------------------------------------------

def sh(cmd):
    subprocess.run(cmd, check=True)


def make_root(top):
    """An overlay of this machine at top/root, with its own /proc, /sys, /dev, /run and /tmp."""
    sh(["mount", "-t", "tmpfs", "tmpfs", top])
    for d in ("upper", "work", "root"):
        os.mkdir(os.path.join(top, d))
    root = os.path.join(top, "root")
    sh(["mount", "-t", "overlay", "overlay", "-o",
        f"lowerdir=/,upperdir={top}/upper,workdir={top}/work", root])
    sh(["mount", "-t", "proc", "proc", f"{root}/proc"])
    for d in ("sys", "dev", "run", "tmp"):
        sh(["mount", "-t", "tmpfs", "tmpfs", f"{root}/{d}"])
    os.chmod(f"{root}/tmp", 0o1777)
    for name, minor in (("null", 3), ("zero", 5), ("full", 7), ("random", 8), ("urandom", 9)):
        os.mknod(f"{root}/dev/{name}", 0o20666, os.makedev(1, minor))
        os.chmod(f"{root}/dev/{name}", 0o666)
    sh(["ip", "link", "set", "lo", "up"])
    return root


# The environment of every command in the throwaway root.
ROOT_ENV = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "HOME": "/root", "LANG": "C.UTF-8",
            "QT_QPA_PLATFORM": "offscreen"}


def in_root(root, cmd, user="root"):
    return run(["chroot", f"--userspec={user}:{user if user != 'nobody' else 'nogroup'}", root] + cmd, env=ROOT_ENV)


def walk(top):
    found = set()
    for d, dirs, files in os.walk(top):
        for name in dirs + files:
            found.add(os.path.relpath(os.path.join(d, name), top))
    return found


def account(root, name):
    with open(f"{root}/etc/passwd") as f:
        for line in f:
            fields = line.rstrip("\n").split(":")
            if fields[0] == name:
                return fields
    return None


def plug_reader(root, node):
    """The reader's sysfs entry and device node, or none; a root hub is always there."""
    for d in ("sys/bus", "sys/devices", "dev/bus"):
        shutil.rmtree(f"{root}/{d}", ignore_errors=True)
    devices = f"{root}/sys/bus/usb/devices"
    os.makedirs(devices)
    os.makedirs(f"{root}/sys/bus/usb/drivers/usbhid")
    entries = [("usb1", "1d6b", "0002", 1, 1)] + ([("1-2", "06ce", "e03f", 1, 5)] if node else [])
    for name, vendor, product, bus, address in entries:
        real = f"{root}/sys/devices/pci0000:00/0000:00:14.0/usb1/{name}" if name != "usb1" else \
            f"{root}/sys/devices/pci0000:00/0000:00:14.0/usb1"
        os.makedirs(real, exist_ok=True)
        for attr, value in (("idVendor", vendor), ("idProduct", product), ("busnum", bus), ("devnum", address)):
            with open(f"{real}/{attr}", "w") as f:
                f.write(f"{value}\n")
        os.symlink(os.path.relpath(real, devices), f"{devices}/{name}")
    if not node:
        return
    iface = f"{root}/sys/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0"
    os.makedirs(iface)
    os.symlink(os.path.relpath(f"{root}/sys/bus/usb/drivers/usbhid", iface), f"{iface}/driver")
    os.symlink(os.path.relpath(iface, devices), f"{devices}/1-2:1.0")
    owner, group, mode = node
    os.makedirs(f"{root}/dev/bus/usb/001")
    path = f"{root}/dev/bus/usb/001/005"
    os.mknod(path, 0o20000 | mode, os.makedev(189, 4))
    os.chmod(path, mode)
    ids = in_root(root, ["sh", "-c", f"id -u {owner}; getent group {group} | cut -d: -f3"]).stdout.split()
    os.chown(path, int(ids[0]), int(ids[1]))


def port_answers():
    try:
        with socket.create_connection(("127.0.0.1", PORT), timeout=1):
            return True
    except OSError:
        return False


class PortHolder:
    """Whoever listens on the service's port: the emulated service as the service user, or another process."""

    def __init__(self, root, emu):
        self.root, self.emu, self.kind, self.process, self.sock = root, emu, None, None, None

    def become(self, kind):
        if kind == self.kind:
            return
        self.stop()
        if kind == "service":
            self.process = subprocess.Popen(
                ["chroot", f"--userspec={SERVICE_USER}:{SERVICE_USER}", self.root, self.emu, "-platform", "offscreen"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env={**ROOT_ENV, "HOME": "/nonexistent"})
            deadline = time.monotonic() + 60  # sanitizer builds start slowly
            while not port_answers():
                if self.process.poll() is not None or time.monotonic() > deadline:
                    sys.exit("the emulated service did not start listening")
                time.sleep(0.2)
        else:
            self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            self.sock.bind(("0.0.0.0", PORT))
            self.sock.listen()
        self.kind = kind

    def stop(self):
        if self.process:
            self.process.terminate()
            self.process.wait(timeout=30)
        if self.sock:
            self.sock.close()
        self.kind, self.process, self.sock = None, None, None


def check_installed(root, deb):
    section("install into the throwaway root")
    shutil.copy(deb, f"{root}/tmp/dorvent.deb")
    result = in_root(root, ["dpkg", "-i", "/tmp/dorvent.deb"])
    print(result.stdout)
    if not expect(result.returncode == 0, "dpkg -i failed"):
        return False
    user = account(root, SERVICE_USER)
    if not expect(user is not None, "postinst made no service user"):
        return False
    print("service user:", ":".join(user))
    expect(user[5] == "/nonexistent" and user[6].endswith("nologin") and int(user[2]) < 1000,
           "the service user is not a system user without home and login")
    for picture in ("frontNew.jpg", "backNew.jpg"):
        st = os.lstat(f"{root}/{APP_DIR}/{picture}")
        print(f"{APP_DIR}/{picture}: {stat.filemode(st.st_mode)} uid {st.st_uid}")
        expect(st.st_uid == int(user[2]) and st.st_mode == 0o100600, f"{picture} is not the service user's, 0600")
    st = os.stat(f"{root}/{APP_DIR}")
    expect(st.st_uid == 0 and st.st_mode & 0o777 == 0o755, "the install folder is not root's 0755")
    expect(os.path.islink(f"{root}/etc/systemd/system/multi-user.target.wants/dorvent.service"),
           "postinst did not enable the service")
    return True


def check_unit(root):
    section("systemd-analyze verify")
    man = "--man=yes" if os.path.exists(f"{root}/usr/bin/man") else "--man=no"
    result = in_root(root, ["systemd-analyze", "verify", man, "/lib/systemd/system/dorvent.service"])
    print(result.stdout or f"(clean, {man})")
    expect(result.returncode == 0 and not result.stdout.strip(), "systemd-analyze verify is not clean")

    section("systemd-analyze security")
    result = in_root(root, ["systemd-analyze", "security", "--offline=true", "/lib/systemd/system/dorvent.service"])
    print("\n".join(line for line in result.stdout.splitlines() if line.startswith(("✗", "→"))))
    level = re.search(r"Overall exposure level for dorvent.service: ([0-9.]+) (\w+)", result.stdout)
    expect(level and float(level.group(1)) <= 2.0, "exposure level above 2.0")

    with open(f"{root}/lib/systemd/system/dorvent.service") as f:
        unit = f.read()
    # The console trace holds a card holder's fields.
    expect(re.search(r"^StandardOutput=null$", unit, re.M), "standard output may reach a log")


def read_identity_card():
    """open, readIDCard, close over the service's WebSocket: the replies' codes."""
    import asyncio
    import json

    import websockets  # Debian's python3-websockets, as the end-to-end tests use

    async def exchange():
        async with websockets.connect(f"ws://127.0.0.1:{PORT}", max_size=None) as ws:
            codes = []
            for action in ("open", "readIDCard", "close"):
                await ws.send(json.dumps({"_act": action, "_tflag": "1"}))
                codes.append(json.loads(await asyncio.wait_for(ws.recv(), 60))["success"])
            return codes

    return asyncio.run(exchange())


def check_pictures_written(root):
    """The service user writes the card pictures the package made for it, and they stay private."""
    section("the service writes the card pictures")
    uid = int(account(root, SERVICE_USER)[2])
    codes = read_identity_card()
    expect(codes == [0, 0, 0], f"open, readIDCard, close answered {codes}")
    for picture in ("frontNew.jpg", "backNew.jpg"):
        st = os.lstat(f"{root}/{APP_DIR}/{picture}")
        print(f"{picture}: {st.st_size} bytes, {stat.filemode(st.st_mode)} uid {st.st_uid}")
        expect(st.st_size > 0 and st.st_uid == uid and st.st_mode == 0o100600,
               f"{picture} was not written, or is no longer the service user's 0600")


def check_doctor(root, emu, rule):
    shutil.copy(emu, f"{root}/tmp/dorvent-emu")
    holder = PortHolder(root, "/tmp/dorvent-emu")
    node_by_rule = ("root", rule.get("GROUP", "root"), int(rule.get("MODE", "0600"), 8))
    try:
        for name, node, holding, user, marks, status in DOCTOR_CASES:
            section(f"dorvent-doctor: {name}")
            plug_reader(root, node_by_rule if node == "as the rule makes it" else node)
            holder.become("service" if holding == "service" else "another process")
            result = in_root(root, ["/usr/bin/dorvent-doctor"], user)
            print(result.stdout)
            got = re.findall(r"^\[\s*(ok|FAIL|--)\s*\]", result.stdout, re.M)
            expect(got == marks and result.returncode == status,
                   f"doctor, {name}: marks {got}, exit {result.returncode}; wanted {marks}, exit {status}")
            if holding != "service":
                expect(f"process {os.getpid()} (" in result.stdout, f"doctor, {name}: the port's holder is not named")
            if node:
                expect("usbhid" in result.stdout, f"doctor, {name}: the kernel driver is not named")
            if status == 0 and user == "root":
                check_pictures_written(root)
        holder.become("service")
        check_bundle(root)
    finally:
        holder.stop()


def check_bundle(root):
    section("dorvent-doctor --bundle")
    result = in_root(root, ["/usr/bin/dorvent-doctor", "--bundle", "/tmp/support.tar.gz"])
    print(result.stdout)
    if not expect(result.returncode == 0 and os.path.isfile(f"{root}/tmp/support.tar.gz"), "no bundle written"):
        return
    expect(os.stat(f"{root}/tmp/support.tar.gz").st_mode & 0o077 == 0, "the bundle is readable by others")
    with tarfile.open(f"{root}/tmp/support.tar.gz") as tar:
        names = sorted(tar.getnames())
        print("\n".join(names))
        folders = {name.split("/")[0] for name in names}
        expect(len(folders) == 1, f"the bundle has more than one top folder: {folders}")
        files = sorted(name.split("/", 1)[1] for name in names if "/" in name)
        expect(files == BUNDLE_FILES, f"bundle files {files}, wanted {BUNDLE_FILES}")
        top = folders.pop()
        text = {name: tar.extractfile(f"{top}/{name}").read().decode() for name in files}
    expect("/etc/dorvent/dorvent.conf is valid" in text.get("configuration.txt", ""), "configuration not reported valid")
    expect("[ ok ] The service is running" in text.get("doctor.txt", ""), "the doctor's report is not in the bundle")
    expect("dorvent 0.1.0" in text.get("versions.txt", ""), "the package version is not in the bundle")


def unchanged(upper, path):
    """Whether a path of the overlay's upper layer is as it is on this machine (copied up, then restored)."""
    mine, host = f"{upper}/{path}", f"/{path}"
    if os.path.isdir(mine) and not os.path.islink(mine):
        return os.path.isdir(host)
    if os.path.islink(mine) or not os.path.isfile(mine) or not os.path.isfile(host):
        return False
    with open(mine, "rb") as a, open(host, "rb") as b:
        return a.read() == b.read()


def check_purge(root, upper, before):
    section("purge")
    result = in_root(root, ["dpkg", "--purge", "dorvent"])
    print(result.stdout)
    expect(result.returncode == 0, "dpkg --purge failed")
    left = sorted(p for p in walk(upper) - before
                  if not any(fnmatch.fnmatchcase(p, pattern) for pattern in PURGE_MAY_LEAVE)
                  and not unchanged(upper, p))
    print("left behind:", left or "nothing")
    expect(not left, f"purge left {left}")
    for name in ("passwd", "group", "shadow", "gshadow"):
        with open(f"{root}/etc/{name}") as f:
            expect(not re.search(rf"^{SERVICE_USER}:", f.read(), re.M), f"purge left the service user in /etc/{name}")


def inside(args):
    """Runs in fresh mount and network namespaces (see main)."""
    top = args.top
    try:
        root = make_root(top)
    except (OSError, subprocess.CalledProcessError) as error:
        print(f"throwaway root not possible here ({error})")
        sys.exit(SKIPPED)
    rule = check_udev_rule(args.source)
    # Files that `make install` put on this machine would be taken over and
    # then deleted by the package: start from a machine without them.
    for path in list(PACKAGE_FILES) + [f"{APP_DIR}/frontNew.jpg", f"{APP_DIR}/backNew.jpg"]:
        if os.path.lexists(f"{root}/{path}"):
            os.remove(f"{root}/{path}")
    before = walk(f"{top}/upper")
    if check_installed(root, args.deb):
        check_unit(root)
        check_doctor(root, args.emu, rule)
        check_purge(root, f"{top}/upper", before)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", default=os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
    parser.add_argument("--emu", required=True)
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--deb", help=argparse.SUPPRESS)
    parser.add_argument("--top", help=argparse.SUPPRESS)
    args = parser.parse_args()
    os.environ["PATH"] = "/usr/sbin:/usr/bin:/sbin:/bin:" + os.environ.get("PATH", "")  # chroot, mount

    if args.inside:
        inside(args)
        print(f"\n{'FAILED' if faults else 'passed'}: throwaway root ({len(faults)} faults)")
        return 1 if faults else 0

    out = tempfile.mkdtemp(prefix="dorvent-deb-")
    top = tempfile.mkdtemp(prefix="dorvent-root-")  # the namespace's mounts vanish with it
    try:
        deb = build_package(args.build, out)
        check_contents(deb)
        check_lintian(deb)
        check_udev_rule(args.source)

        reason = None
        if os.geteuid() != 0:
            reason = "not root"
        elif run(["unshare", "--mount", "--net", "true"]).returncode != 0:
            reason = "no mount and network namespaces"
        if reason:
            print(f"\nthrowaway root not possible here ({reason}): not installed, unit and doctor not run")
            return 1 if faults else SKIPPED
        inner = run(["unshare", "--mount", "--net", "--fork", sys.executable, os.path.abspath(__file__),
                     "--inside", "--build", args.build, "--source", args.source, "--emu", os.path.abspath(args.emu),
                     "--deb", deb, "--top", top])
        print(inner.stdout)
        if inner.returncode == SKIPPED:
            return 1 if faults else SKIPPED
        expect(inner.returncode == 0, "the throwaway-root checks failed")
    finally:
        shutil.rmtree(out, ignore_errors=True)
        shutil.rmtree(top, ignore_errors=True)
    print(f"\n{'FAILED' if faults else 'passed'}: {len(faults)} faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())

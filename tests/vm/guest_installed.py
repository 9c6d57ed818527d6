#!/usr/bin/python3
"""Scenario "installed", in the guest: systemd is PID 1 and udev runs, as on
a user's desktop. Our .deb goes in with dpkg; its maintainer scripts, udev
and systemd do the rest. Started by the test's own unit (vmtest.service).

  guest_installed.py CONFIG.json   (the host's vmtest.py writes it)
"""

import glob
import json
import os
import pwd
import re
import socket
import stat
import subprocess
import sys
import tarfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import guestlib as g  # noqa: E402
import steps  # noqa: E402

UNIT = "dorvent.service"
USER = "dorvent"
APP_DIR = "/opt/apps/cn.luvaro.dorvent/bin"
CONF = "/etc/dorvent/dorvent.conf"

# Where the service must not leave files: each shared with the whole system.
# Its own /tmp and /var/tmp are private, and its runtime folder is its own.
MUST_NOT_WRITE = ["/run/lock", "/dev/shm", "/dev/mqueue", "/run", "/var", APP_DIR, "/etc"]
MAY_WRITE = ["/tmp", "/var/tmp", "/run/dorvent", "/var/lib/dorvent"]
# What a refused sandbox line leaves in a journal.
REFUSALS = ["Operation not permitted", "EPERM", "seccomp", "SIGSYS", "226/NAMESPACE", "Failed to set up",
            "Failed to mount", "Permission denied", "mmap", "audit", "BPF"]


def sh(args, timeout=120):
    result = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=timeout)
    return result.returncode, result.stdout


def unit_property(name):
    return sh(["systemctl", "show", UNIT, "-p", name, "--value"])[1].strip()


def node_owned_by_service_group(r, when):
    node = g.device_node()
    if not node:
        return r.check("%s: the reader's node is the service group's, 0660" % when, False, "no reader")
    sh(["udevadm", "settle", "-t", "20"])
    info = os.stat(node)
    group = pwd.getpwnam(USER).pw_gid
    return r.check("%s: udev gave %s to group %s, 0660" % (when, node, USER),
                   info.st_gid == group and stat.S_IMODE(info.st_mode) == 0o660,
                   "gid %d mode %o" % (info.st_gid, stat.S_IMODE(info.st_mode)))


def read_id_card(r, reference, when):
    client = g.Client()
    try:
        client.call("close")  # -1 when it was not open
        codes = [client.call("open")["success"]]
        text = client.text(json.loads(steps.request_text("readIDCard", steps.STEPS[3][1])))
        codes.append(client.call("close")["success"])
    finally:
        client.close()
    r.check("%s: close, open, readIDCard (dorvent-emu's reply, photo byte for byte), close" % when,
            codes == [0, 0] and text == reference["readIDCard"],
            "codes %s, readIDCard %s" % (codes, text[:300]))


def as_service(command):
    """Runs a shell command in the service's mount namespace as its user: what
    the service itself could do to files."""
    pid = unit_property("MainPID")
    return sh(["nsenter", "-t", pid, "-m", "--", "setpriv", "--reuid", USER, "--regid", USER,
               "--clear-groups", "--", "sh", "-c", command])


def check_sandbox_files(r):
    for folder in MUST_NOT_WRITE + MAY_WRITE:
        probe = os.path.join(folder, ".dorvent-vmtest-probe")
        rc, output = as_service("touch '%s' && rm -f '%s'" % (probe, probe))
        want = folder in MAY_WRITE
        if (rc == 0) != want:  # what the service's mounts were, for the record
            output += as_service("grep -E ' (/run|/run/lock|/dev|/dev/shm|/dev/mqueue) ' /proc/self/mountinfo")[1]
        r.check("the service %s create files in %s" % ("may" if want else "cannot", folder),
                (rc == 0) == want, output.strip())
    rc, output = as_service("find /run /dev /tmp /var/tmp -xdev -writable -type d 2>/dev/null")
    writable = sorted(set(output.split()))
    r.check("the only folders the service may write: its /tmp, /var/tmp and /run/dorvent",
            set(writable) <= {"/tmp", "/var/tmp", "/run/dorvent"}, writable)
    rc, output = as_service("touch /tmp/.dorvent-vmtest-private")
    r.check("the service's /tmp is its own", rc == 0 and not os.path.exists("/tmp/.dorvent-vmtest-private"),
            output)
    as_service("rm -f /tmp/.dorvent-vmtest-private")


def check_cgroup(r):
    """The unit's device filter and limits are in force in the guest's kernel."""
    group = "/sys/fs/cgroup" + unit_property("ControlGroup")
    node = g.device_node()

    def opens_in_group(path):
        # A short-lived shell joins the service's cgroup and opens the node.
        return sh(["sh", "-c", 'echo $$ > "$1/cgroup.procs" && exec dd if="$2" of=/dev/null count=0 iflag=nonblock',
                   "sh", group, path])

    reader_rc, reader_out = opens_in_group(node)
    kmsg_rc, kmsg_out = opens_in_group("/dev/kmsg")
    r.check("DeviceAllow holds in the service's cgroup: the reader opens, /dev/kmsg does not",
            reader_rc == 0 and kmsg_rc != 0 and "not permitted" in kmsg_out, reader_out + kmsg_out)
    limits = {}
    for name in ("memory.max", "memory.high", "pids.max"):
        with open(os.path.join(group, name)) as f:
            limits[name] = f.read().strip()
    r.check("the memory and task limits are in force", limits == {"memory.max": str(256 << 20),
                                                                   "memory.high": str(192 << 20),
                                                                   "pids.max": "16"}, limits)


def check_journal(r, reference):
    record = json.loads(reference["readIDCard"])
    _, journal = sh(["journalctl", "-b", "-o", "cat", "--no-pager"])
    _, kernel = sh(["dmesg"])
    held = [record[k] for k in ("name", "number", "organs") if record.get(k) and record[k] in journal]
    r.check("the journal holds no card-holder data", not held, held)
    _, unit_log = sh(["journalctl", "-b", "-u", UNIT, "-o", "cat", "--no-pager"])
    refused = [line for line in unit_log.splitlines() if any(word in line for word in REFUSALS)]
    refused += [line for line in kernel.splitlines() if "type=1326" in line or "seccomp" in line]
    r.check("no sandbox refusal in the service's journal or the kernel's log", not refused, refused[:10])
    return unit_log


def check_trace(r, reference):
    """Recording switched on in the administrator's file and applied by a
    reload: a session file in the state directory, the service user's alone,
    holding the read but none of the holder's data."""
    with open(CONF, "a") as f:
        f.write("\ntrace = redacted\n")
    rc, output = sh(["systemctl", "reload", UNIT])
    r.check("trace = redacted: the reload is taken", rc == 0, output)
    read_id_card(r, reference, "recording")
    folder = "/var/lib/dorvent/traces"
    files = sorted(glob.glob(os.path.join(folder, "dorvent-*.trace")))
    if not r.check("recording: one trace file in %s" % folder, len(files) == 1, files):
        return
    info = os.stat(files[0])
    r.check("recording: the file is %s's, 0600, its folder 0700" % USER,
            info.st_uid == pwd.getpwnam(USER).pw_uid and stat.S_IMODE(info.st_mode) == 0o600
            and stat.S_IMODE(os.stat(folder).st_mode) == 0o700,
            "uid %d mode %o" % (info.st_uid, stat.S_IMODE(info.st_mode)))
    with open(files[0], encoding="utf-8", errors="replace") as f:
        text = f.read()
    record = json.loads(reference["readIDCard"])
    held = [k for k in ("name", "number", "organs", "photoBase64") if record.get(k) and record[k] in text]
    r.check("recording: the trace has the read's reports and none of the holder's data",
            "# recording: redacted" in text and re.search(r"^request \d+ readIDCard ", text, re.M) and "\n< " in text and not held,
            held or text[:600])


def check_bundle(r, reference):
    """dorvent-doctor --bundle: the support tarball, with the service's journal and no card data."""
    bundle = "/tmp/dorvent-support.tar.gz"
    rc, output = sh(["dorvent-doctor", "--bundle", bundle])
    if not r.check("dorvent-doctor --bundle: written", rc == 0 and os.path.isfile(bundle), output[-800:]):
        return
    with tarfile.open(bundle) as tar:
        names = sorted(tar.getnames())
        texts = {os.path.basename(name): tar.extractfile(name).read().decode("utf-8", "replace")
                 for name in names if tar.getmember(name).isfile()}
    r.check("dorvent-doctor --bundle: files " + " ".join(sorted(texts)),
            {"README.txt", "configuration.txt", "doctor.txt", "dorvent.conf", "journal.txt", "lsusb.txt",
             "service.txt", "versions.txt"} <= set(texts)
            and any(name.startswith("dorvent-") and name.endswith(".trace") for name in texts), names)
    journal = texts.get("journal.txt", "")
    r.check("dorvent-doctor --bundle: the journal has the service's request lines",
            " request " in journal and "readIDCard 0" in journal, journal[-800:])
    record = json.loads(reference["readIDCard"])
    held = [record[k] for k in ("name", "number", "organs") if record.get(k) and record[k] in "".join(texts.values())]
    r.check("dorvent-doctor --bundle: no card-holder data", not held, held)


def check_cannot_listen(r):
    """A service that cannot listen says why and does not look ready."""
    sh(["systemctl", "stop", UNIT])
    blocker = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
    blocker.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # the client's TIME_WAIT
    blocker.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
    blocker.bind(("::", g.PORT))
    blocker.listen()
    try:
        since = time.strftime("%Y-%m-%d %H:%M:%S")
        sh(["systemctl", "start", "--no-block", UNIT])
        said = g.wait_until(lambda: "cannot listen on port 17798" in sh(
            ["journalctl", "-u", UNIT, "--since", since, "-o", "cat", "--no-pager"])[1], 30)
        _, log = sh(["journalctl", "-u", UNIT, "--since", since, "-o", "cat", "--no-pager"])
        r.check("port taken: the service says on standard error that it cannot listen", said, log[-800:])
        state = unit_property("ActiveState")
        r.check("port taken: systemd does not count the service as started (%s)" % state,
                state in ("activating", "failed"), unit_property("StatusText"))
    finally:
        blocker.close()
    sh(["systemctl", "restart", UNIT])
    r.check("port free again: a restart brings the service up, listening",
            unit_property("ActiveState") == "active" and g.port_open(), unit_property("ActiveState"))


def main():
    config = g.load_config(sys.argv[1])
    with open(config["reference"]) as f:
        reference = json.load(f)
    r = g.Results(config["out"], "installed")
    g.mark("scenario installed")
    started = time.time()
    try:
        control = g.ReaderControl()
        r.check("the reader is on the guest's USB bus, usbhid bound", g.wait_plugged(), g.interface_driver())
        t = time.time()
        rc, output = sh(["dpkg", "-i", config["deb"]], timeout=300)
        r.check("dpkg -i installs the package", rc == 0, output[-1500:])
        r.time("installed: dpkg -i", time.time() - t)
        t = time.time()
        active = g.wait_until(lambda: unit_property("ActiveState") == "active", 60, 0.2)
        r.check("the package enabled and started %s" % UNIT,
                active and sh(["systemctl", "is-enabled", UNIT])[1].strip() == "enabled",
                sh(["systemctl", "status", "--no-pager", UNIT])[1][-1500:])
        r.time("installed: until the service is active", time.time() - t)
        r.check("active means listening on %d" % g.PORT, g.port_open())
        with open(os.path.join(config["source"], "packaging", "systemd", UNIT)) as f:
            shipped = f.read()
        with open("/lib/systemd/system/" + UNIT) as f:
            installed = f.read()
        r.check("the unit runs as shipped, with no drop-in",
                installed == shipped and not unit_property("DropInPaths"), unit_property("DropInPaths"))
        node_owned_by_service_group(r, "installed")

        read_id_card(r, reference, "installed")
        for picture in ("frontNew.jpg", "backNew.jpg"):
            info = os.stat(os.path.join(APP_DIR, picture))
            r.check("%s: written, %s's, 0600" % (picture, USER),
                    info.st_size > 0 and info.st_uid == pwd.getpwnam(USER).pw_uid
                    and stat.S_IMODE(info.st_mode) == 0o600,
                    "size %d uid %d mode %o" % (info.st_size, info.st_uid, stat.S_IMODE(info.st_mode)))
        check_sandbox_files(r)
        check_cgroup(r)
        check_journal(r, reference)
        check_trace(r, reference)

        rc, output = sh(["dorvent-doctor"])
        r.check("dorvent-doctor: all checks hold", rc == 0 and "[FAIL]" not in output, output)
        check_bundle(r, reference)

        # Unplugged while open and plugged back: udev gives the new node to
        # the group again.
        t = time.time()
        client = g.Client()
        try:
            opened = client.call("open")["success"]
            control({"cmd": "unplug"})
            r.check("unplug: the reader leaves the bus", g.wait_unplugged(), g.reader_device())
            gone = client.call("beep")
            r.check("unplug: beep answers -31 读卡器已拔出", g.answers_reader_gone(gone), gone)
            control({"cmd": "plug"})
            r.check("plug back: the reader is back on the bus", g.wait_back(), g.interface_driver())
            node_owned_by_service_group(r, "plug back")
            # udev's event reaches the service through libusb's hotplug
            # callback: it opens the reader again before any request.
            r.check("plug back: the service opens it again by itself (usbfs holds the interface)",
                    g.wait_until(lambda: g.interface_driver() == "usbfs", 20), g.interface_driver())
            beep = client.call("beep")
        finally:
            client.close()
        r.check("plug back: beep works without a new open", opened == 0 and beep["success"] == 0, beep)
        read_id_card(r, reference, "plug back")
        r.time("installed: unplug and plug", time.time() - t)
        r.check("the service never restarted on its own", unit_property("NRestarts") == "0",
                unit_property("NRestarts"))

        t = time.time()
        check_cannot_listen(r)
        r.time("installed: port taken, then free", time.time() - t)
    except Exception as error:  # recorded, and the scenario ends
        r.crashed("installed scenario", error)
    r.time("installed: scenario", time.time() - started)
    # For whoever reads a failure: the boot and the whole journal.
    for name, command in [("systemd-blame.txt", ["systemd-analyze", "blame"]),
                          ("journal.txt", ["journalctl", "-b", "--no-pager"])]:
        with open(os.path.join(config["out"], name), "w") as f:
            f.write(sh(command)[1])
    g.mark("scenario installed done")
    os.sync()
    subprocess.run(["systemctl", "poweroff", "--force", "--force"])


if __name__ == "__main__":
    main()

"""The guest's kernel and initramfs, from Debian's archive and this machine.

The kernel is the image package that linux-image-amd64 depends on today,
fetched with apt-get download (never installed here) and kept in a cache
folder; only the kernel and the modules the guest loads are unpacked. The
initramfs holds busybox-static, those modules in load order and our init.
"""

import os
import re
import shutil
import stat
import subprocess

# What the guest loads, in this order; their dependencies come before them.
MODULES = ["virtio_pci", "virtio_console", "9pnet_virtio", "9p", "overlay",
           "xhci_pci", "usbhid", "hid_generic"]
# Where those and their dependencies are in the package (under kernel/).
MODULE_DIRS = ["drivers/virtio", "drivers/char/virtio_console.ko", "net/9p", "fs/9p", "fs/netfs",
               "fs/fscache", "fs/overlayfs", "drivers/usb/common", "drivers/usb/core",
               "drivers/usb/host", "drivers/hid/hid.ko", "drivers/hid/hid-generic.ko",
               "drivers/hid/usbhid"]
BUSYBOX = "/bin/busybox"  # busybox-static's


class KernelError(Exception):
    pass


def _run(args, **kw):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kw)


def image_package():
    """The kernel image package the archive's linux-image-amd64 points at today."""
    for attempt in range(2):
        shown = _run(["apt-cache", "show", "--no-all-versions", "linux-image-amd64"])
        found = re.search(r"^Depends:.*?\b(linux-image-[0-9][\w.+-]*-amd64)\b", shown.stdout, re.M)
        if found:
            return found.group(1)
        if attempt == 0:
            _run(["apt-get", "update", "-qq"])
    raise KernelError("apt-cache knows no linux-image-amd64:\n" + shown.stdout)


def fetch(cache):
    """The kernel and its modules' folder, unpacked under cache; downloads once per version."""
    os.makedirs(cache, exist_ok=True)
    package = image_package()
    unpacked = os.path.join(cache, package)
    if os.path.isfile(os.path.join(unpacked, ".complete")):
        return package, unpacked
    debs = [f for f in os.listdir(cache) if f.startswith(package + "_") and f.endswith(".deb")]
    if not debs:
        # Root's downloads are not handed to the _apt user: the cache folder is ours.
        for attempt in range(2):
            got = _run(["apt-get", "download", "-q", "-o", "APT::Sandbox::User=root", package], cwd=cache)
            debs = [f for f in os.listdir(cache) if f.startswith(package + "_") and f.endswith(".deb")]
            if debs:
                break
            if attempt == 0:  # stale package lists name a version the archive dropped
                _run(["apt-get", "update", "-qq"])
        if not debs:
            raise KernelError("apt-get download %s failed:\n%s" % (package, got.stdout))
    # Older kernels go.
    for entry in os.listdir(cache):
        if entry.startswith("linux-image-") and not entry.startswith(package):
            path = os.path.join(cache, entry)
            shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)

    shutil.rmtree(unpacked, ignore_errors=True)
    os.makedirs(unpacked)
    wanted = ["./boot/vmlinuz-*"] + ["./lib/modules/*/kernel/%s%s" % (d, "" if d.endswith(".ko") else "/*")
                                     for d in MODULE_DIRS]
    deb = subprocess.Popen(["dpkg-deb", "--fsys-tarfile", os.path.join(cache, debs[0])], stdout=subprocess.PIPE)
    tar = _run(["tar", "-x", "-C", unpacked, "--wildcards"] + wanted, stdin=deb.stdout)
    deb.stdout.close()
    if deb.wait() != 0 or tar.returncode != 0:
        raise KernelError("unpacking %s failed:\n%s" % (debs[0], tar.stdout))
    open(os.path.join(unpacked, ".complete"), "w").close()
    return package, unpacked


def kernel_image(unpacked):
    boot = os.path.join(unpacked, "boot")
    images = [f for f in os.listdir(boot) if f.startswith("vmlinuz-")]
    if len(images) != 1:
        raise KernelError("expected one vmlinuz in %s, found %s" % (boot, images))
    return os.path.join(boot, images[0])


def _module_files(unpacked):
    """Module name (underscores) -> .ko path."""
    files = {}
    for top, _, names in os.walk(os.path.join(unpacked, "lib", "modules")):
        for name in names:
            if name.endswith(".ko"):
                files[name[:-3].replace("-", "_")] = os.path.join(top, name)
    return files


def _depends(path):
    with open(path, "rb") as f:
        found = re.search(rb"(?:^|\x00)depends=([^\x00]*)\x00", f.read())
    names = found.group(1).decode() if found else ""
    return [n.replace("-", "_") for n in names.split(",") if n]


def load_order(unpacked, wanted=MODULES):
    """The modules to load, each after what it depends on."""
    files = _module_files(unpacked)
    order = []

    def visit(name, chain):
        if name in order:
            return
        if name in chain:
            raise KernelError("module dependency loop: %s" % " -> ".join(chain + [name]))
        if name not in files:
            raise KernelError("module %s (for %s) is not among the unpacked ones; add its folder"
                              % (name, " <- ".join(reversed(chain)) or "the guest"))
        for dep in _depends(files[name]):
            visit(dep, chain + [name])
        order.append(name)

    for name in wanted:
        visit(name, [])
    return [(name, files[name]) for name in order]


def _cpio_entry(out, name, mode, data=b"", rdev=(0, 0), ino=[0x1000]):
    ino[0] += 1
    name_bytes = name.encode() + b"\0"
    fields = [ino[0], mode, 0, 0, 1, 0, len(data), 0, 0, rdev[0], rdev[1], len(name_bytes), 0]
    out.write(b"070701" + b"".join(b"%08X" % f for f in fields))
    out.write(name_bytes + b"\0" * (-(110 + len(name_bytes)) % 4))
    out.write(data + b"\0" * (-len(data) % 4))


def make_initramfs(path, unpacked, init_script):
    """A newc archive: busybox, the modules in load order, /init."""
    if not os.path.isfile(BUSYBOX):
        raise KernelError("%s is missing: install busybox-static" % BUSYBOX)
    modules = load_order(unpacked)
    with open(path, "wb") as out:
        for d in ["bin", "dev", "proc", "sys", "newroot", "modules"]:
            _cpio_entry(out, d, stat.S_IFDIR | 0o755)
        # The kernel opens it for init before anything is mounted.
        _cpio_entry(out, "dev/console", stat.S_IFCHR | 0o600, rdev=(5, 1))
        with open(BUSYBOX, "rb") as f:
            _cpio_entry(out, "bin/busybox", stat.S_IFREG | 0o755, f.read())
        with open(init_script, "rb") as f:
            _cpio_entry(out, "init", stat.S_IFREG | 0o755, f.read())
        for name, ko in modules:
            with open(ko, "rb") as f:
                _cpio_entry(out, "modules/%s.ko" % name, stat.S_IFREG | 0o644, f.read())
        order = "".join(name + "\n" for name, _ in modules).encode()
        _cpio_entry(out, "modules/order", stat.S_IFREG | 0o644, order)
        _cpio_entry(out, "TRAILER!!!", 0)
    return [name for name, _ in modules]

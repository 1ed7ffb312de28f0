"""Real volumes for the Python suites: images made by mkntfs, mkfs.fat and
mkfs.exfat, mounted read-write through FUSE (ntfs-3g, fusefat, exfat-fuse on a
loop device), and files marked so that their bytes can be looked for on the
raw image afterwards."""
import hashlib
import os
import subprocess
import time

ENV = dict(os.environ, LC_ALL="C.UTF-8", MTOOLS_SKIP_CHECK="1")


def run(*args, check=True, **kwargs):
    return subprocess.run(args, check=check, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV, **kwargs)


class Mount:
    """A FUSE mount of an image for the duration; the daemon runs in the
    foreground and is waited for, since umount returns before it has
    written everything."""

    def __init__(self, command, directory):
        self.command, self.directory = command, directory

    def __enter__(self):
        os.makedirs(self.directory, exist_ok=True)
        self.process = subprocess.Popen(self.command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(200):
            if os.path.ismount(self.directory):
                return self.directory
            time.sleep(0.05)
        raise RuntimeError("could not mount: " + " ".join(self.command))

    def __exit__(self, *exc):
        subprocess.run(["umount", self.directory], check=True)
        self.process.wait(timeout=60)


def ntfs_mount(image, directory, *options):
    command = ["ntfs-3g", "-o", "no_detach"]
    for option in options:
        command += ["-o", option]
    return Mount(command + [image, directory], directory)


def fat_mount(image, directory, named=True):
    """fusefat read-write; named: the mount table names the image (fsname=)."""
    return Mount(["fusefat", "-f", "-o", "rw+"] + (["-o", "fsname=" + image] if named else []) + [image, directory],
                 directory)


class exfat_mount:
    """exfat-fuse wants a block device: the image behind a loop device,
    mounted in the foreground (-d) and waited for after umount."""

    def __init__(self, image, directory):
        self.image, self.directory = image, directory

    def __enter__(self):
        self.loop = run("losetup", "-f", "--show", self.image).stdout.decode().strip()
        self.mount = Mount(["mount.exfat-fuse", "-d", self.loop, self.directory], self.directory)
        try:
            return self.mount.__enter__()
        except BaseException:
            run("losetup", "-d", self.loop)
            raise

    def __exit__(self, *exc):
        try:
            self.mount.__exit__(*exc)
        finally:
            run("losetup", "-d", self.loop)


def make_exfat(path, size_mib=16, cluster="4K"):
    with open(path, "wb") as f:
        f.truncate(size_mib << 20)
    run("mkfs.exfat", "-c", cluster, path)
    return path


def make_ntfs(path, size_mib=32):
    with open(path, "wb") as f:
        f.truncate(size_mib << 20)
    run("mkntfs", "-F", "-f", "-q", path)
    return path


def make_fat32(path, kib=65536):
    run("mkfs.fat", "-F", "32", "-s", "1", "-C", path, str(kib))
    return path


def marker(name):
    return ("CORVANEL-MARKER<" + name + ">").encode()


def marked(name, size):
    """size bytes of a marker, repeated."""
    m = marker(name)
    return (m * (size // len(m) + 1))[:size]


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def sha(data):
    return hashlib.sha256(data).hexdigest()

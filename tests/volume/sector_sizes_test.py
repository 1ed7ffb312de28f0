#!/usr/bin/python3
"""Volumes of 4096-byte sectors: `mkntfs -s 4096` (4096-byte file records)
and `mkfs.fat -S 4096`, with deleted files written and deleted through
ntfs-3g and fusefat. On each:
  - the scan lists what `fls -rd` lists;
  - the recovery gives the deleted files back byte for byte;
  - the shred (through a mount of a loop device of 4096-byte sectors, so that
    every transfer has to be whole sectors) leaves no marker of its targets,
    the bystanders whole, and ntfsfix -n / fsck.fat -n content;
  - the same volume behind that loop device scans as the image does.

usage: sector_sizes_test.py CLI
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from volume_images import ENV, run, ntfs_mount, fat_mount, marker, marked, write, read  # noqa: E402

CLI = None

# name -> (bytes, deleted); the deleted ones are recovered, then shredded.
# Long names: a deleted 8.3 name has lost its first letter.
FILES = {
    "Small file.txt": (marked("small", 700), True),  # resident in a 4096-byte record
    "Big file.bin": (marked("big", 300000), True),
    "dir/Inner file.bin": (marked("inner", 20000), True),
    "dir/Keep file.bin": (marked("keep", 50000), False),
    "Keep file.txt": (marked("keeptxt", 9000), False),
}


def loop_device(image):
    """A loop device of 4096-byte sectors over the image, or None where this
    machine gives none (no rights, no loop support)."""
    if os.geteuid() != 0 or not shutil.which("losetup"):
        return None
    result = subprocess.run(["losetup", "--sector-size", "4096", "-f", "--show", image], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    return result.stdout.decode().strip() if result.returncode == 0 else None


def stem(name):
    return name.split("/")[-1].split(".")[0]


def deleted_in_fls(image):
    """path -> inode of the deleted regular files fls lists, NTFS system orphans aside."""
    found = {}
    for line in run("fls", "-rd", image).stdout.decode().splitlines():
        kind, rest = line.split(" * ")
        inode, path = rest.split(":\t", 1)
        if (kind.startswith("r/r") or kind.startswith("-/r")) and not path.startswith("$OrphanFiles"):
            found[path] = int(inode.split("-")[0])
    return found


def scanned(volume):
    entries = [json.loads(line) for line in run(CLI, "scan", volume, "--json").stdout.decode().splitlines()]
    return {(e["path"] + "/" if e["path"] else "") + e["name"]: e for e in entries}


class SectorSizes(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="corvanel-4k-")
        cls.ntfs = os.path.join(cls.work, "ntfs.img")
        with open(cls.ntfs, "wb") as f:
            f.truncate(32 << 20)
        run("mkntfs", "-F", "-f", "-q", "-s", "4096", cls.ntfs)
        # FAT32 needs 65525 clusters: 260 MiB of 4096-byte clusters (sparse).
        cls.fat = os.path.join(cls.work, "fat.img")
        run("mkfs.fat", "-F", "32", "-S", "4096", "-s", "1", "-C", cls.fat, str(260 * 1024))
        with ntfs_mount(cls.ntfs, os.path.join(cls.work, "m")) as root:
            for name, (data, _) in FILES.items():
                write(os.path.join(root, name), data)
            os.sync()
            for name, (_, deleted) in FILES.items():
                if deleted:
                    os.remove(os.path.join(root, name))
        # mtools on FAT32: fusefat writes 8.3 names of its own ("~1").
        run("mmd", "-i", cls.fat, "::/dir")
        for name, (data, _) in FILES.items():
            write(os.path.join(cls.work, "src", name), data)
            run("mcopy", "-i", cls.fat, os.path.join(cls.work, "src", name), "::/" + name)
        run("mdel", "-i", cls.fat, *["::/" + name for name, (_, deleted) in FILES.items() if deleted])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def copy(self, image, name):
        path = os.path.join(self.work, name)
        shutil.copyfile(image, path)
        return path

    def check_scan_and_recovery(self, image):
        # The volume's sector size; its counts in 512-byte units (one 4096-byte cluster: 8).
        info = json.loads(run(CLI, "info", image, "--json").stdout)
        self.assertEqual((info["bytesPerSector"], info["sectorsPerCluster"]), (4096, 8))
        files = scanned(image)
        self.assertEqual({name: e.get("inode", e.get("record")) for name, e in files.items()}, deleted_in_fls(image))
        self.assertEqual(set(files), {name for name, (_, deleted) in FILES.items() if deleted})
        target = tempfile.mkdtemp(dir=self.work)
        run(CLI, "recover", image, "--to", target, "--all", "--keep-paths", "--json")
        for name in files:
            self.assertEqual(read(os.path.join(target, name)), FILES[name][0], name)

    def check_shred(self, image, mount_of, check_tool, fillers=0):
        """Shreds a file of each deleted one's size, written for it, through a
        mount of a 4096-byte-sector loop device (the image itself without one)."""
        device = loop_device(image)
        try:
            with mount_of(device or image, os.path.join(self.work, "s")) as root:
                for n in range(fillers):
                    write(os.path.join(root, "filler %02d.txt" % n), b"filler %d" % n)
                for name, (data, deleted) in FILES.items():
                    if deleted:
                        write(os.path.join(root, name + ".live"), marked("shred-" + stem(name), len(data)))
                os.sync()
                for name, (_, deleted) in FILES.items():
                    if deleted:
                        result = subprocess.run([CLI, "shred", os.path.join(root, name + ".live"), "--yes", "--verify"],
                                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)
                        self.assertEqual(result.returncode, 0, result.stderr.decode())
            if device:
                # The loop device scans as the image does: every read there is whole sectors.
                self.assertEqual(set(scanned(device)), set(scanned(image)))
        finally:
            if device:
                subprocess.run(["losetup", "-d", device])
        raw = read(image)
        for name, (_, deleted) in FILES.items():
            if deleted:
                self.assertNotIn(marker("shred-" + stem(name)), raw, name)
        with mount_of(image, os.path.join(self.work, "s")) as root:
            for name, (data, deleted) in FILES.items():
                if not deleted:
                    self.assertEqual(read(os.path.join(root, name)), data, name)
            for n in range(fillers):
                self.assertEqual(read(os.path.join(root, "filler %02d.txt" % n)), b"filler %d" % n)
        result = run(*check_tool, image, check=False)
        self.assertEqual(result.returncode, 0, result.stdout.decode() + result.stderr.decode())

    def test_ntfs(self):
        image = self.copy(self.ntfs, "ntfs-run.img")
        self.assertEqual(int.from_bytes(read(image)[0x0B:0x0D], "little"), 4096)
        self.check_scan_and_recovery(image)
        self.check_shred(image, lambda img, d: ntfs_mount(img, d), ["ntfsfix", "-n"])

    def test_fat32(self):
        image = self.copy(self.fat, "fat-run.img")
        self.assertEqual(int.from_bytes(read(image)[0x0B:0x0D], "little"), 4096)
        self.check_scan_and_recovery(image)
        # Entries enough that the targets' lie past the first 512 bytes of a
        # 4096-byte sector: scrubbing them is a read, change and write. (Not
        # on NTFS: there a full folder's index may keep a copy of a name
        # past its entries, which the shred reports.)
        self.check_shred(image, lambda img, d: fat_mount(img, d), ["fsck.fat", "-n"], fillers=40)


if __name__ == "__main__":
    CLI = os.path.abspath(sys.argv.pop(1))
    unittest.main()

#!/usr/bin/python3
"""Recovery never touches the scanned volume, never writes outside its
destination, and loses nothing it could read, on real volumes: an NTFS image
made by mkntfs and filled through ntfs-3g, a FAT32 image made by mkfs.fat and
filled with mtools. One test per hazard:
  - a destination on the scanned volume is refused before any folder is made;
  - links in the destination are replaced, never written through;
  - a name the destination cannot hold becomes Recover_<size><ext>;
  - sectors that cannot be read (a cut image, a size past the volume's end)
    make their file partial, and the run goes on;
  - a write that fails leaves no partial file and says why.

usage: data_safety_test.py CLI
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from volume_images import ENV, run, ntfs_mount, make_ntfs, make_fat32, write, read  # noqa: E402

CLI = None
LONG_NAME = "长" * 250 + ".txt"  # 254 UTF-16 units, 754 bytes of UTF-8


def scan(image):
    result = run(CLI, "scan", image, "--json")
    return [json.loads(line) for line in result.stdout.decode().splitlines()]


def recover(image, *args, shell_prefix=None):
    command = [CLI, "recover", image, *args]
    if shell_prefix:
        command = ["bash", "-c", shell_prefix + ' exec "$@"', "recover", *command]
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)


class RecoverySafetyTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp()
        cls.image = make_ntfs(os.path.join(cls.work, "n.img"), 32)
        cls.mnt = os.path.join(cls.work, "mnt")
        cls.deleted = {"small.txt": b"small\n", "big.bin": os.urandom(100000), LONG_NAME: os.urandom(6000),
                       "长" * 240 + ".dat": b"tiny resident\n", "huge.bin": os.urandom(6 << 20)}
        with ntfs_mount(cls.image, cls.mnt) as root:
            for name, data in cls.deleted.items():
                write(f"{root}/{name}", data)
            for name in cls.deleted:
                os.remove(f"{root}/{name}")
        cls.listing = scan(cls.image)
        cls.index = {entry["name"]: entry["index"] for entry in cls.listing}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work)

    def out(self, name):
        path = os.path.join(self.work, name)
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
        return path

    def test_a_destination_on_the_scanned_volume_makes_nothing(self):
        with ntfs_mount(self.image, self.mnt) as root:
            result = recover(self.image, "--to", f"{root}/newdir/sub", "--all")
            self.assertEqual(result.returncode, 1)
            self.assertIn(b"same disk", result.stderr.lower() + result.stdout.lower())
            self.assertFalse(os.path.exists(f"{root}/newdir"))
        self.assertEqual(len(scan(self.image)), len(self.listing))

    def test_links_in_the_destination_are_replaced_not_followed(self):
        out = self.out("links")
        victim = os.path.join(self.work, "victim.txt")
        write(victim, b"keep me\n")
        dangling = os.path.join(self.work, "never-made.bin")
        os.symlink(victim, f"{out}/small.txt")
        os.symlink(dangling, f"{out}/big.bin")
        result = recover(self.image, "--to", out, "--index", str(self.index["small.txt"]), "--yes")
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        result = recover(self.image, "--to", out, "--index", str(self.index["big.bin"]), "--yes")
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        self.assertEqual(read(victim), b"keep me\n")
        self.assertFalse(os.path.lexists(dangling))
        for name in ["small.txt", "big.bin"]:
            self.assertFalse(os.path.islink(f"{out}/{name}"))
            self.assertEqual(read(f"{out}/{name}"), self.deleted[name])

    def test_names_too_long_for_the_destination_are_renamed(self):
        out = self.out("long")
        result = recover(self.image, "--to", out, "--all")
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        self.assertEqual(read(f"{out}/Recover_6000.txt"), self.deleted[LONG_NAME])
        self.assertEqual(read(f"{out}/Recover_14.dat"), b"tiny resident\n")
        for name in ["small.txt", "big.bin", "huge.bin"]:  # the files after them too
            self.assertEqual(read(f"{out}/{name}"), self.deleted[name])
        self.assertEqual([n for n in os.listdir(out) if n.startswith("~crv")], [])

    def test_unreadable_sectors_make_partial_files_and_the_run_goes_on(self):
        # The image cut in the middle of huge.bin's data.
        cut = os.path.join(self.work, "cut.img")
        with open(self.image, "rb") as f:
            data = f.read()
        with open(cut, "wb") as g:
            g.write(data[:data.index(self.deleted["huge.bin"][:4096]) + (3 << 20)])
        out = self.out("cut")
        result = recover(cut, "--to", out, "--all")
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"only in part", result.stdout)
        self.assertIn(b"could not be read", result.stderr)
        complete = 0
        for name, data in self.deleted.items():
            target = f"{out}/{name}" if not name.startswith("长") else None
            if target is None or not os.path.exists(target):
                continue
            got = read(target)
            self.assertLessEqual(len(got), len(data))
            # Readable bytes in place; unreadable ones zeros or cut from the end.
            self.assertTrue(all(a == b or a == 0 for a, b in zip(got, data)), name)
            complete += got == data
        self.assertGreater(complete, 0)

    def test_a_fat32_size_past_the_volume_end(self):
        image = make_fat32(os.path.join(self.work, "f.img"))
        src = os.path.join(self.work, "src.bin")
        for name, size in [("first.bin", 5000), ("second.bin", 7000)]:
            write(src, bytes([len(name)]) * size)
            run("mcopy", "-i", image, src, "::/" + name)
        run("mdel", "-i", image, "::/first.bin", "::/second.bin")
        # first.bin's deleted entry now claims 100 MiB, past the 64 MiB volume.
        with open(image, "r+b") as f:
            data = f.read()
            at = data.index(b"IRST   BIN")
            f.seek(at - 1 + 28)
            f.write((100 << 20).to_bytes(4, "little"))
        out = self.out("fat")
        result = recover(image, "--to", out, "--all")
        self.assertEqual(result.returncode, 1, result.stderr.decode())
        names = sorted(os.listdir(out))
        self.assertEqual(len(names), 2, names)
        second = [n for n in names if n.lower().endswith("econd.bin")][0]
        self.assertEqual(read(f"{out}/{second}"), b"\x0a" * 7000)
        first = [n for n in names if n != second][0]
        self.assertLess(os.path.getsize(f"{out}/{first}"), 100 << 20)
        self.assertEqual(read(f"{out}/{first}")[:5000], b"\x09" * 5000)

    def test_a_failed_write_leaves_no_partial_file(self):
        out = self.out("limit")
        result = recover(self.image, "--to", out, "--index", str(self.index["big.bin"]),
                         shell_prefix="trap '' XFSZ; ulimit -f 50;")
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"System Error:File too large", result.stderr)
        self.assertEqual(os.listdir(out), [])


if __name__ == "__main__":
    CLI = sys.argv.pop(1)
    unittest.main(verbosity=2)

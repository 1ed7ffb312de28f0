#!/usr/bin/python3
"""A shred destroys exactly the file it was given, or refuses before writing
anything, on real volumes (mkntfs + ntfs-3g, mkfs.fat + fusefat). One test
per hazard: a file with other names (hard links), named data streams, two
names that differ only in case, a user who may not write the raw volume, and
a fusefat mount whose mount table does not name its image. After each: the
other files byte-identical, ntfsfix -n / fsck.fat -n clean, and the target's
markers gone from the image (or, after a refusal, the target as it was).

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
from volume_images import (ENV, run, ntfs_mount, fat_mount, make_ntfs, make_fat32, marker, marked, write,  # noqa: E402
                           read)

CLI = None


def shred(path, *extra, user=None):
    command = [CLI, "shred", path, "--yes", "--verify", *extra]
    if user:
        command = ["setpriv", "--reuid", str(user), "--regid", str(user), "--clear-groups"] + command
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)


class ShredSafetyTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp()
        os.chmod(self.work, 0o755)
        self.mnt = os.path.join(self.work, "mnt")
        self.keep = os.urandom(30000)

    def tearDown(self):
        shutil.rmtree(self.work)

    def ntfs(self, files):
        """A fresh NTFS image holding files and the bystander keep.bin."""
        image = make_ntfs(os.path.join(self.work, "n.img"), 16)
        with ntfs_mount(image, self.mnt) as root:
            for name, data in files.items():
                write(f"{root}/{name}", data)
            write(f"{root}/keep.bin", self.keep)
        return image

    def assert_image(self, image, gone=(), kept=()):
        with open(image, "rb") as f:
            data = f.read()
        for name in gone:
            self.assertNotIn(marker(name), data, name + " is still on the volume")
        for name in kept:
            self.assertIn(marker(name), data, name + " was destroyed")
        self.assertEqual(run("ntfsfix", "-n", image, check=False).returncode, 0)
        with ntfs_mount(image, self.mnt) as root:
            self.assertEqual(read(f"{root}/keep.bin"), self.keep)

    def test_a_file_with_other_names_is_refused(self):
        image = self.ntfs({"a.bin": marked("linked", 20000)})
        with ntfs_mount(image, self.mnt) as root:
            os.link(f"{root}/a.bin", f"{root}/b.bin")
            result = shred(f"{root}/a.bin", "--json")
            self.assertEqual(result.returncode, 1)
            outcome = json.loads(result.stdout)
            self.assertEqual((outcome["status"], outcome["deleted"]), ("failed", False))
            self.assertIn("other names (hard links)", outcome["message"])
            self.assertEqual(read(f"{root}/a.bin"), marked("linked", 20000))
            self.assertEqual(read(f"{root}/b.bin"), marked("linked", 20000))
        self.assert_image(image, kept=["linked"])

    def test_named_streams_are_shredded_with_the_file(self):
        image = self.ntfs({})
        with ntfs_mount(image, self.mnt, "streams_interface=windows") as root:
            write(f"{root}/a.bin", marked("main", 20000))
            write(f"{root}/a.bin:secret", marked("secret", 50000))  # non-resident
            write(f"{root}/a.bin:note", marked("note", 60))         # resident
        # Shredded through a mount that does not show the streams: the raw
        # pass alone must reach them.
        with ntfs_mount(image, self.mnt) as root:
            result = shred(f"{root}/a.bin")
            self.assertEqual(result.returncode, 0, result.stderr.decode())
            self.assertIn(b"verified:", result.stdout)
        self.assert_image(image, gone=["main", "secret", "note"])

    def test_the_name_of_exactly_that_case_is_the_one_shredded(self):
        image = self.ntfs({"A.txt": marked("upper", 5000), "a.txt": marked("lower", 100000)})
        with ntfs_mount(image, self.mnt) as root:
            result = shred(f"{root}/a.txt", "--json")
            self.assertEqual(result.returncode, 0, result.stderr.decode())
            self.assertNotIn(b"warning", result.stderr)
            outcome = json.loads(result.stdout)
            self.assertEqual((outcome["status"], outcome["verified"], outcome["clustersZeroed"]), ("shredded", True, 25))
            self.assertEqual(read(f"{root}/A.txt"), marked("upper", 5000))
        self.assert_image(image, gone=["lower"], kept=["upper"])

    def test_without_rights_to_the_raw_volume_nothing_is_touched(self):
        image = self.ntfs({"a.bin": marked("rights", 20000)})
        nobody = 65534
        with ntfs_mount(image, self.mnt) as root:
            result = shred(f"{root}/a.bin", user=nobody)
            self.assertEqual(result.returncode, 1)
            self.assertIn(b"cannot be opened for writing", result.stderr)
            self.assertEqual(read(f"{root}/a.bin"), marked("rights", 20000))
        self.assert_image(image, kept=["rights"])
        # Asked for explicitly, the pass through the file system alone.
        with ntfs_mount(image, self.mnt) as root:
            result = shred(f"{root}/a.bin", "--in-place-only", user=nobody)
            self.assertEqual(result.returncode, 0, result.stderr.decode())
            self.assertIn(b"only the in-place pass", result.stderr)
            self.assertFalse(os.path.exists(f"{root}/a.bin"))
        self.assert_image(image, gone=["rights"])

    def test_a_fusefat_mount_without_fsname(self):
        image = make_fat32(os.path.join(self.work, "f.img"))
        src = os.path.join(self.work, "src")
        for name, data in [("target.bin", marked("fat", 9000)), ("keep.bin", self.keep)]:
            write(src, data)
            run("mcopy", "-i", image, src, "::/" + name)
        with fat_mount(image, self.mnt, named=False) as root:
            result = shred(f"{root}/target.bin")
            self.assertEqual(result.returncode, 0, result.stderr.decode())
            self.assertIn(b"verified:", result.stdout)
        self.assertNotIn(marker("fat"), read(image))
        fsck = run("fsck.fat", "-n", image, check=False)
        self.assertEqual(fsck.returncode, 0, fsck.stdout.decode())
        with fat_mount(image, self.mnt) as root:
            self.assertEqual(read(f"{root}/keep.bin"), self.keep)


if __name__ == "__main__":
    CLI = sys.argv.pop(1)
    unittest.main(verbosity=2)

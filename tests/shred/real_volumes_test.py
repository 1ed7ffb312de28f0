#!/usr/bin/python3
"""Shredding on real volumes, checked with the file systems' own tools.

An NTFS image (mkntfs) is mounted through ntfs-3g, a FAT32 image (mkfs.fat)
through fusefat and an exFAT image (mkfs.exfat) through exfat-fuse; each holds
target files, each filled with a marker of its own, and bystander files. `corvanel-cli shred --verify` shreds the
targets through the mounts. On the unmounted image afterwards:
  - no target's marker is anywhere in the image;
  - every bystander is byte-identical (read back through a fresh mount);
  - ntfsfix -n / fsck.fat -n / fsck.exfat -n find nothing wrong;
  - whatever fls -rd lists, icat brings back no marker.
`corvanel-cli locate` is checked against fls (record numbers) and istat
(cluster lists), and for the edge cases of following a path. NTFS layouts of
their own: compressed data (nothing of it left where it lay, nor copied
elsewhere), a file with an attribute list (its extension records followed),
the file's name in its folder's index, and a file whose data is not located
(left alone unless --delete-unlocated).

usage: real_volumes_test.py CLI [WINE_RUN WINDOWS_CLI]
"""
import json
import os
import subprocess
import sys
import tempfile
import threading
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from volume_images import (ENV, run, ntfs_mount, fat_mount, exfat_mount, make_ntfs, make_exfat, marker,  # noqa: E402
                           marked, write, sha)

CLI = None
WINE = None  # (wine-run script, corvanel-cli.exe)
MAX_SHRED_SIZE = 1610612736
ACROSS = "dir/a name across the sector end " + "n" * 121  # 150 characters


def _mkdirs(path):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    return path


def shred(path, *extra):
    return subprocess.run([CLI, "shred", path, "--yes", "--verify", *extra], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=ENV)


def locate(image, path):
    result = run(CLI, "locate", image, path, check=False)
    return result.returncode, (json.loads(result.stdout) if result.returncode == 0 else result.stderr.decode())


def fls_inodes(image):
    """name path -> inode number, for the live files fls lists."""
    inodes = {}
    for line in run("fls", "-rpF", image).stdout.decode().splitlines():
        kind_inode, path = line.split("\t", 1)
        if "*" in kind_inode:
            continue
        inodes[path] = int(kind_inode.split()[-1].rstrip(":").split("-")[0])
    return inodes


def istat_clusters(image, inode):
    """The clusters istat lists for a file's unnamed data (NTFS), or the
    clusters of the sectors it lists (FAT32, exFAT), in file order."""
    out = run("istat", image, str(inode)).stdout.decode()
    numbers, taking = [], False
    for line in out.splitlines():
        if line.startswith("Type: ") or line.startswith("Sectors:"):
            taking = line.startswith("Sectors:") or (line.startswith("Type: $DATA") and "Name: N/A" in line)
            continue
        if taking:
            numbers += [int(n) for n in line.split()]
    if "Sectors:" not in out:
        return numbers
    with open(image, "rb") as f:
        boot = f.read(512)
    if boot[3:11] == b"EXFAT   ":
        per_cluster, first_data = 1 << boot[0x6D], int.from_bytes(boot[0x58:0x5C], "little")
    else:
        per_cluster = boot[0x0D]
        first_data = int.from_bytes(boot[0x0E:0x10], "little") + boot[0x10] * int.from_bytes(boot[0x24:0x28], "little")
    return list(dict.fromkeys((sector - first_data) // per_cluster + 2 for sector in numbers))


def expand(runs):
    return [start + i for start, count in runs if start for i in range(count)]


class ShredCase(unittest.TestCase):
    def assert_markers_gone(self, image, names):
        with open(image, "rb") as f:
            data = f.read()
        for name in names:
            self.assertFalse(marker(name) in data, name + ": its content is still on the volume")

    def assert_nothing_to_bring_back(self, image, names):
        for line in run("fls", "-rd", image).stdout.decode().splitlines():
            inode = line.split("\t")[0].split()[-1].rstrip(":").split("-")[0]
            if not inode.isdigit():
                continue
            content = run("icat", image, inode, check=False).stdout
            for name in names:
                self.assertFalse(marker(name) in content, name + " came back through icat " + inode)

    def assert_shredded(self, result):
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        self.assertIn(b"verified:", result.stdout)
        # Copies of the name that earlier changes to the folder left past its
        # entries are reported; the shred cannot reach them.
        stderr = b"\n".join(line for line in result.stderr.splitlines() if b"there before the shred" not in line)
        self.assertNotIn(b"warning", stderr)


class NtfsShredTest(ShredCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.image = os.path.join(cls.work.name, "ntfs.img")
        with open(cls.image, "wb") as f:
            f.truncate(32 << 20)
        run("mkntfs", "-F", "-f", "-q", cls.image)
        cls.mnt = os.path.join(cls.work.name, "mnt")
        cls.bystanders = {}
        cls.targets = {
            "small.txt": marked("small.txt", 200),                          # resident
            "big.bin": marked("big.bin", 300000),                           # non-resident
            "dir/sub/nested.bin": marked("nested", 70000),
            "dir/A rather long file name, for shredding.dat": marked("long", 9000),
            "文件（一）：a.txt": marked("cjk", 5000),
            "dir/small.txt": marked("dir-small", 6000),                    # the root's name, one level down
            ACROSS: marked("across", 7000),  # a name across the end of its record's first sector
            "empty.bin": b"",
        }
        with ntfs_mount(cls.image, cls.mnt) as root:
            for name, data in cls.targets.items():
                write(f"{root}/{name}", data)
            # A DOS name beside the long one, as Windows gives long names.
            os.setxattr(f"{root}/dir/A rather long file name, for shredding.dat", "system.ntfs_dos_name",
                        b"ARATHE~1.DAT")
            for name, size in [("keep.bin", 250000), ("dir/keep.txt", 300), ("dir/sub/keep.bin", 40000),
                               ("其他.bin", 12000)]:
                cls.bystanders[name] = os.urandom(size)
                write(f"{root}/{name}", cls.bystanders[name])
            # Fourteen extents of two clusters, each followed by a bystander.
            many = marked("many", 14 * 8192)
            for i in range(14):
                with open(_mkdirs(f"{root}/frag/many.bin"), "ab") as f:
                    f.write(many[i * 8192:(i + 1) * 8192])
                cls.bystanders[f"frag/k{i:02}.bin"] = os.urandom(8192)
                write(f"{root}/frag/k{i:02}.bin", cls.bystanders[f"frag/k{i:02}.bin"])
            cls.targets["frag/many.bin"] = many
            # Sparse files at the size limit and one byte over it.
            for name, size in [("limit.bin", MAX_SHRED_SIZE), ("over.bin", MAX_SHRED_SIZE + 1)]:
                with open(f"{root}/{name}", "wb") as f:
                    f.write(marked(name, 5000))
                    f.truncate(size)
            cls.targets["limit.bin"] = None
            # A directory that is deleted, with its file.
            write(f"{root}/gone/file.txt", b"gone\n")
            subprocess.run(["rm", "-r", f"{root}/gone"], check=True)

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def test_1_locate_agrees_with_the_sleuth_kit(self):
        inodes = fls_inodes(self.image)
        for name in ["big.bin", "dir/sub/nested.bin", "frag/many.bin", "small.txt", "dir/small.txt",
                     "dir/A rather long file name, for shredding.dat", "文件（一）：a.txt", ACROSS]:
            with self.subTest(name=name):
                code, found = locate(self.image, name.replace("/", "\\"))
                self.assertEqual(code, 0, found)
                self.assertTrue(found["located"])
                self.assertEqual(found["record"], inodes[name])
                self.assertEqual(expand(found["runs"]), istat_clusters(self.image, inodes[name]))
        code, many = locate(self.image, "frag\\many.bin")
        self.assertEqual(len(many["runs"]), 14)
        self.assertTrue(locate(self.image, "small.txt")[1]["resident"])
        # Names without regard to case; X:\file and X:\dir\file are two files.
        self.assertEqual(locate(self.image, "DIR\\SUB\\NESTED.BIN")[1]["record"], inodes["dir/sub/nested.bin"])
        self.assertEqual(locate(self.image, "X:\\Dir\\Small.TXT")[1]["record"], inodes["dir/small.txt"])
        self.assertNotEqual(inodes["dir/small.txt"], inodes["small.txt"])
        # The short name finds the file as well as the long one.
        self.assertEqual(locate(self.image, "dir\\arathe~1.dat")[1]["record"],
                         inodes["dir/A rather long file name, for shredding.dat"])

    def test_1_locate_edge_cases(self):
        # A missing last component below the root: not located, but answered.
        self.assertEqual(locate(self.image, "dir\\sub\\nothing.bin"), (0, {"fs": "ntfs", "located": False}))
        self.assertEqual(locate(self.image, "dir\\nothing\\x.bin")[1]["located"], False)
        # Missing in the root, a missing top directory and a deleted one: code 20.
        for path in ["nothing.bin", "nowhere\\x.bin", "gone\\file.txt"]:
            code, text = locate(self.image, path)
            self.assertEqual(code, 1, path)
            self.assertIn("Data contents of this file can not locate", text)

    def test_2_shred(self):
        for name in self.targets:
            with self.subTest(name=name), ntfs_mount(self.image, self.mnt) as root:
                result = shred(f"{root}/{name}")
                self.assert_shredded(result)
                self.assertFalse(os.path.exists(f"{root}/{name}"))
            out = result.stdout.decode()
            if name == "small.txt":
                self.assertIn("overwrote the file record", out)
                self.assertNotIn("clusters", out)
            if name == "frag/many.bin":
                self.assertIn("zeroed 28 clusters", out)
        # One byte over the limit: refused, and the file is as it was.
        with ntfs_mount(self.image, self.mnt) as root:
            result = shred(f"{root}/over.bin")
            self.assertEqual(result.returncode, 1)
            self.assertIn(b"File is too large, can not be completely deleted!", result.stderr)
            self.assertEqual(os.path.getsize(f"{root}/over.bin"), MAX_SHRED_SIZE + 1)
            with open(f"{root}/over.bin", "rb") as f:
                self.assertEqual(f.read(5000), marked("over.bin", 5000))
            for name, data in self.bystanders.items():
                with open(f"{root}/{name}", "rb") as f:
                    self.assertEqual(sha(f.read()), sha(data), name)
        names = ["small.txt", "big.bin", "nested", "long", "cjk", "dir-small", "many", "limit.bin", "across"]
        self.assert_markers_gone(self.image, names)
        self.assert_nothing_to_bring_back(self.image, names)
        self.assertEqual(run("ntfsfix", "-n", self.image, check=False).returncode, 0)
        # What the shred freed is used again without complaint.
        with ntfs_mount(self.image, self.mnt) as root:
            for i in range(20):
                write(f"{root}/new/{i}.bin", os.urandom(5000 * i))
        self.assertEqual(run("ntfsfix", "-n", self.image, check=False).returncode, 0)
        with ntfs_mount(self.image, self.mnt) as root:
            for name, data in self.bystanders.items():
                with open(f"{root}/{name}", "rb") as f:
                    self.assertEqual(sha(f.read()), sha(data), name)


def interleaved(root, target, data, bystander, other, piece=4096):
    """target written a cluster at a time, each followed by a cluster of the
    bystander: its extents outgrow its record and go on in extension records
    (an attribute list)."""
    with open(_mkdirs(f"{root}/{target}"), "ab", buffering=0) as f, open(f"{root}/{bystander}", "ab", buffering=0) as g:
        for at in range(0, len(data), piece):
            f.write(data[at:at + piece])
            g.write(other[at:at + piece])


def utf16(name):
    return name.encode("utf-16-le")


class NtfsLayoutShredTest(ShredCase):
    """Compressed data, a file with an attribute list, the name in the folder's
    index, and a file whose data cannot be located."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.image = make_ntfs(os.path.join(cls.work.name, "ntfs.img"))
        cls.mnt = os.path.join(cls.work.name, "mnt")
        cls.bystanders = {}
        with ntfs_mount(cls.image, cls.mnt) as root:
            # A folder whose new files ntfs-3g compresses.
            os.makedirs(f"{root}/comp")
            os.setxattr(f"{root}/comp", "system.ntfs_attrib_be", (0x800).to_bytes(4, "big"))
            for name in ["secret.txt", "inplace.txt"]:
                write(f"{root}/comp/{name}", b"".join(marker("comp-" + name) + b" line %05d\n" % i
                                                      for i in range(9000)))
            cls.bystanders["frag/keep.bin"] = os.urandom(400 * 4096)
            interleaved(root, "frag/listed.bin", marked("frag/listed.bin", 400 * 4096), "frag/keep.bin",
                        cls.bystanders["frag/keep.bin"])
            # A cluster written, one left out: as many extents, half of them sparse.
            with open(f"{root}/rootlisted.bin", "wb", buffering=0) as f:
                for i in range(400):
                    f.seek(2 * i * 4096)
                    f.write(marked("rootlisted.bin", 4096))
            write(f"{root}/plain_secret.bin", marked("plain", 3000))
            write(f"{root}/small/folder_secret.bin", marked("folder", 3000))
            write(f"{root}/unlocated/odd.bin", marked("odd", 9000))
            cls.bystanders["comp/keep.txt"] = os.urandom(20000)
            write(f"{root}/comp/keep.txt", cls.bystanders["comp/keep.txt"])
            cls.inodes = {name: os.stat(f"{root}/{name}").st_ino
                          for name in ["comp/secret.txt", "frag/listed.bin", "rootlisted.bin", "unlocated/odd.bin"]}

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def assert_bystanders(self):
        self.assertEqual(run("ntfsfix", "-n", self.image, check=False).returncode, 0)
        with ntfs_mount(self.image, self.mnt) as root:
            for name, data in self.bystanders.items():
                with open(f"{root}/{name}", "rb") as f:
                    self.assertEqual(sha(f.read()), sha(data), name)

    def test_compressed_data_is_overwritten_and_not_copied(self):
        inode = self.inodes["comp/secret.txt"]
        self.assertIn("Compressed", run("istat", self.image, str(inode)).stdout.decode())
        held = [c for c in istat_clusters(self.image, inode) if c]
        with open(self.image, "rb") as f:
            before = f.read()
        with ntfs_mount(self.image, self.mnt) as root:
            result = shred(f"{root}/comp/secret.txt")
            self.assert_shredded(result)
        with open(self.image, "rb") as f:
            after = f.read()
        for cluster in held:
            self.assertEqual(after[cluster * 4096:(cluster + 1) * 4096], bytes(4096), "cluster %d" % cluster)
        # Nothing of it was written anywhere else: what the shred changed and
        # left free holds zeros. (Copies that ntfs-3g left in free clusters
        # when the file was written are no file's: the same before as after.)
        bitmap = run("icat", self.image, "6").stdout
        for cluster in range(len(after) // 4096):
            at = slice(cluster * 4096, (cluster + 1) * 4096)
            if after[at] != before[at] and not bitmap[cluster // 8] >> (cluster % 8) & 1:
                self.assertEqual(after[at], bytes(4096), "cluster %d" % cluster)
        # In place alone: the record stays, and what it leads to is zeros.
        with ntfs_mount(self.image, self.mnt) as root:
            result = shred(f"{root}/comp/inplace.txt", "--in-place-only")
            self.assertEqual(result.returncode, 0, result.stderr.decode())
        out = os.path.join(self.work.name, "recovered")
        run(CLI, "recover", self.image, "--to", out, "--all", "--yes", check=False)
        for name in os.listdir(out):
            with open(os.path.join(out, name), "rb") as f:
                self.assertNotIn(marker("comp-inplace.txt"), f.read(), name)
        self.assert_bystanders()

    def test_attribute_list_is_followed(self):
        for name in ["frag/listed.bin", "rootlisted.bin"]:
            with self.subTest(name=name):
                inode = self.inodes[name]
                self.assertIn("$ATTRIBUTE_LIST", run("istat", self.image, str(inode)).stdout.decode())
                code, found = locate(self.image, name.replace("/", "\\"))
                self.assertEqual(code, 0, found)
                self.assertTrue(found["located"], found)
                self.assertEqual(found["record"], inode)
                self.assertTrue(found["extensionRecords"])
                self.assertEqual(expand(found["runs"]), [c for c in istat_clusters(self.image, inode) if c])
                with ntfs_mount(self.image, self.mnt) as root:
                    result = shred(f"{root}/{name}")
                    self.assert_shredded(result)
                    self.assertFalse(os.path.exists(f"{root}/{name}"))
                self.assertIn(b"extension record", result.stdout)
                self.assertIn(b"zeroed 400 clusters", result.stdout)
        self.assert_markers_gone(self.image, ["frag/listed.bin", "rootlisted.bin"])
        self.assert_bystanders()

    def test_the_name_leaves_the_folder_index(self):
        for name in ["plain_secret.bin", "small/folder_secret.bin"]:
            with self.subTest(name=name), ntfs_mount(self.image, self.mnt) as root:
                result = shred(f"{root}/{name}", "--json")
                self.assertEqual(json.loads(result.stdout)["nameCopiesLeft"], 0, result.stdout)
                self.assertEqual(result.returncode, 0, result.stdout)
        with open(self.image, "rb") as f:
            data = f.read()
        for name in ["plain_secret.bin", "folder_secret.bin"]:
            self.assertNotIn(utf16(name), data, name)
        self.assert_markers_gone(self.image, ["plain", "folder"])
        self.assert_bystanders()

    def test_names_left_past_the_entries_of_index_blocks(self):
        # Each target is the last entry of the folder's last index block:
        # deleting it leaves its bytes past the entries that remain.
        image = make_ntfs(os.path.join(self.work.name, "many.img"), 8)
        fillers = {f"filler {i:02d} " + "f" * (i % 23) + ".bin" for i in range(60)}
        targets = [f"zz secret {i}.bin" for i in range(5)]
        with ntfs_mount(image, self.mnt) as root:
            for name in sorted(fillers) + targets:
                write(f"{root}/many/{name}", marked(name, 600))
            for name in reversed(targets):
                result = shred(f"{root}/many/{name}", "--json")
                self.assertEqual(json.loads(result.stdout)["nameCopiesLeft"], 0, result.stdout)
                self.assertEqual(result.returncode, 0, result.stdout)
        self.assertEqual(run("ntfsfix", "-n", image, check=False).returncode, 0)
        with open(image, "rb") as f:
            data = f.read()
        for name in targets:
            self.assertNotIn(utf16(name), data, name)
        self.assert_markers_gone(image, targets)
        with ntfs_mount(image, self.mnt) as root:
            self.assertEqual(set(os.listdir(f"{root}/many")), fillers)

    def test_unlocated_file_is_deleted_only_when_asked_to(self):
        image = os.path.join(self.work.name, "unlocated.img")
        subprocess.run(["cp", "--sparse=always", self.image, image], check=True)
        # The file's own name says another folder: the locate does not take it,
        # ntfs-3g, going by the folder's index, still opens it.
        with open(image, "r+b") as f:
            boot = f.read(512)
            record = int.from_bytes(boot[0x30:0x38], "little") * boot[0x0D] * 512 + self.inodes["unlocated/odd.bin"] * 1024
            f.seek(record)
            data = f.read(512)
            at = int.from_bytes(data[0x14:0x16], "little")
            while int.from_bytes(data[at:at + 4], "little") != 0x30:
                at += int.from_bytes(data[at + 4:at + 8], "little")
            f.seek(record + at + int.from_bytes(data[at + 0x14:at + 0x16], "little"))
            f.write((5 | 5 << 48).to_bytes(8, "little"))
        mnt = os.path.join(self.work.name, "mnt-unlocated")
        with ntfs_mount(image, mnt) as root:
            result = shred(f"{root}/unlocated/odd.bin")
            self.assertEqual(result.returncode, 1)
            self.assertIn(b"only --delete-unlocated deletes it", result.stderr)
            with open(f"{root}/unlocated/odd.bin", "rb") as f:
                self.assertEqual(f.read(), marked("odd", 9000))
            # Asked for, the deletion goes ahead (and ntfs-3g refuses it here,
            # finding no name of the file in that folder).
            result = shred(f"{root}/unlocated/odd.bin", "--delete-unlocated")
            self.assertIn(b"yes (--delete-unlocated)", result.stderr)
            self.assertIn(b"No such file or directory", result.stderr)


class FatShredTest(ShredCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.image = os.path.join(cls.work.name, "fat.img")
        run("mkfs.fat", "-F", "32", "-s", "1", "-C", cls.image, "65536")
        cls.mnt = os.path.join(cls.work.name, "mnt")
        cls.bystanders, cls.targets = {}, {}
        # The files are made with mtools (fusefat's appends are not to be
        # trusted); the shreds go through the fusefat mount.
        source = os.path.join(cls.work.name, "source")

        def put(name, data):
            write(source, data)
            parts = name.split("/")
            for depth in range(1, len(parts)):
                run("mmd", "-D", "s", "-i", cls.image, "::/" + "/".join(parts[:depth]), check=False)
            run("mcopy", "-i", cls.image, source, "::/" + name)

        def target(name, data):
            cls.targets[name] = data
            put(name, data)

        def bystander(name, size):
            cls.bystanders[name] = os.urandom(size)
            put(name, cls.bystanders[name])

        target("a.txt", marked("a.txt", 700))
        bystander("keep.bin", 30000)
        target("dir/sub/A long file name.bin", marked("long", 20000))
        target("dir/EMPTY.TXT", b"")
        # Enough long names in one directory that some file's entries cross
        # from one cluster (one sector here) into the next.
        for i in range(12):
            bystander(f"crowd/bystander number {i:02}.bin", 600)
            target(f"crowd/target with a long name {i:02}.txt", marked(f"crowd{i:02}", 900))
        # Holes of two clusters between bystanders: a file written after
        # fills them, in fourteen pieces.
        for i in range(28):
            bystander(f"frag/k{i:02}.bin", 1024)
        for i in range(0, 28, 2):
            run("mdel", "-i", cls.image, f"::/frag/k{i:02}.bin")
            del cls.bystanders[f"frag/k{i:02}.bin"]
        # The FSInfo sector's next-free hint unknown: allocation starts over
        # from the first cluster.
        with open(cls.image, "r+b") as f:
            f.seek(512 + 0x1EC)
            f.write(b"\xff\xff\xff\xff")
        target("frag/many.bin", marked("many", 14 * 1024))

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def test_1_locate(self):
        inodes = fls_inodes(self.image)
        code, many = locate(self.image, "FRAG\\MANY.BIN")
        self.assertEqual(code, 0, many)
        self.assertEqual(many["clusters"], istat_clusters(self.image, inodes["frag/many.bin"]))
        self.assertGreater(len({c - i for i, c in enumerate(many["clusters"])}), 10)  # not one run
        # Entries that cross a cluster boundary are each found where they lie.
        crossing = 0
        for i in range(12):
            code, found = locate(self.image, f"crowd\\target with a long name {i:02}.txt")
            self.assertEqual(code, 0, found)
            self.assertEqual(len(found["entries"]), found["slotCount"])
            crossing += len({sector for sector, _ in found["entries"]}) > 1
        self.assertGreater(crossing, 0)
        code, text = locate(self.image, "dir\\missing.txt")
        self.assertEqual(code, 1)
        self.assertIn("ERROR_NO_FILE_RECORD_FOUND", text)

    def test_2_shred(self):
        for name in self.targets:
            with self.subTest(name=name), fat_mount(self.image, self.mnt) as root:
                result = shred(f"{root}/{name}")
                self.assert_shredded(result)
                self.assertFalse(os.path.exists(f"{root}/{name}"))
        names = ["a.txt", "long", "many"] + [f"crowd{i:02}" for i in range(12)]
        self.assert_markers_gone(self.image, names)
        self.assert_nothing_to_bring_back(self.image, names)
        fsck = run("fsck.fat", "-n", self.image, check=False)
        self.assertEqual(fsck.returncode, 0, fsck.stdout.decode())
        with fat_mount(self.image, self.mnt) as root:
            for name, data in self.bystanders.items():
                with open(f"{root}/{name}", "rb") as f:
                    self.assertEqual(sha(f.read()), sha(data), name)
            self.assertEqual(sorted(os.listdir(f"{root}/crowd")),
                             [f"bystander number {i:02}.bin" for i in range(12)])


def exfat_set_checksum(entries):
    """The sum over an entry set's bytes that its file entry keeps."""
    total = 0
    for at, byte in enumerate(b"".join(entries)):
        if at not in (2, 3):
            total = (((total & 1) << 15) + (total >> 1) + byte) & 0xFFFF
    return total


class ExfatShredTest(ShredCase):
    """exfat-fuse on a loop device: contiguous and fragmented files, a long
    name over several name entries, an empty file; and a file whose entry on
    the volume says another size than the open file (refused, untouched)."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.image = make_exfat(os.path.join(cls.work.name, "exfat.img"))
        cls.mnt = os.path.join(cls.work.name, "mnt")
        cls.bystanders = {"keep.bin": os.urandom(30000), "dir/keep.txt": os.urandom(300),
                          "frag/keep.bin": os.urandom(14 * 4096)}
        cls.targets = {
            "a.txt": marked("a.txt", 700),
            "dir/sub/Ein langer Name über fünfzehn Zeichen — 中文.bin": marked("long", 20000),
            "dir/EMPTY.TXT": b"",
            "big.bin": marked("big.bin", 300000),
        }
        with exfat_mount(cls.image, cls.mnt) as root:
            for name, data in list(cls.targets.items()) + list(cls.bystanders.items()):
                if name != "frag/keep.bin":
                    write(f"{root}/{name}", data)
            # Two files grown a cluster at a time in turns: each in fourteen pieces.
            many = marked("many", 14 * 4096)
            os.makedirs(f"{root}/frag")
            with open(f"{root}/frag/many.bin", "wb") as f, open(f"{root}/frag/keep.bin", "wb") as g:
                for at in range(0, len(many), 4096):
                    for out, data in ((f, many), (g, cls.bystanders["frag/keep.bin"])):
                        out.write(data[at:at + 4096])
                        out.flush()
                        os.fsync(out.fileno())
            cls.targets["frag/many.bin"] = many

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def test_1_locate(self):
        inode = fls_inodes(self.image)["frag/many.bin"]
        many = locate(self.image, "FRAG\\MANY.BIN")[1]
        self.assertEqual((many["fs"], many["noFatChain"]), ("exfat", False))
        self.assertEqual(many["clusters"], istat_clusters(self.image, inode))
        self.assertGreater(len({c - i for i, c in enumerate(many["clusters"])}), 10)  # not one run
        code, long = locate(self.image, "dir\\sub\\EIN LANGER NAME ÜBER FÜNFZEHN ZEICHEN — 中文.BIN")
        self.assertEqual(code, 0, long)
        self.assertTrue(long["noFatChain"])
        self.assertEqual(len(long["entries"]), 2 + 4)  # file, stream, four name entries (46 units)
        self.assertEqual(locate(self.image, "dir\\missing.txt")[0], 1)

    def test_2_shred(self):
        for name in self.targets:
            with self.subTest(name=name), exfat_mount(self.image, self.mnt) as root:
                result = shred(f"{root}/{name}")
                self.assert_shredded(result)
                self.assertFalse(os.path.exists(f"{root}/{name}"))
        # The entry set on the volume made to say another size than the one
        # exfat-fuse read at the mount and gives for the file: refused, and
        # the file left as it was.
        mount = exfat_mount(self.image, self.mnt)
        with mount as root:
            write(f"{root}/other.txt", marked("other", 5000))
            self.assertEqual(os.path.getsize(f"{root}/other.txt"), 5000)
            code, found = locate(mount.loop, "other.txt")
            self.assertEqual(code, 0, found)
            with open(mount.loop, "r+b") as device:
                entries = []
                for offset in found["entries"]:
                    device.seek(offset)
                    entries.append(bytearray(device.read(32)))
                kept = [bytes(entry) for entry in entries]
                for field in (0x08, 0x18):  # valid data length, data length
                    entries[1][field:field + 8] = (4000).to_bytes(8, "little")
                entries[0][2:4] = exfat_set_checksum(entries).to_bytes(2, "little")
                for offset, entry in zip(found["entries"], entries):
                    device.seek(offset)
                    device.write(entry)
                device.flush()
                self.assertEqual(locate(mount.loop, "other.txt")[1]["size"], 4000)
                result = shred(f"{root}/other.txt")
                for offset, entry in zip(found["entries"], kept):
                    device.seek(offset)
                    device.write(entry)
            self.assertEqual(result.returncode, 1)
            self.assertIn(b"is not the file open under this path", result.stderr)
            with open(f"{root}/other.txt", "rb") as f:
                self.assertEqual(f.read(), marked("other", 5000))
        names = ["a.txt", "long", "big.bin", "many"]
        self.assert_markers_gone(self.image, names)
        self.assert_nothing_to_bring_back(self.image, names)
        with open(self.image, "rb") as f:
            data = f.read()
        self.assertNotIn("Ein langer Name".encode("utf-16-le"), data)
        fsck = run("fsck.exfat", "-n", self.image, check=False)
        self.assertEqual(fsck.returncode, 0, fsck.stdout.decode())
        with exfat_mount(self.image, self.mnt) as root:
            for name, data in self.bystanders.items():
                with open(f"{root}/{name}", "rb") as f:
                    self.assertEqual(sha(f.read()), sha(data), name)


@unittest.skipUnless(WINE or len(sys.argv) > 2, "no Windows build given")
class WindowsShredTest(ShredCase):
    """The Windows build under wine: X:\\ is the mount, \\\\.\\X: the image."""

    def shred_under_wine(self, image, mount, path):
        wine_run, exe = WINE
        # As on a desktop, other programs look at the volume meanwhile: fusefat
        # writes the deletion it holds in its cache when it next answers one,
        # which on a loaded machine may otherwise come after the shred has
        # given up waiting for it.
        done = threading.Event()

        def neighbour():
            while not done.wait(0.05):
                os.listdir(mount)
        looker = threading.Thread(target=neighbour)
        looker.start()
        try:
            return subprocess.run([wine_run, exe, "shred", "X:\\" + path.replace("/", "\\"), "--yes", "--verify"],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  env=dict(ENV, CORVANEL_WINE_X_IMAGE=image, CORVANEL_WINE_X_MOUNT=mount))
        finally:
            done.set()
            looker.join()

    def test_ntfs_and_fat32(self):
        work = tempfile.TemporaryDirectory()
        self.addCleanup(work.cleanup)
        ntfs = os.path.join(work.name, "ntfs.img")
        with open(ntfs, "wb") as f:
            f.truncate(16 << 20)
        run("mkntfs", "-F", "-f", "-q", ntfs)
        fat = os.path.join(work.name, "fat.img")
        run("mkfs.fat", "-F", "32", "-s", "1", "-C", fat, "65536")
        mnt = os.path.join(work.name, "mnt")
        keep = os.urandom(100000)
        for image, mount in [(ntfs, ntfs_mount), (fat, fat_mount)]:
            with self.subTest(image=os.path.basename(image)):
                with mount(image, mnt) as root:
                    write(f"{root}/dir/target.bin", marked("wine", 50000))
                    write(f"{root}/small.txt", marked("wine-small", 100))
                    write(f"{root}/dir/keep.bin", keep)
                    for path in ["dir/target.bin", "small.txt"]:
                        self.assert_shredded(self.shred_under_wine(image, root, path))
                        self.assertFalse(os.path.exists(f"{root}/{path}"))
                    with open(f"{root}/dir/keep.bin", "rb") as f:
                        self.assertEqual(f.read(), keep)
                self.assert_markers_gone(image, ["wine", "wine-small"])


if __name__ == "__main__":
    CLI = sys.argv.pop(1)
    if len(sys.argv) >= 3:
        WINE = (sys.argv.pop(1), sys.argv.pop(1))
    unittest.main(verbosity=2)

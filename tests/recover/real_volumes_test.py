#!/usr/bin/python3
"""Recovery of NTFS files that are more than a run of clusters, on images made
by mkntfs and filled through ntfs-3g, checked against the originals and The
Sleuth Kit (icat, fls, istat):
  - compressed files (a folder with the compressed attribute): text, stretches
    that do not compress, a size that is no multiple of the unit, over 1 MiB;
  - sparse files with leading, middle and trailing holes, and one of 5 GiB
    (which icat cannot read: checked against the original alone);
  - folder paths as fls gives them, and "?/" where a folder was reused;
  - a compression unit that does not decode is reported, never written as data;
  - past a file's initialized size: zeros, as icat gives them, not the stale
    bytes of its clusters;
  - a damaged data attribute (header and runs disagree on the VCNs they map,
    or its length runs past the record): the file is listed, and recovered
    as partial, never whole;
  - a file whose data goes on in extension records, and one such record
    reused since: the file is then partial, and so is the run (exit status 1).

usage: real_volumes_test.py CLI
"""
import json
import os
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from volume_images import ENV, run, ntfs_mount, make_ntfs, write, read  # noqa: E402

CLI = None
HUGE = 5 << 30


def text(size, seed=0):
    lines = b"".join(b"line %d of text that compresses well, seed %d\n" % (i, seed) for i in range(size // 30 + 1))
    return lines[:size]


def scan(image):
    return [json.loads(line) for line in run(CLI, "scan", image, "--json").stdout.decode().splitlines()]


def recover(image, target, *indexes):
    """Recovers the files of these scan indexes (all without any) into target."""
    selection = ["--index", *map(str, indexes)] if indexes else ["--all"]
    result = subprocess.run([CLI, "recover", image, "--to", target, *selection, "--json"], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=ENV)
    lines = [json.loads(line) for line in result.stdout.decode().splitlines()]
    return {line["name"]: line for line in lines if "name" in line}


def deleted_inodes(image):
    """path -> inode of every deleted regular file fls lists."""
    found = {}
    for line in run("fls", "-rd", image).stdout.decode().splitlines():
        kind, rest = line.split(" * ")
        inode, path = rest.split(":\t")
        if kind.startswith("-/r") or kind.startswith("r/r"):
            found[path] = inode.split("-")[0]
    return found


class Record:
    """One MFT record of an image, to patch in place (fields of the first sector only)."""

    def __init__(self, image, number):
        with open(image, "rb") as f:
            boot = f.read(512)
        cluster = boot[0x0D] * 512
        self.image = image
        self.offset = struct.unpack("<Q", boot[0x30:0x38])[0] * cluster + number * 1024

    def patch(self, field, data):
        with open(self.image, "r+b") as f:
            f.seek(self.offset + field)
            f.write(data)

    def read(self, field, size):
        with open(self.image, "rb") as f:
            f.seek(self.offset + field)
            return f.read(size)

    def attribute(self, kind):
        """The offset of the record's first attribute of a type."""
        at = struct.unpack("<H", self.read(0x14, 2))[0]
        while at < 1024:
            found, length = struct.unpack("<II", self.read(at, 8))
            if found == kind:
                return at
            if found == 0xFFFFFFFF or length == 0:
                break
            at += length
        raise LookupError("no attribute 0x%x" % kind)


class NtfsFilesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.image = make_ntfs(os.path.join(cls.work.name, "ntfs.img"), 64)
        cls.files = {
            "text.txt": text(200000),
            "random.bin": os.urandom(100000),
            "mixed.bin": text(40000, 1) + os.urandom(30000) + text(30001, 2),
            "big.txt": text(1500000, 3),
            "middle.bin": os.urandom(70000) + bytes((3 << 20) - 70000) + os.urandom(70000),
            "leading.bin": bytes(1 << 20) + os.urandom(5000),
            "trailing.bin": os.urandom(5000) + bytes((2 << 20) - 5000),
            "inner.txt": b"inner\n",
            "gone.txt": b"gone\n",
        }
        cls.huge_ends = (os.urandom(1000), os.urandom(1000))
        cls.grown = os.urandom(12000)
        with ntfs_mount(cls.image, os.path.join(cls.work.name, "mnt"), "compression") as root:
            os.mkdir(f"{root}/comp")
            os.setxattr(f"{root}/comp", "system.ntfs_attrib_be", (0x800).to_bytes(4, "big"))
            for name in ("text.txt", "random.bin", "mixed.bin", "big.txt"):
                write(f"{root}/comp/{name}", cls.files[name])
            for name in ("middle.bin", "leading.bin", "trailing.bin"):
                data = cls.files[name]
                with open(f"{root}/{name}", "wb") as f:  # holes by seeking past them
                    for at in range(0, len(data), 65536):
                        if any(data[at:at + 65536]):
                            f.seek(at)
                            f.write(data[at:at + 65536])
                    f.truncate(len(data))
            with open(f"{root}/huge.bin", "wb") as f:
                f.write(cls.huge_ends[0])
                f.seek(HUGE - 1000)
                f.write(cls.huge_ends[1])
            write(f"{root}/old folder/deeper/inner.txt", cls.files["inner.txt"])
            write(f"{root}/gone/gone.txt", cls.files["gone.txt"])
            write(f"{root}/grown.bin", cls.grown)
            os.remove(f"{root}/grown.bin")
            for name in ("text.txt", "random.bin", "mixed.bin", "big.txt"):
                os.remove(f"{root}/comp/{name}")
            for name in ("middle.bin", "leading.bin", "trailing.bin", "huge.bin", "old folder/deeper/inner.txt"):
                os.remove(f"{root}/{name}")
            subprocess.run(["rm", "-r", f"{root}/gone"], check=True)
        cls.inodes = deleted_inodes(cls.image)

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def copy(self, name):
        copy = os.path.join(self.work.name, name)
        subprocess.run(["cp", "--sparse=always", self.image, copy], check=True)
        return copy

    def test_files_come_back_whole_as_icat_gives_them(self):
        istat = run("istat", self.image, self.inodes["comp/text.txt"]).stdout.decode()
        self.assertIn("Compressed", istat)
        self.assertIn("Sparse", run("istat", self.image, self.inodes["middle.bin"]).stdout.decode())
        target = os.path.join(self.work.name, "out")
        statuses = recover(self.image, target)
        for path, inode in self.inodes.items():
            name = path.split("/")[-1]
            if name not in self.files:
                continue
            with self.subTest(name=name):
                data = read(os.path.join(target, name))
                self.assertEqual(data, self.files[name])
                self.assertEqual(data, run("icat", self.image, inode).stdout)
                self.assertEqual(statuses[name]["status"], "whole")
        # 5 GiB: its size in full, its two ends, zeros between (every byte
        # compared, block by block, rather than hashed twice).
        huge = os.path.join(target, "huge.bin")
        self.assertEqual(os.path.getsize(huge), HUGE)
        zeros = bytes(1 << 24)
        with open(huge, "rb") as f:
            self.assertEqual(f.read(1000), self.huge_ends[0])
            left = HUGE - 2000
            while left:
                block = f.read(min(left, len(zeros)))
                self.assertTrue(block == zeros[:len(block)] and block, "not zeros at %d" % (HUGE - 1000 - left))
                left -= len(block)
            self.assertEqual(f.read(), self.huge_ends[1])
        os.remove(huge)

    def test_sizes_and_paths_as_fls_gives_them(self):
        entries = scan(self.image)
        ours = sorted((e["path"] + "/" if e["path"] else "") + e["name"] for e in entries)
        # fls leaves out the 5 GiB file: it takes a run that long for damage.
        self.assertEqual(ours, sorted([p for p in self.inodes if not p.startswith("$OrphanFiles")] + ["huge.bin"]))
        sizes = {e["name"]: e["size"] for e in entries}
        self.assertEqual(sizes["huge.bin"], HUGE)
        self.assertEqual(sizes["middle.bin"], 3215728)
        listing = run(CLI, "scan", self.image).stdout.decode()
        self.assertIn("old folder/deeper/inner.txt", listing)
        self.assertIn(" 5368709120 ", listing)

    def test_a_reused_folder_gives_no_wrong_path(self):
        image = self.copy("reused-folder.img")
        # "deeper": give its record another sequence number, as a reuse does.
        inode = next(line.split()[1].split("-")[0] for line in run("fls", "-rp", image).stdout.decode().splitlines()
                     if line.endswith("\told folder/deeper"))
        record = Record(image, int(inode))
        sequence = struct.unpack("<H", record.read(0x10, 2))[0]
        record.patch(0x10, struct.pack("<H", sequence + 7))
        paths = {e["name"]: e["path"] for e in scan(image)}
        self.assertEqual(paths["inner.txt"], "?/")
        self.assertEqual(paths["gone.txt"], "gone")

    def test_a_unit_that_does_not_decode_is_reported_not_written(self):
        image = self.copy("damaged-unit.img")
        istat = run("istat", image, self.inodes["comp/text.txt"]).stdout.decode()
        first = int(istat.split("Type: $DATA")[1].split("\n", 1)[1].split()[0])
        with open(image, "r+b") as f:
            f.seek(first * 4096)
            f.write(b"\x05\xb0\x01\x00\x00" + b"\xff" * 64)  # a back-reference with nothing before it
        target = os.path.join(self.work.name, "out-damaged")
        index = next(e["index"] for e in scan(image) if e["name"] == "text.txt")
        statuses = recover(image, target, index)
        self.assertEqual(statuses["text.txt"]["status"], "partial")
        self.assertIn("could not be decompressed", statuses["text.txt"]["message"])
        data = read(os.path.join(target, "text.txt"))
        self.assertEqual(len(data), 200000)
        self.assertEqual(data[:65536], bytes(65536))  # the unit: zeros, not the compressed bytes
        self.assertEqual(data[65536:], self.files["text.txt"][65536:])


    def test_bytes_past_the_initialized_size_are_zeros(self):
        # Its clusters hold all 12000 bytes; its record now says 5000 were written.
        image = self.copy("initialized.img")
        inode = self.inodes["grown.bin"]
        record = Record(image, int(inode))
        record.patch(record.attribute(0x80) + 0x38, struct.pack("<Q", 5000))
        self.assertIn("size: 12000  init_size: 5000", run("istat", image, inode).stdout.decode())
        index = next(e["index"] for e in scan(image) if e["name"] == "grown.bin")
        target = os.path.join(self.work.name, "out-initialized")
        result = run(CLI, "recover", image, "--to", target, "--index", str(index), "--json")
        data = read(os.path.join(target, "grown.bin"))
        self.assertEqual(data, self.grown[:5000] + bytes(7000))
        self.assertEqual(data, run("icat", image, inode).stdout)
        self.assertEqual(json.loads(result.stdout.decode().splitlines()[0])["status"], "whole")

    def test_a_damaged_data_attribute_is_never_whole(self):
        inode = self.inodes["grown.bin"]
        # Its header says the runs map VCNs 512-514, or VCN 0 alone: nothing
        # maps the file's start (icat gives zeros for the first), or its runs
        # map more than the header vouches for.
        for name, first, last in (("first-vcn", 512, 514), ("last-vcn", 0, 0)):
            with self.subTest(name):
                image = self.copy(name + ".img")
                record = Record(image, int(inode))
                record.patch(record.attribute(0x80) + 0x10, struct.pack("<QQ", first, last))
                if first:
                    self.assertEqual(run("icat", image, inode).stdout, bytes(12000))
                index = next(e["index"] for e in scan(image) if e["name"] == "grown.bin")
                status = recover(image, os.path.join(self.work.name, "out-" + name), index)["grown.bin"]
                self.assertEqual(status["status"], "partial")
        # Its length runs past the record: fls lists the file, size 0.
        image = self.copy("data-length.img")
        record = Record(image, int(inode))
        record.patch(record.attribute(0x80) + 0x04, struct.pack("<I", 0x400c8))
        self.assertIn("grown.bin", run("fls", "-rd", image).stdout.decode())
        entry = next(e for e in scan(image) if e["name"] == "grown.bin")
        self.assertEqual(entry["size"], 0)
        status = recover(image, os.path.join(self.work.name, "out-data-length"), entry["index"])["grown.bin"]
        self.assertEqual(status["status"], "partial")


class ExtensionRecordsTest(unittest.TestCase):
    """A file fragmented until its data goes on in extension records."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.image = make_ntfs(os.path.join(cls.work.name, "ntfs.img"), 64)
        with ntfs_mount(cls.image, os.path.join(cls.work.name, "mnt")) as root:
            for i in range(2400):
                write(f"{root}/s{i}", b"x" * 4096)
            free = os.statvfs(root)
            write(f"{root}/filler", bytes(free.f_bavail * free.f_frsize - (256 << 10)))
            for i in range(0, 2400, 2):
                os.remove(f"{root}/s{i}")
            cls.data = os.urandom(1100 * 4096 - 100)
            write(f"{root}/fragments.bin", cls.data)
            cls.inode = os.stat(f"{root}/fragments.bin").st_ino
            os.remove(f"{root}/fragments.bin")
        cls.istat = run("istat", cls.image, str(cls.inode)).stdout.decode()
        cls.pieces = [line for line in cls.istat.split("$ATTRIBUTE_LIST Attribute Values:")[1].split("\n\n")[0]
                      .splitlines() if line.startswith("Type: 128-")]

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def recovered(self, image, name):
        entry = next(e for e in scan(image) if e["name"] == "?%d" % self.inode)
        self.assertEqual(entry["path"], "")  # its name, and with it its folder, lay in an extension record cleared on deletion
        statuses = recover(image, os.path.join(self.work.name, name))
        return read(os.path.join(self.work.name, name, "Recover%d" % self.inode)), statuses["Recover%d" % self.inode]

    def test_the_extension_records_are_followed(self):
        self.assertGreaterEqual(len(self.pieces), 3, self.istat)
        data, _ = self.recovered(self.image, "out")
        icat = run("icat", self.image, str(self.inode)).stdout
        # ntfs-3g drops the last entry of the attribute list on deletion:
        # icat, which follows the list, stops there; the extension record
        # names its base, and the file comes back whole.
        self.assertLess(len(icat), len(self.data))
        self.assertGreater(len(icat), int(self.pieces[1].split("VCN: ")[1]) * 4096)
        self.assertEqual(data, self.data)

    def test_a_reused_extension_record_makes_the_file_partial(self):
        image = os.path.join(self.work.name, "reused.img")
        subprocess.run(["cp", "--sparse=always", self.image, image], check=True)
        # The second piece's record, taken by another file since: in use.
        second = self.pieces[2]
        record = Record(image, int(second.split("MFT Entry: ")[1].split()[0]))
        record.patch(0x16, b"\x01")
        data, status = self.recovered(image, "out-reused")
        first_vcn = int(second.split("VCN: ")[1])
        self.assertEqual(len(data), first_vcn * 4096)
        self.assertEqual(data, run("icat", self.image, str(self.inode)).stdout[:first_vcn * 4096])
        self.assertEqual(status["status"], "partial")
        # A partial file makes the run a failure, for a script and a person alike.
        for form in (["--json"], []):
            result = run(CLI, "recover", image, "--to", os.path.join(self.work.name, "out-status"), "--all", "--yes",
                         *form, check=False)
            self.assertEqual(result.returncode, 1, result.stderr.decode())
            self.assertIn(b"1 only in part", result.stderr)
            if form:
                summary = json.loads(result.stdout.decode().splitlines()[-1])
                self.assertEqual((summary["summary"], summary["partial"]), ("incomplete", 1))
            else:
                self.assertIn(b"; 1 only in part", result.stdout)


if __name__ == "__main__":
    CLI = sys.argv.pop(1)
    unittest.main(verbosity=2)

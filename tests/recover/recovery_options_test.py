#!/usr/bin/python3
"""What scan and recover tell and keep of each deleted file beyond its bytes,
on images made by mkntfs + ntfs-3g and mkfs.fat + mtools, against The Sleuth
Kit:
  - the times scan lists equal istat's (NTFS, $STANDARD_INFORMATION) and fls
    -m's (FAT32, read in the same zone), and the record or entry number is
    the one istat and fls give;
  - a recovered file's modified and accessed times are the deleted file's,
    FAT32 local times read in this machine's zone; --no-times leaves them;
  - filters (--name, --ext, sizes, dates, --recoverable) select what a
    selection by hand from the unfiltered listing selects, under the same
    indexes, and recover --all with them takes those files alone;
  - --keep-paths writes the tree tsk_recover writes, folders reused since
    included; hostile folder names (.., CON, ':', control characters, 255
    units) and a link planted in the destination never lead outside it;
  - --hash gives each file's SHA-256, --report the same JSON lines in a file,
    the summary counting the files by status.

usage: recovery_options_test.py CLI
"""
import datetime
import json
import os
import re
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from volume_images import ENV, run, ntfs_mount, make_ntfs, make_fat32, write, read, marked, sha  # noqa: E402

CLI = None
# A zone without daylight saving, away from UTC, so that a local time taken as UTC shows.
ZONE = "JST-9"
ZONED = dict(ENV, TZ=ZONE)


def scan(image):
    lines = run(CLI, "scan", image, "--json").stdout.decode().splitlines()
    return [json.loads(line) for line in lines]


def epoch(iso, utc=True):
    """Seconds since 1970 of a listed time (a FAT32 local time read in ZONE)."""
    moment = datetime.datetime.fromisoformat(iso.rstrip("Z")[:26])
    if utc:
        return moment.replace(tzinfo=datetime.timezone.utc).timestamp()
    return moment.replace(tzinfo=datetime.timezone(datetime.timedelta(hours=9))).timestamp()


class Images(unittest.TestCase):
    """Images made once for the class, in a folder that goes with it."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()


class Times(Images):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        w = cls.work.name
        cls.ntfs = make_ntfs(os.path.join(w, "ntfs.img"), 16)
        with ntfs_mount(cls.ntfs, os.path.join(w, "mnt")) as root:
            names = ["a/old.txt", "b/c/new.bin", "top.dat"]
            for n, name in enumerate(names):
                write(f"{root}/{name}", marked(name, 3000 + n))
                os.utime(f"{root}/{name}", (1600000000.5 + n, 1500000000.25 + n * 86400))
            for name in names:
                os.remove(f"{root}/{name}")
        cls.fat = make_fat32(os.path.join(w, "fat.img"))
        run("mmd", "-i", cls.fat, "::dir")
        for n, name in enumerate(["one.txt", "two.bin"]):
            local = os.path.join(w, name)
            write(local, marked(name, 5000))
            os.utime(local, (1600000000, 1500000000 + n * 3600 * 30))
            subprocess.run(["mcopy", "-m", "-i", cls.fat, local, "::dir/" + name], check=True, env=ZONED)
        run("mdel", "-i", cls.fat, "::dir/one.txt", "::dir/two.bin")

    def test_ntfs_times_and_records_are_istats(self):
        entries = scan(self.ntfs)
        self.assertEqual(len(entries), 3)
        for entry in entries:
            with self.subTest(name=entry["name"]):
                istat = run("istat", "-z", "UTC", self.ntfs, str(entry["record"])).stdout.decode()
                self.assertIn("Name: " + entry["name"], istat)
                block = istat.split("$STANDARD_INFORMATION Attribute Values:")[1].split("$FILE_NAME")[0]
                times = dict(re.findall(r"^(Created|File Modified|MFT Modified|Accessed):\t(\S+ \S+) \(UTC\)", block,
                                        re.M))
                for ours, theirs in [("created", "Created"), ("modified", "File Modified"),
                                     ("changed", "MFT Modified"), ("accessed", "Accessed")]:
                    # istat gives nanoseconds, NTFS keeps 100 ns.
                    self.assertEqual(entry[ours], times[theirs].replace(" ", "T")[:27] + "Z")
                self.assertRegex(entry["modified"], r"^2017-07-1[456]T02:40:00\.2500000Z$")

    def test_fat32_times_and_entries_are_fls(self):
        body = run("fls", "-m", "/", "-rd", "-z", ZONE, self.fat).stdout.decode().splitlines()
        # md5|name|inode|mode|uid|gid|size|atime|mtime|ctime|crtime
        theirs = {int(f[2]): f for f in (line.split("|") for line in body)}
        entries = scan(self.fat)
        self.assertEqual(len(entries), 2)
        for entry in entries:
            with self.subTest(name=entry["name"]):
                fields = theirs[entry["inode"]]
                self.assertIn(entry["name"][1:], fields[1])
                self.assertTrue(entry["localTime"])
                self.assertEqual(epoch(entry["modified"], utc=False), int(fields[8]))
                self.assertEqual(epoch(entry["accessed"] + "T00:00:00", utc=False), int(fields[7]))
                self.assertEqual(int(epoch(entry["created"], utc=False)), int(fields[10]))
        listing = run(CLI, "scan", self.fat).stdout.decode()
        self.assertRegex(listing, r"\n +0 +5000 +100%  2017-07-14 11:40  dir/.ne\.txt\n")

    def recover(self, image, *options):
        target = tempfile.mkdtemp(dir=self.work.name)
        subprocess.run([CLI, "recover", image, "--to", target, "--all", *options], check=True,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ZONED)
        return target

    def test_recovered_files_get_their_times_back(self):
        for image, utc in [(self.ntfs, True), (self.fat, False)]:
            listed = {e["name"]: e for e in scan(image)}
            target = self.recover(image)
            for name, entry in listed.items():
                with self.subTest(image=image, name=name):
                    status = os.stat(os.path.join(target, name))
                    self.assertAlmostEqual(status.st_mtime, epoch(entry["modified"], utc), delta=1e-6)
                    accessed = entry["accessed"] if utc else entry["accessed"] + "T00:00:00"
                    self.assertAlmostEqual(status.st_atime, epoch(accessed, utc), delta=1e-6)
        target = self.recover(self.ntfs, "--no-times")
        for name in os.listdir(target):
            self.assertGreater(os.stat(os.path.join(target, name)).st_mtime, 1700000000)

    def test_filters_select_as_by_hand_under_the_same_indexes(self):
        everything = scan(self.ntfs)
        cases = [
            (["--name", "*.TXT"], lambda e: e["name"] == "old.txt"),
            (["--name", "[!a-o]*", "--name", "old*"], lambda e: e["name"] != "new.bin"),
            (["--name", "b/*"], lambda e: e["path"].startswith("b/")),
            (["--ext", "dat,.bin"], lambda e: e["name"] in ("new.bin", "top.dat")),
            (["--min-size", "3001", "--max-size", "2.94K"], lambda e: e["size"] in (3001, 3002)),
            (["--modified-after", "2017-07-15"], lambda e: e["modified"] >= "2017-07-15"),
            (["--modified-before", "2017-07-15T02:40:00.2500001Z"], lambda e: e["modified"] < "2017-07-15T03"),
            (["--modified-after", "2017-07-15T11:40+09:00", "--ext", "dat"], lambda e: e["name"] == "top.dat"),
            (["--recoverable", "--max-size", "1G"], lambda e: e["free"] == 100),
        ]
        for arguments, wanted in cases:
            with self.subTest(arguments=arguments):
                listed = [json.loads(line) for line in
                          run(CLI, "scan", self.ntfs, "--json", *arguments).stdout.decode().splitlines()]
                self.assertEqual(listed, [e for e in everything if wanted(e)])
        target = tempfile.mkdtemp(dir=self.work.name)
        out = run(CLI, "recover", self.ntfs, "--to", target, "--all", "--ext", "bin", "--json").stdout.decode()
        self.assertEqual(os.listdir(target), ["new.bin"])
        self.assertEqual(json.loads(out.splitlines()[0])["index"],
                         next(e["index"] for e in everything if e["name"] == "new.bin"))
        bad = subprocess.run([CLI, "scan", self.ntfs, "--modified-after", "2017-13-01"], stderr=subprocess.PIPE)
        self.assertEqual((bad.returncode, bad.stderr.count(b"\n")), (2, 2))

    def test_hashes_and_the_report(self):
        for image in (self.ntfs, self.fat):
            target = tempfile.mkdtemp(dir=self.work.name)
            report = os.path.join(self.work.name, "report.json")
            out = subprocess.run([CLI, "recover", image, "--to", target, "--all", "--hash", "--json", "--report",
                                  report], check=True, stdout=subprocess.PIPE, env=ENV).stdout
            with open(report, "rb") as f:
                self.assertEqual(f.read(), out)
            lines = [json.loads(line) for line in out.decode().splitlines()]
            files, summary = lines[:-1], lines[-1]
            self.assertEqual(sum(summary["statuses"].values()), len(files))
            for line in files:
                self.assertEqual(line["sha256"], sha(read(line["path"])))
            self.assertEqual(summary["statuses"].get("whole"), len(files))


def tree(root):
    """relative path -> bytes of every file under root."""
    found = {}
    for folder, _, files in os.walk(root):
        for name in files:
            path = os.path.join(folder, name)
            found[os.path.relpath(path, root)] = read(path)
    return found


def mft_offset(image, record):
    with open(image, "rb") as f:
        boot = f.read(512)
    cluster = boot[0x0D] * 512
    return struct.unpack("<Q", boot[0x30:0x38])[0] * cluster + record * 1024


class KeepPaths(Images):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        w = cls.work.name
        cls.ntfs = make_ntfs(os.path.join(w, "ntfs.img"), 24)
        hostile = ["CON", "a:b", "ctl\x01x", "L" * 255, "xx", "trail."]
        with ntfs_mount(cls.ntfs, os.path.join(w, "mnt")) as root:
            # "reused" first: the lowest record, which the next new file takes.
            names = ["reused/gone.txt", "projects/old/numbers.csv", "projects/old/deep/er/x.bin", "docs/report.docx",
                     "projects/new/report.docx", "top.txt"] + [name + "/in.txt" for name in hostile]
            for name in names:
                write(f"{root}/{name}", marked(name, 2000 + len(name) * 100))
            subprocess.run(["rm", "-r", f"{root}/reused", f"{root}/projects", f"{root}/docs/report.docx",
                            f"{root}/top.txt"] + [f"{root}/{name}" for name in hostile], check=True)
            # The folder's record goes to a new file: what was in it has no known folder now.
            write(f"{root}/taker.txt", b"taker")
        # A deleted folder named "..", as a damaged or forged record may name it.
        inode = next(re.search(r"(\d+)-", line).group(1)
                     for line in run("fls", "-rdp", cls.ntfs).stdout.decode().splitlines() if line.endswith("\txx"))
        with open(cls.ntfs, "r+b") as f:
            f.seek(mft_offset(cls.ntfs, int(inode)))
            record = f.read(1024)
            at = record.index("xx".encode("utf-16-le"))
            f.seek(mft_offset(cls.ntfs, int(inode)) + at)
            f.write("..".encode("utf-16-le"))
        cls.fat = make_fat32(os.path.join(w, "fat.img"))
        for name in ["a/b/one.txt", "a/two.txt", "c/three.txt", "four.txt"]:
            local = os.path.join(w, "f", name)
            write(local, marked(name, 4000))
        for folder in ["a", "a/b", "c"]:
            run("mmd", "-i", cls.fat, "::" + folder)
        for name in ["a/b/one.txt", "a/two.txt", "c/three.txt", "four.txt"]:
            run("mcopy", "-i", cls.fat, os.path.join(w, "f", name), "::" + name)
        run("mdel", "-i", cls.fat, "::a/b/one.txt", "::a/two.txt", "::c/three.txt", "::four.txt")
        run("mrd", "-i", cls.fat, "::a/b")

    def recover(self, image, target, *options):
        return subprocess.run([CLI, "recover", image, "--to", target, "--all", "--keep-paths", "--json", *options],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)

    def test_the_tree_is_tsk_recovers(self):
        for image in (self.ntfs, self.fat):
            with self.subTest(image=os.path.basename(image)):
                ours, theirs = (os.path.join(self.work.name, os.path.basename(image) + side) for side in "12")
                self.recover(image, ours)
                run("tsk_recover", image, theirs)
                got, expected = tree(ours), tree(theirs)
                if image == self.fat:
                    # A deleted entry's first byte is lost: each tool puts its own mark there.
                    def masked(found):
                        return {"/".join("_" + part[1:] for part in p.split("/")): d for p, d in found.items()}
                    got, expected = masked(got), masked(expected)
                # Files whose folder is unknown: ours under one folder, named by record; theirs in $OrphanFiles.
                unknown = {p: d for p, d in got.items() if p.startswith("(folder unknown)")}
                self.assertEqual({p: d for p, d in got.items() if p not in unknown and "in.txt" not in p},
                                 {p: d for p, d in expected.items() if not p.startswith("$OrphanFiles")
                                  and "in.txt" not in p})
                if image == self.ntfs:
                    [(path, data)] = unknown.items()
                    self.assertRegex(path, r"^\(folder unknown\)/gone \(record \d+\)\.txt$")
                    self.assertEqual(data, marked("reused/gone.txt", 3500))

    def test_hostile_folders_stay_inside(self):
        outside = os.path.join(self.work.name, "outside")
        os.makedirs(outside)
        target = os.path.join(self.work.name, "hostile")
        os.makedirs(target)
        os.symlink(outside, os.path.join(target, "docs"))
        result = self.recover(self.ntfs, target)
        self.assertEqual(os.listdir(outside), [])
        lines = [json.loads(line) for line in result.stdout.decode().splitlines()]
        written = [line["path"] for line in lines if line.get("status") == "whole"]
        for path in written:
            self.assertTrue(os.path.realpath(path).startswith(os.path.realpath(target) + "/"), path)
        inner = sorted(os.path.relpath(p, target).split("/")[0] for p in written if p.endswith("in.txt"))
        self.assertEqual(len(inner), 6)
        self.assertNotIn("CON", inner)
        self.assertEqual(len(set(inner)), 6)
        self.assertTrue(all(part not in ("..", ".") and len(part) <= 255 and "\x01" not in part and ":" not in part
                            for part in inner), inner)
        refused = [line for line in lines if line.get("status") == "skipped"]
        self.assertEqual([os.path.basename(os.path.dirname(line["path"])) for line in refused], ["docs"])
        self.assertEqual(result.returncode, 1)


if __name__ == "__main__":
    CLI = os.path.abspath(sys.argv.pop(1))
    unittest.main()

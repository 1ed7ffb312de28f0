#!/usr/bin/python3
"""The deleted-file scan on real volumes, checked against The Sleuth Kit.

NTFS images are made with mkntfs and filled through ntfs-3g (FUSE); FAT32
images with mkfs.fat and mtools. `corvanel-cli scan --json` must list exactly
the deleted regular files that `fls -rdl` lists, with their sizes, except
where noted:
  - deleted directories are not files and are never listed;
  - NTFS records below 24 (the system's, which fls shows as orphans) are not
    scanned;
  - a FAT32 short name keeps its deleted mark (0xE5) as its first character,
    where fls shows '_'; names are compared from their second character (and
    mostly without regard to case, though the scan applies the case flags
    with which mtools stores lower-case 8.3 names, as fls does).

usage: real_volumes_test.py CLI [WINE_RUN WINDOWS_CLI]
"""
import json
import os
import subprocess
import sys
import tempfile
import time
import unittest

CLI = None
WINE = None  # (wine-run script, corvanel-cli.exe)
ENV = dict(os.environ, LC_ALL="C.UTF-8", MTOOLS_SKIP_CHECK="1")


def run(*args, **kwargs):
    return subprocess.run(args, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV, **kwargs)


class NtfsMount:
    """An NTFS image mounted read-write through ntfs-3g for the duration."""

    def __init__(self, image, directory):
        self.image, self.directory = image, directory

    def __enter__(self):
        os.makedirs(self.directory, exist_ok=True)
        self.process = subprocess.Popen(["ntfs-3g", "-o", "no_detach", self.image, self.directory],
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            if os.path.ismount(self.directory):
                return self.directory
            time.sleep(0.05)
        raise RuntimeError("ntfs-3g did not mount " + self.image)

    def __exit__(self, *exc):
        subprocess.run(["umount", self.directory], check=True)
        self.process.wait(timeout=60)  # umount returns before ntfs-3g has written everything


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def make_ntfs(work, size_mib=64, *options):
    image = os.path.join(work, "ntfs.img")
    with open(image, "wb") as f:
        f.truncate(size_mib << 20)
    run("mkntfs", "-F", "-f", "-q", *options, image)
    return image


NTFS_DELETED = {}  # name -> bytes written, for the files fill_ntfs deletes with a unique name
TWO_EXTENTS = "two extents " + "e" * 94 + ".bin"  # 110 characters
LONG_NAME = "a name across the sector end " + "n" * 121  # 150 characters


def fill_ntfs(image, work):
    big, doc, five = os.urandom(100000), os.urandom(3000), os.urandom(5000)
    NTFS_DELETED.update({"a.txt": b"hello\n", "big.bin": big, "文件（一）：a.txt": b"x\n", "中文名字.doc": doc,
                         "inner.txt": b"inner\n", "five.bin": five})
    with NtfsMount(image, os.path.join(work, "mnt")) as root:
        write(f"{root}/a.txt", b"hello\n")                       # resident
        write(f"{root}/big.bin", big)                            # non-resident
        write(f"{root}/文件（一）：a.txt", b"x\n")
        write(f"{root}/中文名字.doc", doc)
        write(f"{root}/sub/inner.txt", b"inner\n")               # in a deleted directory
        write(f"{root}/sub/five.bin", five)
        write(f"{root}/keep.txt", b"keep\n")                     # live: not listed
        write(f"{root}/one/dup.txt", b"dup1\n")                  # two deleted files of one name
        write(f"{root}/two/dup.txt", b"dup2\n")
        # Several megabytes in two extents, under a name whose length puts the
        # run list across the end of the record's first sector; and a name
        # that lies across it itself. The sector's last two bytes are only
        # right after the record's fix-up.
        write(f"{root}/hole1", bytes(1536 << 10))
        write(f"{root}/between", b"x" * 4096)
        write(f"{root}/hole2", bytes(2 << 20))
        free = os.statvfs(root)
        write(f"{root}/filler", bytes(free.f_bavail * free.f_frsize - (1 << 20)))  # no 3 MiB stretch left
        os.remove(f"{root}/hole1")
        os.remove(f"{root}/hole2")
        NTFS_DELETED.update({TWO_EXTENTS: os.urandom(3 << 20), LONG_NAME: os.urandom(9000)})
        write(f"{root}/{TWO_EXTENTS}", NTFS_DELETED[TWO_EXTENTS])
        write(f"{root}/{LONG_NAME}", NTFS_DELETED[LONG_NAME])
        for name in ["a.txt", "big.bin", "文件（一）：a.txt", "中文名字.doc", "one/dup.txt", "two/dup.txt", TWO_EXTENTS,
                     LONG_NAME]:
            os.remove(f"{root}/{name}")
        subprocess.run(["rm", "-r", f"{root}/sub"], check=True)


FAT_DELETED = {}  # long name -> bytes written


def make_fat32(work):
    image = os.path.join(work, "fat.img")
    run("mkfs.fat", "-F", "32", "-s", "1", "-C", image, "65536")
    files = {"a.txt": b"hello\n", "big.bin": os.urandom(100000), "cjk": b"x\n", "short": b"y\n",
             "megabytes": os.urandom(3 << 20)}
    FAT_DELETED.update({"A long file name.bin": files["big.bin"], "文件（一）：a.txt": b"x\n",
                        "Five files.bin": files["big.bin"], "Several megabytes.bin": files["megabytes"]})
    for name, data in files.items():
        write(os.path.join(work, "src", name), data)
    src = lambda name: os.path.join(work, "src", name)
    m = lambda *args: run(args[0], "-i", image, *args[1:])
    m("mcopy", src("a.txt"), "::/a.txt")
    m("mcopy", src("big.bin"), "::/A long file name.bin")
    m("mcopy", src("cjk"), "::/文件（一）：a.txt")
    m("mcopy", src("short"), "::/FILE.TXT")
    m("mcopy", src("megabytes"), "::/Several megabytes.bin")
    m("mmd", "::/sub")
    m("mcopy", src("a.txt"), "::/sub/inner.txt")
    m("mcopy", src("big.bin"), "::/sub/Five files.bin")
    m("mcopy", src("a.txt"), "::/keep.txt")
    m("mmd", "::/one")
    m("mmd", "::/two")
    m("mcopy", src("short"), "::/one/dup.txt")
    m("mcopy", src("short"), "::/two/dup.txt")
    m("mdel", "::/a.txt", "::/A long file name.bin", "::/文件（一）：a.txt", "::/FILE.TXT", "::/one/dup.txt",
      "::/two/dup.txt", "::/Several megabytes.bin")
    m("mdeltree", "::/sub")
    return image


def make_directory_graph(work, levels):
    """A FAT32 image of nested directories D1/D2/.../D<levels>, each directory
    (the root too) holding a second entry X<n> for its child D<n>: a directory
    graph that is not a tree, with 2^levels paths down to the deleted file at
    the bottom."""
    image = os.path.join(work, "graph.img")
    run("mkfs.fat", "-F", "32", "-s", "1", "-C", image, "65536")
    path = "::"
    for n in range(1, levels + 1):
        path += f"/D{n}"
        run("mmd", "-i", image, path)
    write(os.path.join(work, "src", "gone"), b"gone\n")
    for name in ("GONE.TXT", "KEEP.TXT"):
        run("mcopy", "-i", image, os.path.join(work, "src", "gone"), f"{path}/{name}")
    run("mdel", "-i", image, path + "/GONE.TXT")
    with open(image, "r+b") as f:
        boot = f.read(512)
        per_cluster = boot[0x0D]
        first_data = int.from_bytes(boot[0x0E:0x10], "little") + boot[0x10] * int.from_bytes(boot[0x24:0x28], "little")
        cluster = int.from_bytes(boot[0x2C:0x30], "little")
        for n in range(1, levels + 1):
            f.seek((first_data + (cluster - 2) * per_cluster) * 512)
            entries = f.read(per_cluster * 512)
            at = next(i for i in range(0, len(entries), 32) if entries[i:i + 11] == f"D{n}".ljust(11).encode())
            child = entries[at:at + 32]
            free = next(i for i in range(0, len(entries), 32) if entries[i] == 0)
            f.seek((first_data + (cluster - 2) * per_cluster) * 512 + free)
            f.write(f"X{n}".ljust(11).encode() + child[11:])
            cluster = int.from_bytes(child[0x14:0x16], "little") << 16 | int.from_bytes(child[0x1A:0x1C], "little")
    return image


def fls_deleted_files(image):
    """(name, size) of every deleted regular file fls lists, system orphans aside."""
    files = []
    for line in run("fls", "-rdl", image).stdout.decode().splitlines():
        fields = line.split("\t")
        kind, path = fields[0], fields[1]
        if not (kind.startswith("r/r") or kind.startswith("-/r")) or path.startswith("$OrphanFiles"):
            continue
        files.append((path.split("/")[-1], int(fields[6])))
    return files


def mft_records(image):
    """How many records the MFT has, by its own size."""
    istat = run("istat", image, "0").stdout.decode()
    return int(istat.split("Type: $DATA")[1].split("size: ")[1].split()[0]) // 1024


def mft_deleted_records(image, records):
    """(record, name) of the deleted files among the first records of an MFT
    in one piece, read straight from the image (fls misses some: it takes
    them from the folders' indexes and orphan lists); checked against fls."""
    files = []
    with open(image, "rb") as f:
        for number in range(24, records):
            f.seek(mft_offset(image, number))
            record = f.read(1024)
            if record[:4] != b"FILE" or record[0x16] != 0 or any(record[0x20:0x28]):
                continue
            at = int.from_bytes(record[0x14:0x16], "little")
            while at < 1016 and int.from_bytes(record[at:at + 4], "little") not in (0x30, 0xFFFFFFFF):
                at += int.from_bytes(record[at + 4:at + 8], "little")
            if int.from_bytes(record[at:at + 4], "little") == 0x30:
                value = at + int.from_bytes(record[at + 0x14:at + 0x16], "little")
                files.append((number, record[value + 0x42:value + 0x42 + 2 * record[value + 0x40]].decode("utf-16-le")))
    fls = {line.split(":\t", 1)[1].split("/")[-1] for line in run("fls", "-rd", image).stdout.decode().splitlines()}
    assert fls - {"OrphanFile-%d" % n for n in range(24)} <= {name for _, name in files}, "fls lists others"
    return files


def mft_offset(image, record):
    """Where a record of the MFT lies in the image, by $MFT's run list (None
    when the MFT's first extent does not reach it)."""
    with open(image, "rb") as f:
        boot = f.read(512)
        cluster = boot[0x0D] * 512
        f.seek(int.from_bytes(boot[0x30:0x38], "little") * cluster)
        mft = f.read(1024)
    at = int.from_bytes(mft[0x14:0x16], "little")
    while int.from_bytes(mft[at:at + 4], "little") != 0x80:
        at += int.from_bytes(mft[at + 4:at + 8], "little")
    runs = at + int.from_bytes(mft[at + 0x20:at + 0x22], "little")
    header = mft[runs]
    length = int.from_bytes(mft[runs + 1:runs + 1 + (header & 15)], "little")
    start = int.from_bytes(mft[runs + 1 + (header & 15):runs + 1 + (header & 15) + (header >> 4)], "little")
    return start * cluster + record * 1024 if record * 1024 < length * cluster else None


def zero_records(image, first, count):
    with open(image, "r+b") as f:
        f.seek(mft_offset(image, first))
        f.write(bytes(count * 1024))


def copy(image, name):
    target = os.path.join(os.path.dirname(image), name)
    subprocess.run(["cp", "--sparse=always", image, target], check=True)
    return target


def normalized(files):
    return sorted((name[1:].lower() if name[:1] in ("_", "\ufffd") else name.lower(), size) for name, size in files)


def scan(image, windows=False, code_page=None, status=0):
    if windows:
        wine_run, exe = WINE
        result = subprocess.run([wine_run, exe, "scan", "X:", "--json"], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=dict(ENV, CORVANEL_WINE_X_IMAGE=image))
    else:
        options = ["--code-page", code_page] if code_page else []
        result = subprocess.run([CLI, "scan", image, "--json", *options], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
    if result.returncode != status:
        raise AssertionError(f"scan gave {result.returncode}: {result.stderr.decode()}")
    return [json.loads(line) for line in result.stdout.decode().splitlines()]


class RealVolumesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.ntfs = make_ntfs(cls.work.name)
        fill_ntfs(cls.ntfs, cls.work.name)
        cls.fat = make_fat32(cls.work.name)

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def check_against_fls(self, image, windows=False):
        entries = scan(image, windows)
        self.assertEqual([e["index"] for e in entries], list(range(len(entries))))
        ours = [(e["name"], e["size"]) for e in entries]
        self.assertEqual(normalized(ours), normalized(fls_deleted_files(image)))
        return entries

    def test_ntfs(self):
        entries = self.check_against_fls(self.ntfs)
        by_name = {e["name"]: e for e in entries}
        self.assertTrue(by_name["a.txt"]["resident"])
        self.assertFalse(by_name["big.bin"]["resident"])
        self.assertEqual(by_name["文件（一）：a.txt"]["size"], 2)
        self.assertEqual([e["name"] for e in entries].count("dup.txt"), 2)
        self.assertNotIn("keep.txt", by_name)
        self.assertIn("inner.txt", by_name)
        self.assertTrue(all(e["fs"] == "ntfs" for e in entries))
        info = json.loads(run(CLI, "info", self.ntfs, "--json").stdout)
        self.assertEqual((info["fs"], info["sectorsPerCluster"], info["volumeSectors"]), ("ntfs", 8, (64 << 11) - 1))

    def test_fat32(self):
        entries = self.check_against_fls(self.fat)
        names = [e["name"] for e in entries]
        self.assertIn("文件（一）：a.txt", names)  # full-width parentheses and colon kept
        self.assertIn("A long file name.bin", names)
        self.assertIn("Five files.bin", names)  # in a deleted directory
        self.assertEqual(sum(name[1:] == "up.txt" for name in names), 2)  # mtools's case flags

    def new_fat32(self, name):
        """A fresh FAT32 image in a folder of its own, with a file "data" beside
        it, and a runner of mtools commands on it."""
        work = os.path.join(self.work.name, name)
        image = os.path.join(work, "fat.img")
        os.makedirs(work)
        run("mkfs.fat", "-F", "32", "-s", "1", "-C", image, "65536")
        write(os.path.join(work, "data"), b"data\n")
        return work, image, lambda *args: run(args[0], "-i", image, *args[1:])

    def test_fat32_folders_give_names_and_paths(self):
        # Long- and short-named folders, live and deleted, nested, each with a
        # deleted file: a folder's long name is its own, never its first file's.
        work, image, m = self.new_fat32("folders")
        for folder in ("old folder", "old folder/deeper", "dirA", "SHORT", "SHORT/Long Inner", "gone folder",
                       "gone folder/GONE2"):
            m("mmd", "::/" + folder)
        for name in ("old folder/inner one.txt", "old folder/deeper/A.TXT", "old folder/keep.txt", "dirA/DUP.TXT",
                     "SHORT/a long one.bin", "SHORT/Long Inner/B.TXT", "gone folder/x y.txt", "gone folder/GONE2/C.TXT"):
            m("mcopy", os.path.join(work, "data"), "::/" + name)
        m("mdel", "::/old folder/inner one.txt", "::/old folder/deeper/A.TXT", "::/dirA/DUP.TXT",
          "::/SHORT/a long one.bin", "::/SHORT/Long Inner/B.TXT")
        m("mdeltree", "::/gone folder")
        expected = []
        for line in run("fls", "-rd", image).stdout.decode().splitlines():
            kind, path = line.split(":\t", 1)[0], line.split(":\t", 1)[1]
            if kind.startswith("r/r") or kind.startswith("-/r"):
                expected.append(path)
        self.assertIn("old folder/inner one.txt", expected)
        ours = [(e["path"] + "/" if e["path"] else "") + e["name"] for e in scan(image)]
        part = lambda c: c[1:].lower() if c[:1] in ("_", "\ufffd") or ord(c[:1]) > 0x7f else c.lower()
        key = lambda path: sorted("/".join(part(c) for c in p.split("/")) for p in path)
        self.assertEqual(key(ours), key(expected))
        self.assertIn("old folder/inner one.txt", ours)

    def test_fat32_entries_as_fls_reads_them(self):
        # Folders with attributes besides "directory" (as $RECYCLE.BIN has),
        # 8.3 names in lower case through their case flags, and a deleted
        # folder whose cluster a live folder took since (through fusefat,
        # which takes the first free cluster once the hint says so).
        work, image, m = self.new_fat32("entries")
        m("mmd", "::/old")
        m("mcopy", os.path.join(work, "data"), "::/old/inold.txt")
        folders = {"ro": "+r", "hid": "+h", "sys": "+s", "hs": ("+h", "+s"), "arc": "+a", "plain": None}
        for folder, flags in folders.items():
            m("mmd", "::/" + folder)
            m("mcopy", os.path.join(work, "data"), f"::/{folder}/x{folder}.txt")
            m("mcopy", os.path.join(work, "data"), f"::/{folder}/keep.txt")
            m("mdel", f"::/{folder}/x{folder}.txt")
            if flags:
                m("mattrib", *([flags] if isinstance(flags, str) else flags), "::/" + folder)
        # A live folder renamed, as Windows does it: its old entry left deleted,
        # with the live folder's cluster. Its files are not deleted ones.
        m("mmd", "::/renamed")
        m("mmd", "::/renamed/LIVE")
        m("mcopy", os.path.join(work, "data"), "::/renamed/LIVE/still here.txt")
        sector = int(run("istat", image, run("ifind", "-n", "renamed", image).stdout.decode().strip())
                     .stdout.decode().split("Sectors:")[1].split()[0])
        with open(image, "r+b") as f:
            f.seek(sector * 512)
            entries = f.read(512)
            live = next(at for at in range(0, 512, 32) if entries[at:at + 11] == b"LIVE       ")
            free = next(at for at in range(0, 512, 32) if entries[at] == 0)
            f.seek(sector * 512 + free)  # the new entry after the old one
            f.write(entries[live:live + 32])
            f.seek(sector * 512 + live)
            f.write(b"\xe5" + entries[live + 1:live + 32])
        m("mcopy", os.path.join(work, "data"), "::/after.txt")
        m("mdel", "::/after.txt")
        m("mdeltree", "::/old")
        with open(image, "r+b") as f:  # the FSInfo sector's next-free hint
            f.seek(512 + 0x1EC)
            f.write((2).to_bytes(4, "little"))
        mount = os.path.join(work, "mnt")
        os.makedirs(mount)
        fuse = subprocess.Popen(["fusefat", "-f", "-o", "rw+,fsname=" + image, image, mount],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            for _ in range(100):
                if os.path.ismount(mount):
                    break
                time.sleep(0.05)
            os.mkdir(os.path.join(mount, "plain", "new"))
            write(os.path.join(mount, "plain", "new", "live.txt"), b"live\n")
        finally:
            subprocess.run(["fusermount", "-u", mount], check=True)
            fuse.wait(timeout=60)
        m("mcopy", os.path.join(work, "data"), "::/plain/new/gone.txt")
        m("mdel", "::/plain/new/gone.txt")
        # The deleted folder's cluster is the new one's.
        self.assertIn("new", run("fls", image, run("ifind", "-n", "plain", image).stdout.decode().strip())
                      .stdout.decode())
        old = next(line for line in run("fls", "-d", image).stdout.decode().splitlines() if "_ld" in line)
        first_cluster = lambda inode: int(run("istat", image, inode).stdout.decode().split("Sectors:")[1].split()[0])
        new = next(line for line in run("fls", "-r", image).stdout.decode().splitlines() if line.endswith("\tnew"))
        self.assertEqual(first_cluster(old.split()[2].rstrip(":")), first_cluster(new.split()[2].rstrip(":")))
        expected = []
        for line in run("fls", "-rd", image).stdout.decode().splitlines():
            kind, path = line.split(":\t", 1)
            if kind.startswith("r/r"):
                folder, _, name = path.rpartition("/")
                expected.append((folder + "/" if folder else "") + name[1:])  # past fls's "_" for the mark
        ours = [(e["path"] + "/" if e["path"] else "") + e["name"][1:] for e in scan(image)]
        self.assertEqual(sorted(ours), sorted(expected))  # case and all
        self.assertIn("hs/hs.txt", ours)
        self.assertIn("plain/new/one.txt", ours)
        self.assertIn("fter.txt", ours)
        self.assertFalse([p for p in ours if "still here" in p])
        # The locate follows folders with attributes too.
        for path in ("hs\\keep.txt", "ro\\keep.txt", "arc\\keep.txt"):
            result = subprocess.run([CLI, "locate", image, path], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.assertEqual(result.returncode, 0, path)

    def test_fat32_cut_short(self):
        # An image that ends before one folder's cluster: what lies outside it
        # is listed all the same.
        work, image, m = self.new_fat32("fat-cut")
        write(os.path.join(work, "big"), os.urandom(4 << 20))
        for name in ("gone1.txt", "gone2.txt"):
            m("mcopy", os.path.join(work, "data"), "::/" + name)
        m("mcopy", os.path.join(work, "big"), "::/big.bin")
        m("mmd", "::/far")
        m("mcopy", os.path.join(work, "data"), "::/far/x.txt")
        m("mdel", "::/far/x.txt", "::/gone1.txt", "::/gone2.txt")
        far = next(line for line in run("fls", image).stdout.decode().splitlines() if line.endswith("\tfar"))
        sector = int(run("istat", image, far.split()[1].rstrip(":")).stdout.decode().split("Sectors:")[1].split()[0])
        os.truncate(image, sector * 512)
        expected = sorted(path for kind, path in (line.split(":\t", 1) for line in
                          run("fls", "-rd", image).stdout.decode().splitlines()) if kind.startswith("r/r"))
        self.assertEqual(expected, ["_one1.txt", "_one2.txt"])
        result = subprocess.run([CLI, "scan", image, "--json"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertIn(result.returncode, (0, 1), result.stderr)  # 1: the stretch it could not read
        entries = [json.loads(line) for line in result.stdout.decode().splitlines()]
        self.assertEqual(sorted("_" + e["name"][1:] for e in entries if "index" in e), expected)

    def test_fat32_bytes_that_are_no_entries_are_passed_over(self):
        # A small file written over a deleted folder's first entries (and
        # deleted since), and damage among a live folder's deleted entries:
        # the entries after them are still listed, and nothing made of the
        # bytes is, as fls reads them.
        work, image, m = self.new_fat32("no-entries")
        m("mcopy", os.path.join(work, "data"), "::/early.txt")
        m("mmd", "::/old folder")
        m("mcopy", os.path.join(work, "data"), "::/old folder/first file.txt")
        m("mcopy", os.path.join(work, "data"), "::/old folder/second one.bin")
        m("mcopy", os.path.join(work, "data"), "::/later file.txt")
        # Damage that sets only the attribute bits FAT leaves unused, in the
        # short entries of a deleted file and of a live folder whose long
        # names carry their checksums: both are still read.
        m("mcopy", os.path.join(work, "data"), "::/vouched for.txt")
        m("mmd", "::/Damaged Folder")
        m("mcopy", os.path.join(work, "data"), "::/Damaged Folder/inside file.txt")
        m("mdel", "::/vouched for.txt", "::/Damaged Folder/inside file.txt")
        folder = run("ifind", "-n", "old folder", image).stdout.decode().strip()
        sector = int(run("istat", image, folder).stdout.decode().split("Sectors:")[1].split()[0])
        root = int(run("istat", image, "2").stdout.decode().split("Sectors:")[1].split()[0])
        m("mdel", "::/early.txt", "::/later file.txt")
        m("mdeltree", "::/old folder")

        def entry(name, attributes, cluster=3, size=5):
            return name + bytes([attributes]) + bytes(8) + (cluster >> 16).to_bytes(2, "little") + bytes(4) + \
                (cluster & 0xFFFF).to_bytes(2, "little") + size.to_bytes(4, "little")
        garbage = [entry(b"\x9c\xa1GARBAGE\x00X", 0x4E),  # attribute bits FAT has none of
                   entry(b"\xe5A*B    TXT", 0x20),  # a byte no 8.3 name holds
                   entry(b"\xe5AB CD  TXT", 0x20),  # a space inside the name
                   entry(b"\xe5FAR    TXT", 0x20, cluster=0x7FFF0003),  # a cluster past the volume's
                   b"\x9a" + bytes(10) + b"\x0f" + bytes(20)]  # a long-name slot's order no name has
        with open(image, "r+b") as f:
            f.seek(sector * 512)  # ".", "..", and the first file's two slots and short entry
            f.write(b"".join(garbage))
            f.seek(root * 512)
            entries = f.read(512)
            early = next(at for at in range(0, 512, 32) if entries[at + 1:at + 11] == b"ARLY   TXT")
            f.seek(root * 512 + early)
            f.write(garbage[1][:11] + b"\x60" + garbage[1][12:])
            for short, bits in ((b"OUCHE~1TXT", 0x80), (b"AMAGE~1   ", 0xC0)):
                at = next(at for at in range(0, 512, 32) if entries[at + 1:at + 11] == short)
                f.seek(root * 512 + at + 11)
                f.write(bytes([entries[at + 11] | bits]))
        expected = [path for kind, path in (line.split(":\t", 1) for line in
                    run("fls", "-rd", image).stdout.decode().splitlines()) if kind.startswith("r/r")]
        self.assertEqual(sorted(expected), ["Damaged Folder/inside file.txt", "later file.txt", "old folder/second one.bin",
                                            "vouched for.txt"])
        self.assertEqual(sorted((e["path"] + "/" if e["path"] else "") + e["name"] for e in scan(image)),
                         sorted(expected))

    def test_fragmented_mft(self):
        work = os.path.join(self.work.name, "fragmented")
        os.makedirs(work)
        image = make_ntfs(work, 40)
        with NtfsMount(image, os.path.join(work, "mnt")) as root:
            # Grow the MFT, take most of the free space after it, grow the
            # MFT again (into its zone), free the space and grow it once more:
            # the new records land in a second extent far from the first.
            for i in range(800):
                write(f"{root}/a{i}.txt", b"file %d\n" % i)
            write(f"{root}/filler", bytes(30000000))
            for i in range(0, 800, 2):
                os.remove(f"{root}/a{i}.txt")
            for i in range(3000):
                write(f"{root}/b{i}.txt", b"more %d\n" % i)
            os.remove(f"{root}/filler")
            for i in range(3000):
                write(f"{root}/c{i}.txt", b"more %d\n" % i)
            for i in range(0, 3000, 2):
                os.remove(f"{root}/c{i}.txt")
        # The MFT's clusters as istat lists them, and the deleted records past
        # its first extent: without them the test proves nothing.
        mft = run("istat", image, "0").stdout.decode()
        clusters = []
        for token in mft.split("Type: $DATA")[1].split("\n", 1)[1].split():
            if not token.isdigit():
                break
            if int(token):
                clusters.append(int(token))
        first_extent = next((i for i, (a, b) in enumerate(zip(clusters, clusters[1:])) if b != a + 1), None)
        self.assertIsNotNone(first_extent, "the MFT did not fragment")
        records_in_first_extent = (first_extent + 1) * 4096 // 1024
        deleted = [int(line.split()[2].split("-")[0].rstrip(":"))
                   for line in run("fls", "-rd", image).stdout.decode().splitlines() if "Orphan" not in line]
        self.assertTrue(any(record >= records_in_first_extent for record in deleted))
        entries = self.check_against_fls(image)
        self.assertGreaterEqual(len(entries), 1500)

    def test_reused_clusters_are_flagged(self):
        work = os.path.join(self.work.name, "reused")
        os.makedirs(work)
        image = make_ntfs(work, 16)
        with NtfsMount(image, os.path.join(work, "mnt")) as root:
            write(f"{root}/kept.bin", os.urandom(40000))
            write(f"{root}/old.bin", os.urandom(60000))
            os.remove(f"{root}/old.bin")
            write(f"{root}/new.bin", os.urandom(60000))  # takes the clusters old.bin had
            os.remove(f"{root}/kept.bin")
        entries = {e["name"]: e for e in scan(image)}
        self.assertLess(entries["old.bin"]["free"], 100)
        self.assertEqual(entries["kept.bin"]["free"], 100)
        result = subprocess.run([CLI, "recover", image, "--to", os.path.join(work, "out"), "--all", "--yes"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual(result.returncode, 0, result.stderr)
        warned = [line for line in result.stderr.decode().splitlines() if "now belong to another file" in line]
        self.assertEqual(len(warned), 1, result.stderr)
        self.assertIn("old.bin:", warned[0])
        # The same as JSON, for scripts.
        result = subprocess.run([CLI, "recover", image, "--to", os.path.join(work, "out-json"), "--all", "--json"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        lines = [json.loads(line) for line in result.stdout.decode().splitlines()]
        by_name = {line["name"]: line for line in lines[:-1]}
        self.assertEqual(by_name["old.bin"]["status"], "reused-clusters")
        self.assertEqual(by_name["kept.bin"]["status"], "whole")
        self.assertEqual(by_name["kept.bin"]["bytes"], 40000)
        self.assertEqual(lines[-1]["summary"], "done")
        self.assertEqual(lines[-1]["files"], len(lines) - 1)

    def test_unrecognised_volume(self):
        image = os.path.join(self.work.name, "blank.img")
        with open(image, "wb") as f:
            f.truncate(1 << 20)
        result = subprocess.run([CLI, "scan", image], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr.decode(), "corvanel-cli: Unable to access the disk, this volume does not "
                                                 "contain a recognized file system!\n")

    def test_directory_graph_is_walked_once(self):
        work = os.path.join(self.work.name, "graph")
        os.makedirs(work)
        image = make_directory_graph(work, 30)
        # (A hang guard only: the walk used to take each of the 2^30 paths.)
        result = subprocess.run([CLI, "scan", image, "--json"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                timeout=600)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stderr, b"")
        names = [json.loads(line)["name"] for line in result.stdout.decode().splitlines()]
        self.assertEqual([name[1:] for name in names], ["ONE.TXT"])
        # The locate follows a path through the second entries.
        path = "\\".join(f"X{n}" for n in range(1, 31)) + "\\KEEP.TXT"
        result = subprocess.run([CLI, "locate", image, path], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(json.loads(result.stdout)["size"], 5)

    def test_ntfs_64k_clusters(self):
        work = os.path.join(self.work.name, "64k")
        os.makedirs(work)
        image = make_ntfs(work, 64, "-c", "65536")
        big = os.urandom(300000)
        with NtfsMount(image, os.path.join(work, "mnt")) as root:
            write(f"{root}/small.txt", b"small\n")
            write(f"{root}/big.bin", big)
            write(f"{root}/keep.txt", b"keep\n")
            os.remove(f"{root}/small.txt")
            os.remove(f"{root}/big.bin")
        self.assertEqual(len(self.check_against_fls(image)), 2)
        target = self.recover(image, "recovered-64k")
        with open(os.path.join(target, "big.bin"), "rb") as f:
            self.assertEqual(f.read(), big)

    def test_ntfs_folder_name_in_extension_record_and_small_clusters(self):
        # A folder whose index root fills its record, renamed to a long name:
        # ntfs-3g moves the name to an extension record its attribute list names.
        work = os.path.join(self.work.name, "folder-names")
        os.makedirs(work)
        image = make_ntfs(work, 8)
        folder = "f" * 200
        with NtfsMount(image, os.path.join(work, "mnt")) as root:
            for n in range(3):
                write(f"{root}/d/{str(n) * 30}", b"x\n")
            os.rename(f"{root}/d", f"{root}/{folder}")
            write(f"{root}/{folder}/gone.txt", b"gone\n")
            os.remove(f"{root}/{folder}/gone.txt")
        inode = run("ifind", "-n", folder, image).stdout.decode().split("-")[0].strip()
        listed = run("istat", image, inode).stdout.decode().split("\nAttributes:")[0]
        self.assertRegex(listed, r"Type: 48-\d+\s+MFT Entry: (?!%s\s)\d+" % inode)
        fls = [line.split(":\t", 1)[1] for line in run("fls", "-rd", image).stdout.decode().splitlines()
               if line.endswith("gone.txt")]
        self.assertEqual(fls, [f"{folder}/gone.txt"])
        entries = self.check_against_fls(image)
        self.assertEqual([(e["path"], e["name"]) for e in entries], [(folder, "gone.txt")])
        # 512-byte clusters: a record spans two clusters.
        os.makedirs(os.path.join(work, "small"))
        image = make_ntfs(os.path.join(work, "small"), 8, "-c", "512")
        with NtfsMount(image, os.path.join(work, "mnt")) as root:
            write(f"{root}/a.txt", b"hello\n")
            os.remove(f"{root}/a.txt")
        self.assertEqual([(e["path"], e["name"]) for e in self.check_against_fls(image)], [("", "a.txt")])

    def test_sector_sizes_the_formats_do_not_allow_are_refused(self):
        work = os.path.join(self.work.name, "4k")
        os.makedirs(work)
        ntfs = make_ntfs(work, 64, "-s", "4096")
        fat = os.path.join(work, "fat.img")
        run("mkfs.fat", "-F", "32", "-S", "4096", "-s", "1", "-C", fat, "524288")
        write(os.path.join(work, "a.txt"), b"hello\n")
        for name in ("::/one.txt", "::/two.txt"):
            run("mcopy", "-i", fat, os.path.join(work, "a.txt"), name)
        run("mdel", "-i", fat, "::/one.txt", "::/two.txt")
        # Sound volumes as The Sleuth Kit reads them; two deleted files on the FAT32 one.
        self.assertEqual(len(fls_deleted_files(fat)), 2)
        run("fls", "-r", ntfs)
        self.assertEqual(len(scan(fat)), 2)
        for image in (ntfs, fat):
            # 8192 bytes a sector: no NTFS or FAT32 volume has them.
            with open(image, "r+b") as f:
                f.seek(0x0B)
                f.write((8192).to_bytes(2, "little"))
            for command in ("scan", "info"):
                result = subprocess.run([CLI, command, image], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stderr.decode(), "corvanel-cli: Unable to access the disk, this volume has "
                                 "sectors of 8192 bytes, only sectors of 512 to 4096 bytes are supported!\n")

    def many_deleted_files(self, name, size_mib, count, keep_every=0):
        """An NTFS image with `count` small files f0000.txt... (content "file N"),
        all deleted but every keep_every-th; its MFT must lie in one piece.
        Gives the folder, the image, the MFT's records and the deleted files."""
        work = os.path.join(self.work.name, name)
        os.makedirs(work)
        image = make_ntfs(work, size_mib)
        with NtfsMount(image, os.path.join(work, "mnt")) as root:
            for i in range(count):
                write(f"{root}/f{i:04}.txt", b"file %d\n" % i)
            for i in range(count):
                if not keep_every or i % keep_every:
                    os.remove(f"{root}/f{i:04}.txt")
        records = mft_records(image)
        self.assertIsNotNone(mft_offset(image, records - 1), "the MFT is not in one piece")
        return work, image, records, mft_deleted_records(image, records)

    def test_a_cut_volume_lists_what_it_can_read(self):
        work, image, records, deleted = self.many_deleted_files("cut", 16, 1500, keep_every=10)
        cut = records * 3 // 4
        with open(image, "r+b") as f:
            f.truncate(mft_offset(image, cut))
        listed = sorted(name for record, name in deleted if record < cut)
        self.assertGreater(len(listed), 900)
        self.assertTrue(any(record >= cut for record, _ in deleted))
        lines = scan(image, status=1)
        self.assertEqual(sorted(e["name"] for e in lines[:-1]), listed)
        self.assertEqual(lines[-1], {"unreadable": "records", "first": cut, "count": records - cut})
        warning = (f"corvanel-cli: warning: MFT records {cut}-{records - 1} could not be read; "
                   "files there are not listed\n")
        result = subprocess.run([CLI, "scan", image], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr.decode(), warning)
        self.assertIn(f"{len(listed)} deleted files found", result.stdout.decode())
        # The recovery writes what was listed, and says what was not.
        target = os.path.join(work, "out")
        result = subprocess.run([CLI, "recover", image, "--to", target, "--all", "--yes"], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr.decode(), warning)
        self.assertEqual(sorted(os.listdir(target)), listed)
        with open(os.path.join(target, listed[-1]), "rb") as f:
            self.assertEqual(f.read(), b"file %d\n" % int(listed[-1][1:5]))

    def test_blank_records_do_not_end_the_mft(self):
        _, image, records, deleted = self.many_deleted_files("blank-records", 40, 2200)
        names = lambda image, status=0: sorted(e["name"] for e in scan(image, status=status))
        outside = lambda *stretches: sorted(name for record, name in deleted
                                            if not any(a <= record < b for a, b in stretches))
        # Two runs of 500 zeroed records, apart: the MFT's own size says where it ends.
        two_runs = copy(image, "two-runs.img")
        zero_records(two_runs, 300, 500)
        zero_records(two_runs, 1000, 500)
        self.assertEqual(names(two_runs), outside((300, 800), (1000, 1500)))
        self.assertEqual(names(two_runs), sorted(name for _, name in mft_deleted_records(two_runs, records)))
        # Without record 0 the size is unknown: only 1000 blank records in a row end it.
        zero_records(two_runs, 0, 1)
        self.assertEqual(names(two_runs), outside((300, 800), (1000, 1500)))
        # 1100 zeroed records in a row are not its end when its size is known.
        long_run = copy(image, "long-run.img")
        zero_records(long_run, 300, 1100)
        self.assertEqual(names(long_run), outside((300, 1400)))
        self.assertTrue(any(record >= 1400 for record, _ in deleted))

    def test_extension_records_dropped_from_the_list(self):
        # A sparse file in a thousand pieces: its run list fills several
        # extension records. ntfs-3g drops the last of them from the
        # attribute list when it deletes the file, and clears the one with
        # its name: only the extension records' base reference leads to the
        # rest of the data.
        work = os.path.join(self.work.name, "extensions")
        os.makedirs(work)
        image = make_ntfs(work, 16)
        size = 4900000
        data = bytearray(size)
        for at in range(0, size, 8192):
            data[at:at + 4096] = os.urandom(len(data[at:at + 4096]))
        with NtfsMount(image, os.path.join(work, "mnt")) as root:
            with open(f"{root}/pieces.bin", "wb") as f:
                for at in range(0, size, 8192):
                    f.seek(at)
                    f.write(data[at:at + 4096])
                f.truncate(size)
            for name in ("back\\x01slash.txt", "control\x01.txt"):  # a backslash, a control character
                write(f"{root}/{name}", b"x\n")
            os.remove(f"{root}/pieces.bin")
            os.remove(f"{root}/back\\x01slash.txt")
            os.remove(f"{root}/control\x01.txt")
        orphan = next(line for line in run("fls", "-rd", image).stdout.decode().splitlines()
                      if "OrphanFile" in line and int(line.split(" * ")[1].split(":")[0].split("-")[0]) >= 24)
        record = int(orphan.split(" * ")[1].split(":")[0].split("-")[0])
        self.assertLess(len(run("icat", image, str(record)).stdout), size)  # the list leads to part of it only
        entries = {e["name"]: e for e in scan(image)}
        lost = f"?{record}"
        self.assertEqual((entries[lost]["size"], entries[lost]["path"]), (size, ""))
        listing = subprocess.run([CLI, "scan", image], stdout=subprocess.PIPE, stderr=subprocess.PIPE).stdout.decode()
        self.assertIn(f"  {lost}\n", listing)
        self.assertIn("  back\\\\x01slash.txt\n", listing)
        self.assertIn("  control\\x01.txt\n", listing)
        target = self.recover(image, "recovered-extensions")
        with open(os.path.join(target, f"Recover{record}"), "rb") as f:
            self.assertEqual(f.read(), data)

    def recover(self, image, name):
        target = os.path.join(self.work.name, name)
        result = subprocess.run([CLI, "recover", image, "--to", target, "--all", "--yes"], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        return target

    def test_recover_ntfs(self):
        # The file meant to lie in two extents does.
        inode = next(line.split(":\t")[0].split()[-1].split("-")[0]
                     for line in run("fls", "-rd", self.ntfs).stdout.decode().splitlines() if TWO_EXTENTS in line)
        clusters = [int(n) for n in run("istat", self.ntfs, inode).stdout.decode().split("Type: $DATA")[1]
                    .split("\n", 1)[1].split() if n.isdigit()]
        self.assertGreater(sum(b != a + 1 for a, b in zip(clusters, clusters[1:])), 0, "not fragmented")
        target = self.recover(self.ntfs, "recovered-ntfs")
        for name, data in NTFS_DELETED.items():
            with self.subTest(name=name):
                with open(os.path.join(target, name), "rb") as f:
                    self.assertEqual(f.read(), data)
        # Byte for byte what icat gives for the same records.
        for line in run("fls", "-rd", self.ntfs).stdout.decode().splitlines():
            kind, rest = line.split(" * ")
            inode, path = rest.split(":\t")
            name = path.split("/")[-1]
            if "Orphan" in path or kind.startswith("d") or name not in NTFS_DELETED:
                continue
            with open(os.path.join(target, name), "rb") as f:
                self.assertEqual(f.read(), run("icat", self.ntfs, inode.split("-")[0]).stdout, name)

    def test_recover_fat32(self):
        target = self.recover(self.fat, "recovered-fat")
        for name, data in FAT_DELETED.items():
            with self.subTest(name=name):
                with open(os.path.join(target, name), "rb") as f:
                    self.assertEqual(f.read(), data)

    def test_recover_refuses_the_scanned_volume(self):
        mount = os.path.join(self.work.name, "mounted")
        copy = os.path.join(self.work.name, "copy.img")
        subprocess.run(["cp", "--sparse=always", self.ntfs, copy], check=True)
        with NtfsMount(copy, mount) as root:
            result = subprocess.run([CLI, "recover", copy, "--to", os.path.join(root, "out"), "--all", "--yes"],
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"can not be part of the same disk", result.stderr)

    @unittest.skipUnless(len(sys.argv) > 2 or WINE, "no Windows build given")
    def test_windows_build_agrees(self):
        for image in (self.ntfs, self.fat):
            with self.subTest(image=os.path.basename(image)):
                # Wine's code page for this locale is Windows-1252.
                self.assertEqual(scan(image, windows=True), scan(image, code_page="WINDOWS-1252"))
        # A recovery from X: (the image) into a folder on Z: (the host's /).
        wine_run, exe = WINE
        target = os.path.join(self.work.name, "recovered-by-windows")
        result = subprocess.run([wine_run, exe, "recover", "X:", "--to", "Z:" + target.replace("/", "\\"), "--all",
                                 "--yes"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                env=dict(ENV, CORVANEL_WINE_X_IMAGE=self.ntfs))
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        for name, data in NTFS_DELETED.items():
            with open(os.path.join(target, name), "rb") as f:
                self.assertEqual(f.read(), data, name)


if __name__ == "__main__":
    CLI = sys.argv.pop(1)
    if len(sys.argv) >= 3:
        WINE = (sys.argv.pop(1), sys.argv.pop(1))
    unittest.main(verbosity=2)

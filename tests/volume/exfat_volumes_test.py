"""exFAT volumes made by mkfs.exfat (4 KiB and 128 KiB clusters on 512-byte
sectors, 32 KiB clusters on 4096-byte sectors) and written
through exfat-fuse, read by the exFAT reading layer (exfat_listing) and held
against The Sleuth Kit: every deleted entry set's name, folder, size and
first cluster against `fls -rd` and `istat`, no-FAT-chain as written; the
boot region's checksum and its backup.

Usage: exfat_volumes_test.py EXFAT_LISTING"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from volume_images import Mount, run, write  # noqa: E402

LISTING = sys.argv[1]
FAILURES = []


def check(condition, what):
    if not condition:
        FAILURES.append(what)
        print("FAIL:", what)


def listing(image, *args):
    out = subprocess.run([LISTING, image, *args], stdout=subprocess.PIPE, check=False).stdout.decode()
    return [json.loads(line) for line in out.splitlines()]


class LoopMount:
    """exfat-fuse wants a block device: the image behind a loop device,
    mounted in the foreground (-d) and waited for after umount."""

    def __init__(self, image, directory, sector=512):
        self.image, self.directory, self.sector = image, directory, sector

    def __enter__(self):
        self.loop = run("losetup", "-b", str(self.sector), "-f", "--show", self.image).stdout.decode().strip()
        # A zone west of UTC with a half hour: exfat-fuse writes local times
        # and their offset, which the reader must take back to UTC.
        self.mount = Mount(["env", "TZ=America/St_Johns", "mount.exfat-fuse", "-d", self.loop, self.directory],
                           self.directory)
        return self.mount.__enter__()

    def __exit__(self, *exc):
        try:
            self.mount.__exit__(*exc)
        finally:
            run("losetup", "-d", self.loop)


def make_volume(work, cluster, sector):
    image = os.path.join(work, "exfat-%s-%d.img" % (cluster, sector))
    with open(image, "wb") as f:
        f.truncate(64 << 20)
    # mkfs.exfat takes the sector size from the device it formats.
    loop = run("losetup", "-b", str(sector), "-f", "--show", image).stdout.decode().strip()
    try:
        run("mkfs.exfat", "-c", cluster, loop)
    finally:
        run("losetup", "-d", loop)
    mnt = os.path.join(work, "mnt")
    names = {}
    with LoopMount(image, mnt, sector):
        write(os.path.join(mnt, "kept.txt"), b"kept")
        write(os.path.join(mnt, "root-deleted.txt"), b"r" * 5000)
        write(os.path.join(mnt, "empty.dat"), b"")
        long_name = "Ein sehr langer Name über fünfzehn Zeichen — 中文名字.txt"
        write(os.path.join(mnt, long_name), b"long" * 3000)
        write(os.path.join(mnt, "folder", "inside.txt"), b"i" * 10000)
        write(os.path.join(mnt, "folder", "stays.txt"), b"s")
        write(os.path.join(mnt, "doomed", "a.txt"), b"a" * 100)
        write(os.path.join(mnt, "doomed", "deeper", "b.txt"), b"b" * 200000)
        # Two files grown in turns: each is cut into pieces by the other.
        with open(os.path.join(mnt, "frag-a.bin"), "wb") as fa, open(os.path.join(mnt, "frag-b.bin"), "wb") as fb:
            for _ in range(6):
                for f in (fa, fb):
                    f.write(os.urandom(300000))
                    f.flush()
                    os.fsync(f.fileno())
        write(os.path.join(mnt, "contiguous.bin"), os.urandom(700000))
        # 2024-05-01 12:34:57.78 UTC: exfat-fuse keeps the odd second in the
        # 10 ms field (100) and drops the fraction.
        os.utime(os.path.join(mnt, "root-deleted.txt"), ns=(1714566897_780000000, 1714566897_780000000))
        for name in ("root-deleted.txt", "empty.dat", long_name, "folder/inside.txt", "frag-a.bin",
                     "contiguous.bin"):
            os.remove(os.path.join(mnt, name))
        shutil.rmtree(os.path.join(mnt, "doomed"))
        names["fragmented"] = "frag-a.bin"
        names["contiguous"] = "contiguous.bin"
    return image, names


def fls_deleted(image):
    """Deleted names by folder path, from fls -rd -p: path -> inode. fls also
    lists as $OrphanFiles whatever 32 bytes anywhere in unallocated clusters
    look like a deleted entry (here: in the random bytes of deleted files,
    nameless and empty); outside every folder, those are no walk's."""
    out = run("fls", "-rdp", image).stdout.decode()
    found = {}
    for line in out.splitlines():
        m = re.match(r"^(\S+) \* (\d+)(?:\(realloc\))?:\t(.*)$", line)
        if m and not m.group(1).startswith("v") and not m.group(3).startswith("$OrphanFiles/"):
            found[m.group(3)] = int(m.group(2))
    return found


def istat(image, inode):
    out = run("istat", image, str(inode)).stdout.decode()
    size = int(re.search(r"^Size: (\d+)", out, re.M).group(1))
    sectors = [int(s) for s in re.findall(r"\d+", out.split("Sectors:")[1])] if "Sectors:" in out else []
    return size, sectors


def compare_with_tsk(image, names):
    lines = listing(image)
    facts, sets, end = lines[0], lines[1:-1], lines[-1]
    check(end["walked"] and end["damagedDirectories"] == 0, image + ": walk " + json.dumps(end))
    check(not facts["fromBackup"] and facts["bitmap"] and facts["upcase"] == 0, image + ": facts " + json.dumps(facts))
    check(all(s["problem"] == 0 and s["nameHashOk"] for s in sets), image + ": a set read as damaged")
    deleted = {(s["path"] + "/" if s["path"] else "") + s["name"]: s for s in sets
               if s["deleted"] or s["inDeletedFolder"]}
    tsk = fls_deleted(image)
    check(set(deleted) == set(tsk), image + ": names %s != fls %s" % (sorted(deleted), sorted(tsk)))
    per_cluster = facts["sectorsPerCluster"]
    for path, inode in tsk.items():
        s = deleted.get(path)
        if not s:
            continue
        check(s["inode"] == inode, "%s %s: entry number %d != fls %d" % (image, path, s["inode"], inode))
        size, sectors = istat(image, inode)
        if not s["directory"]:
            check(s["size"] == size, "%s %s: size %d != istat %d" % (image, path, s["size"], size))
        if s["firstCluster"] and sectors:
            first = facts["clusterHeapOffset"] + (s["firstCluster"] - 2) * per_cluster
            check(first == sectors[0], "%s %s: first sector %d != istat %d" % (image, path, first, sectors[0]))
    check(not deleted[names["fragmented"]]["noFatChain"], image + ": the fragmented file has no FAT chain")
    check(deleted[names["contiguous"]]["noFatChain"], image + ": the contiguous file has a FAT chain")
    times = deleted["root-deleted.txt"]
    check(times["modified"] == "2024-05-01T12:34:57.00Z" and times["modifiedUtc"], image + ": times " + json.dumps(times))
    check(deleted["empty.dat"]["size"] == 0 and deleted["empty.dat"]["firstCluster"] == 0, image + ": empty file")
    live = listing(image, "--find", "FOLDER/Stays.TXT")
    check(live and live[0].get("name") == "stays.txt", image + ": find " + json.dumps(live))
    return facts


def check_backup(image, facts):
    # A byte of the main region's boot code changed: the backup is read, and said.
    damaged = image + ".damaged"
    shutil.copy(image, damaged)
    with open(damaged, "r+b") as f:
        f.seek(facts["bytesPerSector"] * 2 + 100)
        byte = f.read(1)
        f.seek(-1, 1)
        f.write(bytes([byte[0] ^ 0x01]))
    lines = listing(damaged)
    check(lines[0].get("fromBackup") is True and lines[0].get("mainProblem") == 4,
          image + ": backup not taken: " + json.dumps(lines[0]))
    check(len(lines) == len(listing(image)), image + ": the backup's walk differs")
    # Both regions damaged: no exFAT.
    with open(damaged, "r+b") as f:
        f.seek(facts["bytesPerSector"] * 14 + 100)
        byte = f.read(1)
        f.seek(-1, 1)
        f.write(bytes([byte[0] ^ 0x01]))
    check(listing(damaged)[0].get("error") == 11, image + ": both regions damaged yet read")


def main():
    for tool in ("mkfs.exfat", "mount.exfat-fuse", "fls", "losetup"):
        if not shutil.which(tool):
            print("SKIPPED: no", tool)
            return 0
    work = tempfile.mkdtemp(prefix="corvanel-exfat-")
    try:
        for cluster, sector in (("4K", 512), ("128K", 512), ("32K", 4096)):
            image, names = make_volume(work, cluster, sector)
            facts = compare_with_tsk(image, names)
            check(facts["bytesPerSector"] == sector, image + ": sector size " + json.dumps(facts))
            check_backup(image, facts)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("exfat volumes:", "FAILED" if FAILURES else "ok")
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())

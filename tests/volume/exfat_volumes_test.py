"""exFAT volumes made by mkfs.exfat (4 KiB and 128 KiB clusters on 512-byte
sectors, 32 KiB clusters on 4096-byte sectors) and written
through exfat-fuse, read by the exFAT reading layer (exfat_listing) and held
against The Sleuth Kit: every deleted entry set's name, folder, size and
first cluster against `fls -rd` and `istat`, no-FAT-chain as written; the
boot region's checksum and its backup. On every volume corvanel-cli's
info, scan and recover too: names, paths, sizes and entry numbers against
`fls -rd`, contents against the originals and `icat`; a set deleted by hand
(its FAT chain kept), a damaged set and a valid data length short of the
data length in hand-made bytes.

Usage: exfat_volumes_test.py EXFAT_LISTING CORVANEL_CLI"""
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
CLI = sys.argv[2]
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
    kept = {}  # the deleted files' bytes, by path
    with LoopMount(image, mnt, sector):
        write(os.path.join(mnt, "kept.txt"), b"kept")
        kept["root-deleted.txt"] = b"r" * 5000
        write(os.path.join(mnt, "root-deleted.txt"), kept["root-deleted.txt"])
        write(os.path.join(mnt, "empty.dat"), b"")
        long_name = "Ein sehr langer Name über fünfzehn Zeichen — 中文名字.txt"
        write(os.path.join(mnt, long_name), b"long" * 3000)
        write(os.path.join(mnt, "folder", "inside.txt"), b"i" * 10000)
        write(os.path.join(mnt, "folder", "stays.txt"), b"s")
        write(os.path.join(mnt, "doomed", "a.txt"), b"a" * 100)
        write(os.path.join(mnt, "doomed", "deeper", "b.txt"), b"b" * 200000)
        kept.update({long_name: b"long" * 3000, "folder/inside.txt": b"i" * 10000, "doomed/a.txt": b"a" * 100,
                     "doomed/deeper/b.txt": b"b" * 200000, "empty.dat": b"", "frag-a.bin": b"", "frag-b.bin": b""})
        # Two files grown in turns: each is cut into pieces by the other.
        with open(os.path.join(mnt, "frag-a.bin"), "wb") as fa, open(os.path.join(mnt, "frag-b.bin"), "wb") as fb:
            for _ in range(6):
                for f, name in ((fa, "frag-a.bin"), (fb, "frag-b.bin")):
                    piece = os.urandom(300000)
                    kept[name] += piece
                    f.write(piece)
                    f.flush()
                    os.fsync(f.fileno())
        kept["contiguous.bin"] = os.urandom(700000)
        write(os.path.join(mnt, "contiguous.bin"), kept["contiguous.bin"])
        # 2024-05-01 12:34:57.78 UTC: exfat-fuse keeps the odd second in the
        # 10 ms field (100) and drops the fraction.
        os.utime(os.path.join(mnt, "root-deleted.txt"), ns=(1714566897_780000000, 1714566897_780000000))
        for name in ("root-deleted.txt", "empty.dat", long_name, "folder/inside.txt", "frag-a.bin",
                     "contiguous.bin"):
            os.remove(os.path.join(mnt, name))
        shutil.rmtree(os.path.join(mnt, "doomed"))
        names["fragmented"] = "frag-a.bin"
        names["contiguous"] = "contiguous.bin"
        names["kept"] = kept
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


def cli(*args, status=0):
    result = subprocess.run([CLI, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False)
    check(status is None or result.returncode == status, "%s: exit %d: %s" % (" ".join(args), result.returncode, result.stderr.decode()))
    return [json.loads(line) for line in result.stdout.decode().splitlines() if line.startswith("{")]


def recovered(image, work, name):
    """corvanel-cli recover --all --keep-paths: {path: (status, bytes)}."""
    out = os.path.join(work, os.path.basename(image) + "-" + name)
    lines = cli("recover", image, "--to", out, "--all", "--keep-paths", "--json", "--yes", status=None)
    files = {}
    for line in lines[:-1]:
        if line["status"] == "skipped":
            continue
        with open(line["path"], "rb") as f:
            files[os.path.relpath(line["path"], out)] = (line["status"], f.read())
    return files


def check_cli(image, names, work):
    """info, scan and recover on the volume as exfat-fuse left it."""
    with open(image, "rb") as f:
        boot = f.read(512)
    serial = int.from_bytes(boot[0x64:0x68], "little")
    info = cli("info", image, "--json")[0]
    check(info["fs"] == "exfat" and info["serial"] == "%04X-%04X" % (serial >> 16, serial & 0xFFFF) and
          info["clusterBytes"] == (1 << boot[0x6C]) << boot[0x6D], image + ": info " + json.dumps(info))
    scanned = {(s["path"] + "/" if s["path"] else "") + s["name"]: s for s in cli("scan", image, "--json")}
    tsk = {path: inode for path, inode in fls_deleted(image).items() if not path.startswith(("doomed", "doomed/deeper"))
           or path.endswith(".txt")}
    check({p: s["inode"] for p, s in scanned.items()} == tsk,
          image + ": scan %s != fls %s" % (sorted((p, s["inode"]) for p, s in scanned.items()), sorted(tsk.items())))
    check(all(s["fs"] == "exfat" and (s["free"] == 100 or p == names["fragmented"]) and "damaged" not in s
              for p, s in scanned.items()),
          image + ": " + json.dumps(list(scanned.values())))
    check(scanned["root-deleted.txt"]["modified"] == "2024-05-01T12:34:57.00Z", image + ": scan's times")
    files = recovered(image, work, "out")
    kept = names["kept"]
    # The modified time as the entry kept it, with its zone's offset: UTC.
    mtime = os.stat(os.path.join(work, os.path.basename(image) + "-out", "root-deleted.txt")).st_mtime
    check(mtime == 1714566897, image + ": recovered root-deleted.txt modified at %s" % mtime)
    check(set(files) == set(kept) - {"frag-b.bin"}, image + ": recovered %s" % sorted(files))
    for path, (status, data) in files.items():
        if path == names["fragmented"]:
            # Its chain was freed with it: its clusters are guessed, and it says so.
            check(status == "partial" and len(data) == len(kept[path]), image + ": " + path + " " + status)
            continue
        check(status == "whole" and data == kept[path], image + ": " + path + " differs from the original")
        inode = scanned[path]["inode"]
        icat = run("icat", image, str(inode)).stdout
        check(data == icat, image + ": " + path + " differs from icat's")


def entry_set_checksum(entries):
    total = 0
    for i, byte in enumerate(entries):
        if i in (2, 3):
            continue
        if i % 32 == 0:
            byte |= 0x80
        total = (((total & 1) << 15) | (total >> 1)) + byte & 0xFFFF
    return total


def check_hand_made(image, names, work):
    """Sets changed by hand: frag-b.bin deleted with its FAT chain left
    (recovered along it), root-deleted.txt's name damaged (listed as damaged,
    recovered as possibly partial), contiguous.bin's valid data length cut to
    1000 bytes (zeros past it), b.txt's length run off the volume (read up to
    the heap's end, partial), and the live folder "folder" deleted with its
    cluster freed (its live file listed and recovered)."""
    changed = image + ".hand"
    shutil.copy(image, changed)
    sets = {(s["path"] + "/" if s["path"] else "") + s["name"]: s for s in listing(image)[1:-1]}
    with open(changed, "r+b") as f:
        def entries(path):
            f.seek(sets[path]["offset"])
            return bytearray(f.read(32 * sets[path]["entries"]))

        def put(path, data, fix=True):
            if fix:
                data[2:4] = entry_set_checksum(data).to_bytes(2, "little")
            f.seek(sets[path]["offset"])
            f.write(data)

        frag = entries("frag-b.bin")
        put("frag-b.bin", bytearray(b & 0x7F if i % 32 == 0 else b for i, b in enumerate(frag)), fix=False)
        damaged = entries("root-deleted.txt")
        damaged[64 + 2] ^= 0x01
        put("root-deleted.txt", damaged, fix=False)
        short = entries("contiguous.bin")
        short[32 + 8:32 + 16] = (1000).to_bytes(8, "little")
        put("contiguous.bin", short)
        huge = entries("doomed/deeper/b.txt")
        huge[32 + 8:32 + 16] = huge[32 + 24:32 + 32] = (1 << 40).to_bytes(8, "little")
        put("doomed/deeper/b.txt", huge)
        folder = entries("folder")
        put("folder", bytearray(b & 0x7F if i % 32 == 0 else b for i, b in enumerate(folder)), fix=False)
        # Its cluster's bit in the allocation bitmap (the root's 0x81 entry) cleared.
        f.seek(0)
        boot = f.read(512)
        heap, shift, root = (int.from_bytes(boot[0x58:0x5C], "little"), boot[0x6D],
                             int.from_bytes(boot[0x60:0x64], "little"))
        cluster_at = lambda n: (heap + ((n - 2) << shift)) * 512
        f.seek(cluster_at(root))
        directory = f.read(512 << shift)
        bitmap = next(int.from_bytes(directory[at + 20:at + 24], "little")
                      for at in range(0, len(directory), 32) if directory[at] == 0x81)
        bit = int.from_bytes(folder[32 + 20:32 + 24], "little") - 2
        f.seek(cluster_at(bitmap) + bit // 8)
        byte = f.read(1)[0]
        f.seek(-1, 1)
        f.write(bytes([byte & ~(1 << bit % 8)]))
    scanned = {(s["path"] + "/" if s["path"] else "") + s["name"]: s for s in cli("scan", changed, "--json")}
    check(not scanned["frag-b.bin"]["contiguous"], changed + ": frag-b.bin " + json.dumps(scanned.get("frag-b.bin")))
    check(scanned.get("soot-deleted.txt", {}).get("damaged") is True and
          all("damaged" not in s for p, s in scanned.items() if p not in ("soot-deleted.txt", "doomed/deeper/b.txt")),
          changed + ": damaged set " + json.dumps(list(scanned.values())))
    files = recovered(changed, work, "out-hand")
    kept = names["kept"]
    # Its clusters are still marked in use: the bitmap was left as it was.
    frag = files.get("frag-b.bin", ("", b""))
    check(frag == ("reused-clusters", kept["frag-b.bin"]), changed + ": frag-b.bin not along its chain: " + frag[0])
    check(files.get("soot-deleted.txt", ("",))[0] == "partial", changed + ": the damaged set recovered as whole")
    check(files.get("contiguous.bin") == ("whole", kept["contiguous.bin"][:1000] + bytes(699000)),
          changed + ": contiguous.bin past its valid data length")
    huge = files.get("doomed/deeper/b.txt", ("", b""))
    check(huge[0] == "partial" and huge[1].startswith(kept["doomed/deeper/b.txt"]) and len(huge[1]) < 64 << 20,
          changed + ": b.txt past the volume: %s %d" % (huge[0], len(huge[1])))
    # Its own cluster is still marked in use.
    check(files.get("folder/stays.txt") == ("reused-clusters", b"s"), changed + ": the live file of a folder deleted by hand")


def main():
    for tool in ("mkfs.exfat", "mount.exfat-fuse", "fls", "icat", "losetup"):
        if not shutil.which(tool):
            print("SKIPPED: no", tool)
            return 0
    work = tempfile.mkdtemp(prefix="corvanel-exfat-")
    try:
        for cluster, sector in (("4K", 512), ("128K", 512), ("32K", 4096), ("32K", 512)):
            image, names = make_volume(work, cluster, sector)
            check_cli(image, names, work)
            if cluster == "4K":
                check_hand_made(image, names, work)
            if cluster == "32K" and sector == 512:
                continue  # the reading layer's checks are the 4K volume's
            facts = compare_with_tsk(image, names)
            check(facts["bytesPerSector"] == sector, image + ": sector size " + json.dumps(facts))
            check_backup(image, facts)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print("exfat volumes:", "FAILED" if FAILURES else "ok")
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())

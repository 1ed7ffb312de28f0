#!/usr/bin/python3
"""Whole-disk images: partition tables written by sfdisk (MBR with a logical
partition; GPT), holding an NTFS and a FAT32 volume with deleted files.

- `info DISK` lists the partitions mmls and sfdisk --json list (the extended
  container aside), numbered as sfdisk names them;
- scan and recover through `--partition N` and `DISK@OFFSET` give what they
  give on the same partitions cut out of the disk with dd;
- a damaged primary GPT header gives way to the backup;
- a whole disk opens its one NTFS or FAT32 partition with a notice, and
  several, or a malformed table, are refused in one line.

usage: whole_disks_test.py CLI
"""
import filecmp
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from volume_images import ENV, run, ntfs_mount, make_ntfs, make_fat32, write  # noqa: E402

CLI = None
NTFS_START, NTFS_SECTORS = 2048, 32768
FAT_START_MBR, FAT_START_GPT, FAT_SECTORS = 38912, 36864, 69632
BASIC_DATA = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"


def cli(*args, check=True):
    result = subprocess.run([CLI, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV, timeout=60)
    if check and result.returncode != 0:
        raise AssertionError(f"corvanel-cli {' '.join(args)}: {result.returncode}\n{result.stderr.decode()}")
    return result


def place(disk, image, start):
    run("dd", f"if={image}", f"of={disk}", "bs=512", f"seek={start}", "conv=notrunc,sparse", "status=none")


def cut(disk, start, sectors, path):
    run("dd", f"if={disk}", f"of={path}", "bs=512", f"skip={start}", f"count={sectors}", "status=none")
    return path


def sfdisk_partitions(disk):
    """(number, start, size) of each partition sfdisk lists, extended containers aside."""
    table = json.loads(run("sfdisk", "--json", disk).stdout)["partitiontable"]
    return [(int(p["node"][len(disk):]), p["start"], p["size"]) for p in table["partitions"]
            if p["type"] not in ("5", "f", "85")]


def mmls_partitions(disk):
    """(start, length) of each allocated partition mmls lists, extended containers aside."""
    found = []
    for line in run("mmls", disk).stdout.decode().splitlines():
        fields = re.match(r"\d+:\s+(\S+)\s+(\d+)\s+(\d+)\s+(\d+)\s*(.*)", line)
        if fields and fields[1] not in ("Meta", "-------") and "Extended" not in fields[5]:
            found.append((int(fields[2]), int(fields[4])))
    return found


class WholeDisks(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="corvanel-disks-")
        w = cls.work
        ntfs = make_ntfs(os.path.join(w, "ntfs.img"), NTFS_SECTORS >> 11)
        with ntfs_mount(ntfs, os.path.join(w, "mnt")) as root:
            write(f"{root}/kept.txt", b"kept\n")
            write(f"{root}/small.txt", b"a resident file\n")
            write(f"{root}/dir/big.bin", os.urandom(70000))
            os.remove(f"{root}/small.txt")
            os.remove(f"{root}/dir/big.bin")
        fat = make_fat32(os.path.join(w, "fat.img"), FAT_SECTORS // 2)
        write(f"{w}/gone.txt", b"gone from FAT32\n")
        write(f"{w}/photo.jpg", os.urandom(9000))
        run("mcopy", "-i", fat, f"{w}/gone.txt", f"{w}/photo.jpg", "::/")
        run("mdel", "-i", fat, "::/gone.txt", "::/photo.jpg")
        cls.mbr, cls.gpt = os.path.join(w, "mbr.disk"), os.path.join(w, "gpt.disk")
        for disk, script, fat_start in (
                (cls.mbr, f"label: dos\nstart={NTFS_START}, size={NTFS_SECTORS}, type=7\n"
                          f"start=36864, type=5\nstart={FAT_START_MBR}, size={FAT_SECTORS}, type=c\n", FAT_START_MBR),
                (cls.gpt, f"label: gpt\nstart={NTFS_START}, size={NTFS_SECTORS}, type={BASIC_DATA}\n"
                          f"start={FAT_START_GPT}, size={FAT_SECTORS}, type={BASIC_DATA}\n", FAT_START_GPT)):
            with open(disk, "wb") as f:
                f.truncate(60 << 20)
            run("sfdisk", "-q", disk, input=script.encode())
            place(disk, ntfs, NTFS_START)
            place(disk, fat, fat_start)
        # The partitions as dd cuts them out of the disk, the reference for every command.
        cls.cut_ntfs = cut(cls.mbr, NTFS_START, NTFS_SECTORS, os.path.join(w, "cut-ntfs.img"))
        cls.cut_fat = cut(cls.gpt, FAT_START_GPT, FAT_SECTORS, os.path.join(w, "cut-fat.img"))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def info(self, disk):
        return json.loads(cli("info", "--json", disk).stdout)

    def test_info_lists_what_mmls_lists(self):
        for disk, numbers, fat_start in ((self.mbr, [1, 5], FAT_START_MBR), (self.gpt, [1, 2], FAT_START_GPT)):
            with self.subTest(disk=os.path.basename(disk)):
                info = self.info(disk)
                listed = [(p["start"], p["sectors"]) for p in info["partitions"]]
                self.assertEqual(listed, mmls_partitions(disk))
                self.assertEqual([(p["number"], p["start"], p["sectors"]) for p in info["partitions"]],
                                 sfdisk_partitions(disk))
                self.assertEqual([p["number"] for p in info["partitions"]], numbers)
                self.assertEqual([p["fs"] for p in info["partitions"]], ["ntfs", "fat32"])
                self.assertEqual(listed, [(NTFS_START, NTFS_SECTORS), (fat_start, FAT_SECTORS)])
        text = cli("info", self.mbr).stdout.decode()
        self.assertIn("partition table:     MBR", text)
        self.assertRegex(text, r"\n\s+5\s+38912\s+69632\s+FAT32 \(LBA\) \(0x0c\)\s+FAT32\n")

    def same_as_cut(self, cut_image, *volume):
        """info, scan and recover on a partition of a disk equal those on its cut-out copy."""
        self.assertEqual(cli("info", "--json", *volume).stdout, cli("info", "--json", cut_image).stdout)
        listing = cli("scan", "--json", *volume).stdout
        self.assertEqual(listing, cli("scan", "--json", cut_image).stdout)
        self.assertGreaterEqual(len(listing.splitlines()), 2)
        out_disk, out_cut = tempfile.mkdtemp(dir=self.work), tempfile.mkdtemp(dir=self.work)
        cli("recover", "--all", "--keep-paths", "--to", out_disk, *volume)
        cli("recover", "--all", "--keep-paths", "--to", out_cut, cut_image)
        compared = filecmp.dircmp(out_disk, out_cut)
        self.assertTrue(compared.left_list)
        self.assertEqual(compared.left_only + compared.right_only + compared.diff_files, [])
        for sub in compared.subdirs.values():
            self.assertEqual(sub.left_only + sub.right_only + sub.diff_files, [])
        if cut_image == self.cut_ntfs:  # where a file lies, in the volume's own sectors
            self.assertEqual(cli("locate", *volume, "kept.txt").stdout, cli("locate", cut_image, "kept.txt").stdout)

    def test_partitions_scan_and_recover_as_cut_out(self):
        self.same_as_cut(self.cut_ntfs, self.mbr, "--partition", "1")
        self.same_as_cut(self.cut_fat, f"{self.mbr}@{FAT_START_MBR}s")
        self.same_as_cut(self.cut_ntfs, f"{self.gpt}@{NTFS_START * 512}")
        self.same_as_cut(self.cut_fat, self.gpt, "--partition", "2")
        # dump counts sectors from the partition's start, or of a whole disk named alone, from the disk's.
        self.assertIn(b" 55 aa  |", cli("dump", self.mbr).stdout.splitlines()[-1])
        self.assertEqual(cli("dump", self.gpt, "--partition", "2", "--sector", "6").stdout,
                         cli("dump", self.cut_fat, "--sector", "6").stdout)

    def test_whole_disk_choices(self):
        several = cli("scan", self.mbr, check=False)
        self.assertEqual(several.returncode, 1)
        self.assertEqual(several.stderr.decode(),
                         f"corvanel-cli: {self.mbr} is a whole disk with several volumes; choose one with "
                         f"--partition N: 1 (NTFS, sector {NTFS_START}), 5 (FAT32, sector {FAT_START_MBR})\n")
        missing = cli("scan", self.mbr, "--partition", "3", check=False)
        self.assertEqual((missing.returncode, missing.stderr.decode().count("\n")), (1, 1))
        self.assertIn("has no partition 3", missing.stderr.decode())

        # A copy whose primary GPT header is damaged and whose FAT32 volume is
        # wiped: the backup gives the table, and the one NTFS volume opens.
        damaged = os.path.join(self.work, "damaged.disk")
        shutil.copyfile(self.gpt, damaged)
        with open(damaged, "r+b") as f:
            f.seek(512 + 0x40)  # inside the header, under its checksum
            f.write(b"\xff")
            f.seek(FAT_START_GPT * 512)
            f.write(bytes(512))
        info = cli("info", "--json", damaged)
        self.assertEqual(json.loads(info.stdout)["partitions"], self.info(self.gpt)["partitions"][:1] +
                         [dict(self.info(self.gpt)["partitions"][1], fs=None)])
        self.assertIn("the primary GPT is damaged (its header's checksum does not match); its backup is used",
                      info.stderr.decode())
        one = cli("scan", "--json", damaged)
        self.assertEqual(one.stdout, cli("scan", "--json", self.cut_ntfs).stdout)
        self.assertIn(f"is a whole disk; opening its partition 1 (NTFS, sector {NTFS_START})", one.stderr.decode())

        # Two partitions over the same sectors: refused, in one line.
        overlapping = os.path.join(self.work, "overlap.disk")
        shutil.copyfile(self.mbr, overlapping)
        with open(overlapping, "r+b") as f:
            f.seek(446 + 16 + 8)  # the extended partition now starts inside partition 1
            f.write((NTFS_START + 8).to_bytes(4, "little"))
        refused = cli("scan", overlapping, check=False)
        self.assertEqual(refused.returncode, 1)
        self.assertEqual(refused.stderr.decode(), f"corvanel-cli: {overlapping}: malformed partition table: "
                         "partitions 1 and 2 overlap (DISK@OFFSET opens a partition regardless)\n")
        # ... which the offset still opens.
        self.assertEqual(cli("scan", "--json", f"{overlapping}@{NTFS_START}s").stdout,
                         cli("scan", "--json", self.cut_ntfs).stdout)


if __name__ == "__main__":
    CLI = os.path.abspath(sys.argv.pop(1))
    unittest.main()

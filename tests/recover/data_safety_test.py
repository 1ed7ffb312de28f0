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
  - a write that fails leaves no partial file and says why, and no scratch
    file where the destination has no unnamed files (FUSE);
  - a file that does not fit, or finds a folder where its name goes, is
    skipped with its reason and the run goes on;
  - files of one run named alike (the same name in two folders, FAT names
    whose first letter is gone, equal Recover_<size> names) never replace
    each other: the later is numbered; a file that was there before is
    replaced only after Yes, and skipped where no one can answer; letter
    case tells names apart only where the destination does.

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
from volume_images import ENV, Mount, run, ntfs_mount, make_ntfs, make_fat32, write, read  # noqa: E402

CLI = None
LONG_NAME = "长" * 250 + ".txt"  # 254 UTF-16 units, 754 bytes of UTF-8


def scan(image):
    result = run(CLI, "scan", image, "--json")
    return [json.loads(line) for line in result.stdout.decode().splitlines()]


def recover(image, *args, shell_prefix=None):
    command = [CLI, "recover", image, *args]
    if shell_prefix:
        command = ["bash", "-c", shell_prefix + ' exec "$@"', "recover", *command]
    return subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)


def json_lines(result):
    *files, summary = [json.loads(line) for line in result.stdout.decode().splitlines()]
    return files, summary


def contents(folder):
    """name -> bytes of every file in a folder."""
    return {name: read(os.path.join(folder, name)) for name in os.listdir(folder)}


class WorkFolder(unittest.TestCase):
    """cls.work, removed at the end; out(name) a fresh folder in it."""

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work)

    def out(self, name):
        path = os.path.join(self.work, name)
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
        return path


class RecoverySafetyTest(WorkFolder):
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

    def test_a_file_that_does_not_fit_is_skipped_and_the_run_goes_on(self):
        out = self.out("small-disk")
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", out]).returncode != 0:
            self.skipTest("cannot mount a tmpfs here")
        try:
            # huge.bin (6 MiB) comes first in the scan, small.txt after it.
            result = recover(self.image, "--to", out, "--index", str(self.index["huge.bin"]),
                             str(self.index["small.txt"]), "--json")
            names = sorted(os.listdir(out))
        finally:
            subprocess.run(["umount", out], check=True)
        self.assertEqual(result.returncode, 1, result.stderr.decode())
        self.assertEqual(names, ["small.txt"])
        files, summary = json_lines(result)
        status = {line["name"]: line for line in files}
        self.assertEqual(status["huge.bin"]["status"], "skipped")
        self.assertIn("too little space", status["huge.bin"]["message"])
        self.assertEqual(status["small.txt"]["status"], "whole")
        self.assertEqual((summary["summary"], summary["files"], summary["skipped"], summary["skippedFor"]),
                         ("incomplete", 1, 1, {"no space": 1}))

    def test_a_folder_where_a_file_goes_skips_that_file_only(self):
        out = self.out("folder-in-the-way")
        os.mkdir(f"{out}/small.txt")
        result = recover(self.image, "--to", out, "--all", "--yes")
        self.assertEqual(result.returncode, 1, result.stderr.decode())
        self.assertIn(b"small.txt: the system refused it (Is a directory); it was not written", result.stderr)
        self.assertRegex(result.stdout, rb"\d+ files recovered .*; 1 skipped \(1 refused by the system\)")
        self.assertTrue(os.path.isdir(f"{out}/small.txt"))
        for name in ["big.bin", "huge.bin"]:
            self.assertEqual(read(f"{out}/{name}"), self.deleted[name])
        result = recover(self.image, "--to", out, "--index", str(self.index["small.txt"]), "--json", "--yes")
        (line,), summary = json_lines(result)
        self.assertEqual((line["status"], line["bytes"], summary["skipped"]), ("skipped", 0, 1))

    def test_a_failed_write_leaves_no_partial_file(self):
        out = self.out("limit")
        result = recover(self.image, "--to", out, "--index", str(self.index["big.bin"]),
                         shell_prefix="trap '' XFSZ; ulimit -f 50;")
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"System Error:File too large", result.stderr)
        self.assertEqual(os.listdir(out), [])
        # Among others, read ahead while earlier ones are written: the files too
        # large leave nothing, those before and after them come back whole.
        out = self.out("limit-all")
        result = recover(self.image, "--to", out, "--all", "--json", shell_prefix="trap '' XFSZ; ulimit -f 50;")
        self.assertEqual(result.returncode, 1)
        files, _ = json_lines(result)
        failed = sorted(line["name"] for line in files if line["status"] == "skipped")
        self.assertEqual(failed, ["big.bin", "huge.bin"])
        self.assertEqual(sorted(contents(out).values()),
                         sorted(data for name, data in self.deleted.items() if name not in failed))


    def test_where_the_destination_has_no_unnamed_files_too(self):
        # ntfs-3g refuses O_TMPFILE: files are staged under scratch names there.
        victim = os.path.join(self.work, "fuse-victim.txt")
        write(victim, b"keep me\n")
        image = make_ntfs(os.path.join(self.work, "fuse-destination.img"), 16)
        with ntfs_mount(image, os.path.join(self.work, "fuse")) as out:
            os.symlink(victim, f"{out}/small.txt")
            result = recover(self.image, "--to", out, "--index", str(self.index["small.txt"]), "--yes")
            self.assertEqual(result.returncode, 0, result.stderr.decode())
            self.assertFalse(os.path.islink(f"{out}/small.txt"))
            self.assertEqual(read(f"{out}/small.txt"), self.deleted["small.txt"])
            os.remove(f"{out}/small.txt")
            result = recover(self.image, "--to", out, "--index", str(self.index["big.bin"]),
                             shell_prefix="trap '' XFSZ; ulimit -f 50;")
            self.assertEqual(result.returncode, 1)
            self.assertIn(b"System Error:File too large", result.stderr)
            self.assertEqual(os.listdir(out), [])
        self.assertEqual(read(victim), b"keep me\n")


class SameNamesTest(WorkFolder):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp()
        cls.ntfs = make_ntfs(os.path.join(cls.work, "n.img"), 16)
        cls.deleted = {"d1/same.txt": b"the first\n", "d2/same.txt": b"the second one\n",
                       "A.txt": b"upper\n", "a.txt": b"lower\n",
                       # names too long for Linux, of one size: both Recover_3000.bin
                       "长" * 250 + ".bin": os.urandom(3000), "短" * 250 + ".bin": os.urandom(3000)}
        with ntfs_mount(cls.ntfs, os.path.join(cls.work, "mnt")) as root:
            for name, data in cls.deleted.items():
                write(f"{root}/{name}", data)
            for name in cls.deleted:
                os.remove(f"{root}/{name}")
        # FAT: FOO.TXT and BOO.TXT, deleted, both read ?OO.TXT.
        cls.fat = make_fat32(os.path.join(cls.work, "f.img"))
        cls.fat_files = {"FOO.TXT": b"foo\n" * 300, "BOO.TXT": b"boo\n" * 50}
        for name, data in cls.fat_files.items():
            write(os.path.join(cls.work, name), data)
            run("mcopy", "-i", cls.fat, os.path.join(cls.work, name), "::" + name)
        run("mdel", "-i", cls.fat, "::FOO.TXT", "::BOO.TXT")

    def test_files_of_one_run_named_alike_get_distinct_names(self):
        out = self.out("alike")
        result = recover(self.ntfs, "--to", out, "--all", "--yes", "--json")
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        self.assertNotIn(b"[y/N]", result.stderr)  # nothing was there before: nothing to ask
        files, summary = json_lines(result)
        got = contents(out)
        self.assertEqual(len(files), 6)
        self.assertEqual(summary["files"], len(got))
        self.assertEqual(sorted(line["path"] for line in files), sorted(os.path.join(out, name) for name in got))
        # This folder keeps A.txt and a.txt apart; same.txt, Recover_3000.bin come twice.
        self.assertEqual(sorted(got), ["A.txt", "Recover_3000 (2).bin", "Recover_3000.bin", "a.txt", "same (2).txt",
                                       "same.txt"])
        self.assertEqual(sorted(got.values()), sorted(self.deleted.values()))
        numbered = [line for line in files if " (2)" in line["path"]]
        self.assertEqual(sorted(line["message"] for line in numbered),
                         ["the name Recover_3000.bin was taken by an earlier file",
                          "the name same.txt was taken by an earlier file"])
        self.assertEqual({line["status"] for line in numbered}, {"renamed"})

    def test_fat_names_whose_first_letter_is_gone(self):
        out = self.out("fat")
        result = recover(self.fat, "--to", out, "--all")
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        got = contents(out)
        first, second = sorted(got, key=len)
        self.assertTrue(first.endswith("OO.TXT"), first)
        self.assertEqual(second, first[:-4] + " (2).TXT")
        self.assertEqual(sorted(got.values()), sorted(self.fat_files.values()))
        self.assertIn(f"recovered {out}/{second}".encode(), result.stdout)
        self.assertIn(f"the name {first} was taken by an earlier file".encode(), result.stderr)

    def test_letter_case_clashes_where_the_destination_folds_it(self):
        # NTFS through lowntfs-3g's ignore_case: names are compared as Windows does.
        folder = self.out("folded")
        image = make_ntfs(os.path.join(self.work, "destination.img"), 8)
        # A.TXT was there before: A.txt replaces it after Yes, a.txt is numbered.
        with Mount(["lowntfs-3g", "-o", "no_detach,ignore_case", image, folder], folder) as out:
            write(f"{out}/A.TXT", b"mine\n")
            result = recover(self.ntfs, "--to", out, "--all", "--yes")
            got = contents(out)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        self.assertEqual(result.stderr.count(b"[y/N] yes"), 1, result.stderr.decode())
        self.assertEqual(len(got), 6, sorted(got))
        self.assertEqual(sorted(got.values()), sorted(self.deleted.values()))
        self.assertEqual(len([name for name in got if name.lower() in ("a.txt", "a (2).txt")]), 2, sorted(got))
        # A.txt alone, where a.txt is: the same name here, so it is asked for.
        upper = next(entry["index"] for entry in scan(self.ntfs) if entry["name"] == "A.txt")
        with Mount(["lowntfs-3g", "-o", "no_detach,ignore_case", image, folder], folder) as out:
            for name in os.listdir(out):
                os.remove(f"{out}/{name}")
            write(f"{out}/a.txt", b"mine\n")
            result = recover(self.ntfs, "--to", out, "--index", str(upper), "--yes")
            got = contents(out)
        self.assertEqual(result.stderr.count(b"[y/N] yes"), 1, result.stderr.decode())
        self.assertEqual(list(got.values()), [self.deleted["A.txt"]])

    def test_a_file_there_before_is_replaced_only_after_yes(self):
        out = self.out("before")
        write(f"{out}/same.txt", b"mine\n")
        # No terminal: no answer; both same.txt are skipped, the rest come back.
        result = recover(self.ntfs, "--to", out, "--all", "--json")
        self.assertEqual(result.returncode, 1, result.stderr.decode())
        self.assertIn(b"[y/N] no (no terminal to ask)", result.stderr)
        files, summary = json_lines(result)
        self.assertEqual(read(f"{out}/same.txt"), b"mine\n")
        self.assertEqual(sorted(os.listdir(out)), ["A.txt", "Recover_3000 (2).bin", "Recover_3000.bin", "a.txt",
                                                   "same.txt"])
        skipped = [line for line in files if line["status"] == "skipped"]
        self.assertEqual([line["name"] for line in skipped], ["same.txt", "same.txt"])
        self.assertIn("no one could be asked", skipped[0]["message"])
        self.assertEqual((summary["summary"], summary["files"], summary["skippedFor"]),
                         ("incomplete", 4, {"name taken": 2}))
        # Yes: the first replaces it; the second is this run's clash, numbered.
        out = self.out("before-yes")
        write(f"{out}/same.txt", b"mine\n")
        result = recover(self.ntfs, "--to", out, "--all", "--yes")
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        self.assertEqual(result.stderr.count(b"[y/N] yes"), 1)
        self.assertEqual(sorted([read(f"{out}/same.txt"), read(f"{out}/same (2).txt")]),
                         sorted([self.deleted["d1/same.txt"], self.deleted["d2/same.txt"]]))


if __name__ == "__main__":
    CLI = sys.argv.pop(1)
    unittest.main(verbosity=2)

#!/usr/bin/python3
"""corvanel-cli's contract with scripts: exit statuses with a one-line reason,
the forms of --index, JSON lines complete for every command on real volumes,
and progress on standard error only when it is a terminal.

usage: contract_test.py CLI
"""
import json
import os
import pty
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from volume_images import ENV, make_fat32, make_ntfs, marked, ntfs_mount, run, write  # noqa: E402

CLI = None
TRY = "Try 'corvanel-cli --help'."
MANUAL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "corvanel-cli.1")


def cli(*args):
    return subprocess.run([CLI, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=ENV)


def on_terminal(*args):
    """Runs with standard error on a pseudo-terminal and standard output on a
    pipe; gives the status, the output and what the terminal was sent."""
    master, slave = pty.openpty()
    process = subprocess.Popen([CLI, *args], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=slave)
    os.close(slave)
    shown = b""
    while True:
        try:
            chunk = os.read(master, 1 << 16)
        except OSError:  # EIO once the program's end is closed
            break
        if not chunk:
            break
        shown += chunk
    out = process.stdout.read()
    process.wait()
    process.stdout.close()
    os.close(master)
    return process.returncode, out, shown


def json_lines(result):
    return [json.loads(line) for line in result.stdout.decode().splitlines()]


class ContractTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp()
        # NTFS: three deleted files, one large enough to take a while.
        cls.ntfs = make_ntfs(os.path.join(cls.work, "n.img"), 32)
        with ntfs_mount(cls.ntfs, os.path.join(cls.work, "mnt")) as root:
            for name, size in [("a.bin", 3000), ("big.bin", 6 << 20), ("c.txt", 300)]:
                write(f"{root}/{name}", marked(name, size))
            write(f"{root}/keep.bin", marked("keep", 20000))
            for name in ["a.bin", "big.bin", "c.txt"]:
                os.remove(f"{root}/{name}")
        # FAT32: two deleted files, one in a folder.
        cls.fat = make_fat32(os.path.join(cls.work, "f.img"))
        for name, size in [("one.bin", 5000), ("two.txt", 70)]:
            write(os.path.join(cls.work, name), marked(name, size))
        run("mmd", "-i", cls.fat, "::DIR")
        run("mcopy", "-i", cls.fat, os.path.join(cls.work, "one.bin"), "::one.bin")
        run("mcopy", "-i", cls.fat, os.path.join(cls.work, "two.txt"), "::DIR/two.txt")
        run("mcopy", "-i", cls.fat, os.path.join(cls.work, "two.txt"), "::keep.txt")
        run("mdel", "-i", cls.fat, "::one.bin", "::DIR/two.txt")
        cls.blank = os.path.join(cls.work, "blank.img")
        with open(cls.blank, "wb") as f:
            f.truncate(1 << 20)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work)

    def folder(self, name):
        return os.path.join(tempfile.mkdtemp(dir=self.work), name)

    def assert_one_line(self, result, status):
        lines = result.stderr.decode().splitlines()
        self.assertEqual(result.returncode, status, result.stderr.decode())
        self.assertTrue(lines and lines[0].startswith("corvanel-cli: "), lines)
        self.assertEqual(lines[1:], [TRY] if status == 2 else [])

    def test_usage_errors_exit_2_with_a_one_line_reason(self):
        cases = [
            ["frobnicate"],
            ["scan"],
            ["scan", self.ntfs, "--frobnicate"],
            ["scan", self.ntfs, "--code-page", "NO-SUCH-PAGE"],
            ["dump", self.ntfs, "--count", "0"],
            ["recover", self.ntfs, "--to", "out"],
            ["recover", self.ntfs, "--to", "out", "--index", "one"],
            ["recover", self.ntfs, "--to", "out", "--all", "--index", "1"],
            ["recover", self.ntfs, "--to", self.folder("out"), "--index", "0", "3"],  # the scan finds three
            ["encrypt", self.ntfs, "--cipher", "rot13", "--key", "0123456789abcdef"],
            ["encrypt", self.ntfs, "--key", "0123456789abcdef", "--key-file", self.ntfs],
        ]
        for args in cases:
            with self.subTest(args=args):
                self.assert_one_line(cli(*args), 2)

    def test_bad_volumes_exit_1_with_a_one_line_reason(self):
        missing = os.path.join(self.work, "missing.img")
        for volume in [missing, self.blank]:
            for args in [["info"], ["scan"], ["recover", "--to", self.folder("out"), "--all"], ["locate", "a.bin"]]:
                with self.subTest(volume=os.path.basename(volume), command=args[0]):
                    self.assert_one_line(cli(args[0], volume, *args[1:]), 1)
        self.assert_one_line(cli("dump", missing), 1)
        self.assert_one_line(cli("dump", self.blank, "--sector", "2048"), 1)  # past the end

    def test_the_manual_names_every_command_and_option_of_the_help(self):
        with open(MANUAL, encoding="utf-8") as f:
            manual = f.read().replace("\\-", "-")
        overview = cli("--help").stdout.decode()
        commands = re.findall(r"^  ([a-z]+) ", overview.split("Subcommands:")[1], re.M)
        self.assertIn("recover", commands)
        for command in [None, *commands]:
            help_text = overview if command is None else cli(command, "--help").stdout.decode()
            with self.subTest(command=command):
                if command:
                    self.assertIn(f".B corvanel-cli {command}\n", manual)
                for option in set(re.findall(r"(?<![\w-])--[a-z][a-z-]*", help_text)):
                    self.assertIn(option, manual)

    def test_index_takes_several_values_in_either_form(self):
        for args, wanted in [(["--index", "0", "2"], {0, 2}), (["--index", "0", "--index", "2"], {0, 2}),
                             (["--index", "1"], {1}), (["--all"], {0, 1, 2})]:
            with self.subTest(args=args):
                result = cli("recover", self.ntfs, "--to", self.folder("out"), *args, "--json")
                self.assertEqual(result.returncode, 0, result.stderr.decode())
                self.assertEqual({line["index"] for line in json_lines(result)[:-1]}, wanted)

    def test_json_lines_are_complete_for_every_command(self):
        keys = {
            ("info", "ntfs"): {"fs", "bytesPerSector", "sectorsPerCluster", "volumeSectors", "metadataStart"},
            ("info", "fat32"): {"fs", "bytesPerSector", "sectorsPerCluster", "volumeSectors", "metadataStart",
                                "firstDataSector"},
            ("scan", "ntfs"): {"index", "name", "path", "size", "resident", "fs", "free", "record", "created",
                               "modified", "accessed", "changed"},
            ("scan", "fat32"): {"index", "name", "path", "size", "fs", "free", "sector", "entry", "inode", "created",
                                "modified", "accessed", "localTime"},
            ("locate", "ntfs"): {"fs", "located", "record", "recordSector", "resident", "size", "runs",
                                 "extensionRecords", "streams"},
            ("locate", "fat32"): {"fs", "located", "dirSector", "entryIndex", "slotCount", "size", "entries",
                                  "clusters"},
        }
        file_keys = {"index", "name", "path", "bytes", "size", "status", "message"}
        summary_keys = {"summary", "files", "bytes", "partial", "skipped", "skippedFor", "reusedClusters", "statuses",
                        "folder", "message"}
        for fs, image, kept, count in [("ntfs", self.ntfs, "keep.bin", 3), ("fat32", self.fat, "keep.txt", 2)]:
            with self.subTest(fs=fs):
                results = {"info": cli("info", image, "--json"), "scan": cli("scan", image, "--json"),
                           "locate": cli("locate", image, kept)}
                for command, result in results.items():
                    self.assertEqual((result.returncode, result.stderr), (0, b""), command)
                    lines = json_lines(result)
                    self.assertEqual(len(lines), count if command == "scan" else 1, command)
                    for line in lines:
                        self.assertEqual(set(line), keys[(command, fs)], command)
                out = self.folder("out")
                result = cli("recover", image, "--to", out, "--all", "--json")
                self.assertEqual((result.returncode, result.stderr), (0, b""))
                *files, summary = json_lines(result)
                self.assertEqual(len(files), count)
                for line in files:
                    self.assertEqual(set(line), file_keys)
                    self.assertEqual((line["status"], line["bytes"], line["message"]), ("whole", line["size"], ""))
                    self.assertEqual(os.path.getsize(line["path"]), line["size"])
                self.assertEqual(set(summary), summary_keys)
                self.assertEqual((summary["summary"], summary["files"], summary["skipped"]), ("done", count, 0))
                self.assertEqual(summary["bytes"], sum(line["bytes"] for line in files))

    def test_recover_json_without_deleted_files_is_a_summary(self):
        image = make_fat32(os.path.join(self.work, "none.img"))
        result = cli("recover", image, "--to", self.folder("none"), "--all", "--json")
        self.assertEqual((result.returncode, result.stderr), (0, b""))
        (summary,) = json_lines(result)
        self.assertEqual((summary["summary"], summary["files"], summary["message"]), ("done", 0, "no deleted files found"))
        result = cli("recover", image, "--to", self.folder("none"), "--all")
        self.assertEqual(result.stdout, b"no deleted files found\n")

    def shred_copy(self, *options, terminal=False):
        """Shreds a fresh file on a copy of the NTFS image through a mount."""
        image = os.path.join(self.work, "shred.img")
        shutil.copyfile(self.ntfs, image)
        with ntfs_mount(image, os.path.join(self.work, "shred-mnt")) as root:
            write(f"{root}/gone.bin", marked("gone", 300000))
        with ntfs_mount(image, os.path.join(self.work, "shred-mnt")) as root:
            args = ["shred", f"{root}/gone.bin", "--yes", *options]
            return on_terminal(*args) if terminal else cli(*args)

    def test_shred_json_is_one_complete_object(self):
        result = self.shred_copy("--json")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertNotIn(b"\r", result.stderr)  # the question and its answer only
        (outcome,) = json_lines(result)
        self.assertEqual(set(outcome), {"path", "status", "deleted", "zeroedInPlace", "cutInPlace", "rawPass",
                                        "clustersZeroed", "clustersTaken", "clustersNotLocated", "recordOverwritten",
                                        "recordTaken", "extensionRecordsOverwritten", "extensionRecordsTaken",
                                        "entriesScrubbed", "entriesTaken", "interrupted", "verified",
                                        "nameCopiesLeft", "nameCopiesLeftByShred", "message"})
        self.assertEqual((outcome["status"], outcome["deleted"]), ("shredded", True))

    def test_progress_is_shown_on_a_terminal_only(self):
        status, out, shown = on_terminal("scan", self.ntfs, "--json")
        self.assertEqual(status, 0, shown)
        self.assertEqual(len([json.loads(line) for line in out.decode().splitlines()]), 3)  # output stays clean
        self.assertRegex(shown, rb"\rscan: \d+ of \d+ records \(100%\)\r\n$")
        status, _, shown = on_terminal("scan", self.fat)
        self.assertRegex(shown, rb"\rscan: \d+ directory sectors read\r\n$")
        status, out, shown = on_terminal("recover", self.ntfs, "--to", self.folder("out"), "--all")
        self.assertEqual(status, 0, shown)
        self.assertIn(b"recover: 3 of 3 files, 6.0 MiB of 6.0 MiB", shown)
        status, out, shown = self.shred_copy(terminal=True)
        self.assertEqual(status, 0, shown)
        self.assertRegex(shown, rb"\rshred: 0\.3 MiB of 0\.3 MiB overwritten \(100%\)\r\n")
        # --quiet: nothing on the terminal but the answers.
        status, _, shown = on_terminal("scan", self.ntfs, "--quiet")
        self.assertEqual((status, shown), (0, b""))


if __name__ == "__main__":
    CLI = sys.argv.pop(1)
    unittest.main(verbosity=2)

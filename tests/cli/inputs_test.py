#!/usr/bin/python3
"""corvanel-cli against inputs from the wild: signals that end it, names
that carry terminal controls, and inputs that deserve a precise message.

usage: inputs_test.py CLI
"""
import glob
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from volume_images import ENV, run, ntfs_mount, make_ntfs, write  # noqa: E402

CLI = None
KEY = "0123456789abcdef"


def cli(*args):
    return subprocess.run([CLI, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)


class InputsTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp()

    def tearDown(self):
        shutil.rmtree(self.work)

    def test_signals_clean_up_as_ctrl_c_does(self):
        big = os.path.join(self.work, "big")
        with open(big, "wb") as f:
            f.truncate(3 << 30)
        for command, sent in [(["encrypt", big], signal.SIGTERM), (["encrypt", big], signal.SIGHUP)]:
            with self.subTest(signal=sent.name):
                process = subprocess.Popen([CLI, *command, "--key", KEY], stdout=subprocess.PIPE,
                                           stderr=subprocess.PIPE, env=ENV)
                deadline = time.time() + 20
                while not glob.glob(os.path.join(self.work, "~crv*")) and time.time() < deadline:
                    time.sleep(0.005)
                process.send_signal(sent)
                _, err = process.communicate(timeout=60)
                self.assertEqual(process.returncode, 1, err.decode())
                self.assertIn(b"interrupted", err)
                self.assertEqual(sorted(os.listdir(self.work)), ["big"])

    def test_names_are_printed_with_their_controls_escaped(self):
        image = make_ntfs(os.path.join(self.work, "n.img"), 16)
        name = "evil\x1b[2J\x1b[31mred\nfake.txt"
        with ntfs_mount(image, os.path.join(self.work, "mnt")) as root:
            write(f"{root}/{name}", b"x" * 5000)
            os.remove(f"{root}/{name}")
        listing = cli("scan", image)
        self.assertEqual(listing.returncode, 0, listing.stderr.decode())
        self.assertNotIn(b"\x1b", listing.stdout)
        self.assertIn(b"evil\\x1b[2J\\x1b[31mred\\nfake.txt\n", listing.stdout)
        out = os.path.join(self.work, "out")
        recovered = cli("recover", image, "--to", out, "--all")
        self.assertNotIn(b"\x1b", recovered.stdout + recovered.stderr)
        self.assertEqual(os.listdir(out), ["Recover_5000.txt"])  # controls are no part of a name here

    def test_the_code_page_is_for_stored_names_not_for_paths(self):
        source = os.path.join(self.work, "季度.txt")
        write(source, b"quarterly\n")
        encrypted = cli("encrypt", source, "--key", KEY, "--code-page", "GBK")
        self.assertEqual(encrypted.returncode, 0, encrypted.stderr.decode())
        self.assertTrue(os.path.exists(source + "_des"))
        os.remove(source)
        # The name inside is in GBK: read as UTF-8 it is no name at all.
        self.assertEqual(cli("decrypt", source + "_des", "--key", KEY).returncode, 1)
        decrypted = cli("decrypt", source + "_des", "--key", KEY, "--code-page", "GBK")
        self.assertEqual(decrypted.returncode, 0, decrypted.stderr.decode())
        self.assertEqual(sorted(os.listdir(self.work)), ["季度.txt", "季度.txt_des"])
        with open(source, "rb") as f:
            self.assertEqual(f.read(), b"quarterly\n")

    def test_messages_say_what_is_wrong(self):
        fifo = os.path.join(self.work, "fifo")
        os.mkfifo(fifo)
        plain = os.path.join(self.work, "plain.txt")
        write(plain, b"plain\n")
        bom = os.path.join(self.work, "bom.key")
        write(bom, b"\xef\xbb\xbf" + KEY.encode() + b"\r\n")
        cases = [
            (["encrypt", "/dev/null", "--key", KEY], 1, b"Not a regular file"),
            (["encrypt", fifo, "--key", KEY], 1, b"Not a regular file"),
            (["encrypt", plain, "--key-file", self.work], 1, b"cannot read the key file"),
            (["shred", plain, "--yes"], 1, b"not on an NTFS, FAT32 or exFAT volume"),
        ]
        for args, status, text in cases:
            with self.subTest(args=args[:2]):
                result = cli(*args)
                self.assertEqual(result.returncode, status, result.stderr.decode())
                self.assertIn(text, result.stderr)
        # A key file with a byte-order mark and a CRLF holds just the key.
        self.assertEqual(cli("encrypt", plain, "--key-file", bom).returncode, 0)
        self.assertEqual(cli("decrypt", plain + "_des", "--key", KEY).returncode, 0)


if __name__ == "__main__":
    CLI = sys.argv.pop(1)
    unittest.main(verbosity=2)

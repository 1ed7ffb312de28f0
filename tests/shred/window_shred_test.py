#!/usr/bin/python3
"""The shred page of the real window under wine64 + Xvfb, on real volumes.

Wine's X:\\ is an ntfs-3g (or fusefat) mount of an image and \\\\.\\X: the image
itself, in a wine prefix of this test's own. window_tests.exe drives the page
(ShredPageShredsTheChosenFileAndOffersARestart: file.bin, other.bin and
third.bin shredded, fourth.bin left when the window is closed with Yes). On
the unmounted image afterwards: no shredded file's marker anywhere, every
other file byte-identical, ntfsfix -n / fsck.fat -n clean.

usage: window_shred_test.py WINE_RUN WINDOW_TESTS_EXE PREFIX_DIR
"""
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from real_volumes_test import ENV, ShredCase, fat_mount, marked, ntfs_mount, run, write  # noqa: E402

WINE_RUN = EXE = PREFIX = None
SHREDDED = ["file.bin", "other.bin", "third.bin"]


class WindowShredTest(ShredCase):
    def drive_window(self, image, mount, language):
        env = dict(ENV, CORVANEL_WINEPREFIX=PREFIX, CORVANEL_WINE_X_IMAGE=image, CORVANEL_WINE_X_MOUNT=mount,
                   CORVANEL_SHRED_VOLUME="1", LANG=language + ".UTF-8", LC_ALL=language + ".UTF-8")
        if os.environ.get("CORVANEL_SCREENSHOTS"):
            env["CORVANEL_SCREENSHOTS"] = os.environ["CORVANEL_SCREENSHOTS"]
        result = subprocess.run(["xvfb-run", "-a", "-s", "-screen 0 1280x900x24", WINE_RUN, EXE,
                                 "--gtest_filter=PagesTest.ShredPage*"],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env)
        # Nothing of Wine's may hold the mount when it is taken down.
        subprocess.run(["/usr/lib/wine/wineserver64", "-w"], env=dict(env, WINEPREFIX=PREFIX))
        return result

    def shred_on(self, kind, language):
        work = tempfile.TemporaryDirectory()
        self.addCleanup(work.cleanup)
        image = os.path.join(work.name, kind + ".img")
        if kind == "ntfs":
            with open(image, "wb") as f:
                f.truncate(16 << 20)
            run("mkntfs", "-F", "-f", "-q", image)
            mount = ntfs_mount
        else:
            run("mkfs.fat", "-F", "32", "-s", "1", "-C", image, "65536")
            mount = fat_mount
        mnt = os.path.join(work.name, "mnt")
        kept = {"dir/keep.bin": os.urandom(70000), "dir/fourth.bin": marked("fourth", 40000),
                "top.txt": b"left alone\n" * 50}
        with mount(image, mnt) as root:
            for name in SHREDDED:
                write(f"{root}/dir/{name}", marked(name, 60000))
            for path, data in kept.items():
                write(f"{root}/{path}", data)
            result = self.drive_window(image, root, language)
            output = result.stdout.decode(errors="replace")
            self.assertEqual(result.returncode, 0, output[-6000:])
            self.assertIn("[  PASSED  ] 1 test", output, output[-6000:])
            for name in SHREDDED:
                self.assertFalse(os.path.exists(f"{root}/dir/{name}"))
        self.assert_markers_gone(image, SHREDDED)
        with mount(image, mnt) as root:
            for path, data in kept.items():
                with open(f"{root}/{path}", "rb") as f:
                    self.assertEqual(f.read(), data, path)
        if kind == "ntfs":
            check = run("ntfsfix", "-n", image, check=False)
        else:
            check = run("fsck.fat", "-n", image, check=False)
        self.assertEqual(check.returncode, 0, check.stdout.decode() + check.stderr.decode())

    def test_ntfs_english(self):
        self.shred_on("ntfs", "en_US")

    def test_ntfs_chinese(self):
        self.shred_on("ntfs", "zh_CN")

    def test_fat32_english(self):
        self.shred_on("fat32", "en_US")


if __name__ == "__main__":
    WINE_RUN, EXE, PREFIX = sys.argv.pop(1), sys.argv.pop(1), sys.argv.pop(1)
    unittest.main(verbosity=2)

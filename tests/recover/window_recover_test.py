#!/usr/bin/python3
"""The recover page of the real window under wine64 + Xvfb, on real volumes.

In a wine prefix of this test's own, \\\\.\\X: is an NTFS or FAT32 image with
deleted files (X:\\ a folder holding inside\\), \\\\.\\Y: an image that is
neither, both fixed drives. window_tests.exe drives the page
(RecoverPageTest); its tree must list the names `corvanel-cli scan X:` lists,
in the same order, and the files it recovers (all ticked but one) must be
byte-identical to what `corvanel-cli recover X: --all` writes, that one left out.

usage: window_recover_test.py WINE_RUN WINDOW_TESTS_EXE CLI_EXE PREFIX_DIR
"""
import json
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from volume_images import ENV, make_fat32, make_ntfs, ntfs_mount, run, write  # noqa: E402

WINE_RUN = EXE = CLI = PREFIX = None

NTFS_FILES = {"notes.txt": b"Meeting at nine.\n", "photo.jpg": os.urandom(200000),
              "季度报告.txt": "季度报告：收入增长百分之十二。\n".encode(), "dir/deep.bin": os.urandom(70000)}
FAT_FILES = {"notes.txt": b"Meeting at nine.\n" * 40, "a long file name.bin": os.urandom(90000),
             "DIR/deep.bin": os.urandom(5000)}


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


def drive_letters(prefix, work, bad_image):
    """Y: on an image that is neither file system; X: and Y: fixed drives."""
    for letter in ("x:", "y:"):  # (the first run makes the prefix)
        wine(["reg", "add", "HKLM\\Software\\Wine\\Drives", "/v", letter, "/t", "REG_SZ", "/d", "hd", "/f"], {})
    devices = os.path.join(prefix, "dosdevices")
    os.makedirs(os.path.join(work, "yroot"), exist_ok=True)
    for name, target in (("y::", bad_image), ("y:", os.path.join(work, "yroot"))):
        if os.path.lexists(os.path.join(devices, name)):
            os.remove(os.path.join(devices, name))
        os.symlink(target, os.path.join(devices, name))


def wine(command, env, check=True):
    result = subprocess.run([WINE_RUN] + command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            env=dict(ENV, CORVANEL_WINEPREFIX=PREFIX, **env))
    if check and result.returncode != 0:
        raise AssertionError(result.stdout.decode(errors="replace")[-4000:])
    return result


def files_in(folder):
    found = {}
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as f:
            found[name] = f.read()
    return found


class WindowRecoverTest(unittest.TestCase):
    def recover_on(self, kind, language):
        work = tempfile.mkdtemp(prefix="corvanel-recover-")
        self.addCleanup(subprocess.run, ["rm", "-rf", work])
        image = os.path.join(work, kind + ".img")
        if kind == "ntfs":
            make_ntfs(image, 16)
            files = dict(NTFS_FILES)
            if language != "en_US":
                del files["季度报告.txt"]  # see the window's environment below
            with ntfs_mount(image, os.path.join(work, "mnt")) as root:
                for path, data in files.items():
                    write(os.path.join(root, path), data)
                write(os.path.join(root, "kept.txt"), b"kept\n")
                for path in files:
                    os.remove(os.path.join(root, path))
        else:
            files = FAT_FILES
            make_fat32(image)
            for path, data in FAT_FILES.items():
                write(os.path.join(work, "tree", path), data)
            run("mcopy", "-s", "-i", image, *[os.path.join(work, "tree", n) for n in os.listdir(os.path.join(work, "tree"))],
                "::/")
            run("mdel", "-i", image, *["::/" + p for p in FAT_FILES])
        bad = os.path.join(work, "bad.img")
        write(bad, os.urandom(4 << 20))
        xroot = os.path.join(work, "xroot")
        os.makedirs(os.path.join(xroot, "inside"))
        drive_letters(PREFIX, work, bad)
        # The destination on C:, inside the prefix.
        out = os.path.join(PREFIX, "drive_c", "recover-out")
        subprocess.run(["rm", "-rf", out])
        os.makedirs(os.path.join(out, "unused"))
        self.addCleanup(subprocess.run, ["rm", "-rf", out])
        x = {"CORVANEL_WINE_X_IMAGE": image, "CORVANEL_WINE_X_MOUNT": xroot}

        listing = wine([CLI, "scan", "X:", "--json"], x).stdout.decode()
        cli_names = [json.loads(line)["name"] for line in listing.splitlines() if line.startswith("{")]
        self.assertEqual(len(cli_names), len(files), listing)
        wine([CLI, "--yes", "recover", "X:", "--all", "--to", windows_path(os.path.join(work, "cli"))], x)

        names = os.path.join(work, "names.txt")
        unticked = os.path.join(work, "unticked.txt")
        env = dict(x, CORVANEL_RECOVER_OUT="C:\\recover-out", CORVANEL_RECOVER_NAMES=windows_path(names),
                   CORVANEL_RECOVER_UNTICKED=windows_path(unticked),
                   CORVANEL_RECOVER_LANGUAGE="english" if language == "en_US" else "chinese")
        if os.environ.get("CORVANEL_SCREENSHOTS"):
            env["CORVANEL_SCREENSHOTS"] = os.environ["CORVANEL_SCREENSHOTS"]
        # Wine takes the system language from LC_ALL, and file names in UTF-8
        # only from an installed locale: C.UTF-8 (English) for the Chinese names.
        window_env = dict(ENV, CORVANEL_WINEPREFIX=PREFIX, **env)
        window_env["LC_ALL"] = "C.UTF-8" if language == "en_US" else language + ".UTF-8"
        try:
            result = subprocess.run(["xvfb-run", "-a", "-s", "-screen 0 1280x900x24", WINE_RUN, EXE,
                                     "--gtest_filter=RecoverPageTest.*"],
                                    stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=window_env, timeout=300)
        except subprocess.TimeoutExpired as hung:
            # A box nobody answered: say where it stopped.
            subprocess.run(["/usr/lib/wine/wineserver64", "-k"], env=dict(window_env, WINEPREFIX=PREFIX))
            self.fail("the window hung:\n" + (hung.stdout or b"").decode(errors="replace")[-6000:])
        output = result.stdout.decode(errors="replace")
        with open(names, encoding="utf-8") as f:  # written right after the scan
            self.assertEqual(f.read().splitlines(), cli_names, output[-6000:])
        self.assertEqual(result.returncode, 0, output[-6000:])
        self.assertIn("[  PASSED  ] 1 test", output, output[-6000:])
        with open(unticked, encoding="utf-8") as f:
            left_out = f.read().splitlines()
        self.assertEqual(len(left_out), 1)
        expected = files_in(os.path.join(work, "cli"))
        del expected[left_out[0]]
        self.assertEqual(files_in(os.path.join(out, "window")), expected)
        self.assertEqual(os.listdir(os.path.join(xroot, "inside")), [])

    def test_ntfs_english(self):
        self.recover_on("ntfs", "en_US")

    def test_ntfs_chinese(self):
        self.recover_on("ntfs", "zh_CN")

    def test_fat32_english(self):
        self.recover_on("fat32", "en_US")


if __name__ == "__main__":
    WINE_RUN, EXE, CLI, PREFIX = sys.argv.pop(1), sys.argv.pop(1), sys.argv.pop(1), os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)

#!/usr/bin/python3
"""Disk images read through their libraries (libewf, libvhdi, libvmdk,
libqcow), found by their signatures whatever their names:
  - an NTFS volume with deleted files, converted by qemu-img (VHD dynamic and
    fixed, VHDX, VMDK, QCOW2) and acquired by ewfacquire (E01, in one
    segment and in several): scan lists, and recover writes, what they list
    and write from the raw image, byte for byte;
  - images cut short, an acquisition missing a segment, a QCOW2 overlay (its
    backing file is not read): a one-line error naming the format, exit
    status 1;
  - shredding a file whose volume is mounted from an image: refused, the
    file left as it was;
  - the Windows build, which has no such libraries, names the format it
    found behind a drive letter and says it cannot read it.

usage: disk_images_test.py CLI [WINE_RUN WINDOWS_CLI [TEST ...]]
"""
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from volume_images import ENV, Mount, run, ntfs_mount, make_ntfs, make_fat32, write, read  # noqa: E402

CLI = None
WINE = None  # (wine-run script, corvanel-cli.exe)


def cli(*args):
    return subprocess.run([CLI, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)


class DiskImagesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        w = cls.work.name
        cls.raw = make_ntfs(os.path.join(w, "ntfs.raw"), 16)
        with ntfs_mount(cls.raw, os.path.join(w, "mnt")) as root:
            write(f"{root}/text.txt", b"".join(b"line %d\n" % i for i in range(30000)))
            write(f"{root}/random.bin", os.urandom(300000))
            write(f"{root}/folder/inner.txt", b"inner\n")
            write(f"{root}/small.txt", b"resident")
            for name in ("text.txt", "random.bin", "folder/inner.txt", "small.txt"):
                os.remove(f"{root}/{name}")
        # Names that say nothing of the format: the signatures decide. qemu-img
        # rounds a VHD up to a disk geometry unless its size is forced.
        cls.images = {}
        for label, options in (("vhd", ["-O", "vpc", "-o", "force_size=on"]),
                               ("vhd-fixed", ["-O", "vpc", "-o", "subformat=fixed,force_size=on"]),
                               ("vhdx", ["-O", "vhdx"]), ("vmdk", ["-O", "vmdk"]), ("qcow2", ["-O", "qcow2"])):
            cls.images[label] = os.path.join(w, label + ".img")
            run("qemu-img", "convert", "-f", "raw", *options, cls.raw, cls.images[label])
        # E01 compressed in one segment, under another name; and in 1 MiB
        # segments, which are found by their names (.E01, .E02, ...).
        run("ewfacquire", "-u", "-c", "fast", "-t", os.path.join(w, "acquired"), cls.raw)
        cls.images["e01"] = os.path.join(w, "e01.img")
        os.rename(os.path.join(w, "acquired.E01"), cls.images["e01"])
        os.mkdir(os.path.join(w, "segments"))
        run("ewfacquire", "-u", "-c", "none", "-S", "1MiB", "-t", os.path.join(w, "segments", "disk"), cls.raw)
        cls.images["e01-segments"] = os.path.join(w, "segments", "disk.E01")

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def test_scan_and_recover_give_what_the_raw_image_gives(self):
        raw_scan = cli("scan", self.raw, "--json")
        self.assertEqual(raw_scan.returncode, 0, raw_scan.stderr)
        self.assertEqual(len(raw_scan.stdout.splitlines()), 4)
        # The media ends where the raw image does: its last sector reads, the next does not.
        last = str(os.path.getsize(self.raw) // 512 - 1)
        raw_last = cli("dump", self.raw, "--sector", last)
        self.assertEqual(raw_last.returncode, 0, raw_last.stderr)
        raw_files = os.path.join(self.work.name, "from-raw")
        self.assertEqual(cli("recover", self.raw, "--to", raw_files, "--all").returncode, 0)
        for label, image in self.images.items():
            with self.subTest(label):
                scanned = cli("scan", image, "--json")
                self.assertEqual(scanned.returncode, 0, scanned.stderr)
                self.assertEqual(scanned.stdout, raw_scan.stdout)
                self.assertEqual(cli("dump", image, "--sector", last).stdout, raw_last.stdout)
                self.assertEqual(cli("dump", image, "--sector", str(int(last) + 1)).returncode, 1)
                target = os.path.join(self.work.name, "from-" + label)
                recovered = cli("recover", image, "--to", target, "--all")
                self.assertEqual(recovered.returncode, 0, recovered.stderr)
                self.assertEqual(sorted(os.listdir(target)), sorted(os.listdir(raw_files)))
                for name in os.listdir(raw_files):
                    self.assertEqual(read(os.path.join(target, name)), read(os.path.join(raw_files, name)), name)

    def test_an_image_cut_short_is_named_and_refused(self):
        for label, format_name in (("qcow2", "QCOW"), ("vhdx", "VHDX"), ("vhd", "VHD"), ("e01", "E01 (EWF)")):
            with self.subTest(label):
                cut = os.path.join(self.work.name, "cut-" + label)
                with open(self.images[label], "rb") as source, open(cut, "wb") as f:
                    f.write(source.read(70000))
                result = cli("scan", cut)
                self.assertEqual(result.returncode, 1)
                message = result.stderr.decode()
                self.assertIn("Unreadable " + format_name + " image", message)
                self.assertEqual(len(message.strip().splitlines()), 1, message)

    def test_an_overlay_is_refused_not_read_as_holes(self):
        overlay = os.path.join(self.work.name, "overlay")
        run("qemu-img", "create", "-q", "-f", "qcow2", "-b", self.images["qcow2"], "-F", "qcow2", overlay)
        result = cli("info", overlay)
        self.assertEqual(result.returncode, 1)
        self.assertIn("Unreadable QCOW image", result.stderr.decode())
        self.assertIn("backing file", result.stderr.decode())

    def test_an_acquisition_missing_a_segment_is_refused(self):
        os.rename(os.path.join(self.work.name, "segments", "disk.E05"), os.path.join(self.work.name, "disk.E05"))
        try:
            result = cli("scan", self.images["e01-segments"])
        finally:
            os.rename(os.path.join(self.work.name, "disk.E05"), os.path.join(self.work.name, "segments", "disk.E05"))
        self.assertEqual(result.returncode, 1)
        self.assertIn("Unreadable E01 (EWF) image", result.stderr.decode())

    def test_shred_refuses_a_volume_mounted_from_an_image(self):
        fat = make_fat32(os.path.join(self.work.name, "fat.raw"))
        run("mcopy", "-i", fat, "-", "::victim.txt", input=b"still here\n")
        vhdx = os.path.join(self.work.name, "fat.vhdx")
        run("qemu-img", "convert", "-f", "raw", "-O", "vhdx", fat, vhdx)
        # The mount names the VHDX as its source, as a mount of one would.
        command = ["fusefat", "-f", "-o", "rw+", "-o", "fsname=" + vhdx, fat, os.path.join(self.work.name, "fatmnt")]
        with Mount(command, os.path.join(self.work.name, "fatmnt")) as root:
            result = cli("--yes", "shred", f"{root}/victim.txt")
            self.assertEqual(result.returncode, 1)
            self.assertIn("VHDX image: disk images are only read, never written", result.stderr.decode())
            self.assertEqual(read(f"{root}/victim.txt"), b"still here\n")

    @unittest.skipUnless(len(sys.argv) > 2 or WINE, "no Windows build given")
    def test_the_windows_build_names_what_it_cannot_read(self):
        wine_run, exe = WINE
        for label, format_name in (("vhdx", "VHDX"), ("e01", "E01 (EWF)"), ("raw", None)):
            with self.subTest(label):
                image = self.raw if label == "raw" else self.images[label]
                result = subprocess.run([wine_run, exe, "info", "X:"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        env=dict(ENV, CORVANEL_WINE_X_IMAGE=image))
                if format_name is None:
                    self.assertEqual(result.returncode, 0, result.stderr.decode())
                    continue
                self.assertEqual(result.returncode, 1)
                self.assertIn(format_name + " image: this build cannot read it", result.stderr.decode())


if __name__ == "__main__":
    CLI = os.path.abspath(sys.argv.pop(1))
    if len(sys.argv) >= 3:
        WINE = (os.path.abspath(sys.argv.pop(1)), os.path.abspath(sys.argv.pop(1)))
    unittest.main(verbosity=2)

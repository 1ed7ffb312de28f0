#!/usr/bin/python3
"""A volume of 100,000 deleted files written by tools/make-deleted-files-image
(a real mkntfs volume, live folders by ntfs-3g, the deleted files' records
written into its grown MFT):
  - the image is what the generator says: `fls -rd` and `ntfsundelete -s`
    list exactly the files of its manifest (record, name, folder path);
  - `scan --json` lists exactly those files, with their sizes;
  - a sample of them, resident, non-resident and fragmented, comes back from
    `recover` byte for byte as the manifest's sums and `icat` have them.

usage: many_deleted_files_test.py CLI [IMAGE]  (IMAGE: a cached one to reuse or make)
"""
import hashlib
import json
import os
import random
import re
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
GENERATOR = os.path.join(ROOT, "tools", "make-deleted-files-image")
ENV = dict(os.environ, LC_ALL="C.UTF-8")
COUNT = 100_000
CLI = None
IMAGE = None


def run(*args):
    return subprocess.run(args, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV).stdout


class ManyDeletedFiles(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # tmpfs when there is one: the generator writes ~150 MB.
        cls.work = tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
        cls.image = IMAGE or os.path.join(cls.work.name, "many.img")
        if not (os.path.exists(cls.image) and os.path.exists(cls.image + ".manifest")):
            run(GENERATOR, cls.image, str(COUNT), "--seed", "7")
        with open(cls.image + ".manifest", encoding="utf-8") as f:
            head = json.loads(f.readline())
            cls.first = head["first"]
            cls.files = {e["record"]: e for e in map(json.loads, f)}
        assert len(cls.files) == COUNT
        cls.listed = [json.loads(line) for line in run(CLI, "scan", cls.image, "--json").decode().splitlines()]

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def expected(self):
        """{record: folder/name} of the generated files."""
        return {r: (e["path"] + "/" if e["path"] else "") + e["name"] for r, e in self.files.items()}

    def same(self, got, want, what):
        """got == want, or a short account of the records that differ."""
        if got != want:
            wrong = sorted(r for r in set(got) | set(want) if got.get(r) != want.get(r))
            self.fail(f"{what}: {len(wrong)} records differ, e.g. " +
                      "; ".join(f"{r}: {got.get(r)!r} where {want.get(r)!r}" for r in wrong[:5]))

    def test_listings(self):
        scan = {e["record"]: ((e["path"] + "/" if e["path"] else "") + e["name"], e["size"]) for e in self.listed}
        self.assertEqual(len(scan), len(self.listed), "a record listed twice")
        self.same(scan, {r: (p, self.files[r]["size"]) for r, p in self.expected().items()}, "scan, generated")

        # fls: "-/r * 364-128-2:<tab>folder/name"; mkntfs's empty reserved
        # records 16-23 show under $OrphanFiles.
        fls = {}
        for line in run("fls", "-rd", self.image).decode().splitlines():
            meta, path = line.split("\t", 1)
            record = int(re.search(r"(\d+)(?:-\d+-\d+)?:$", meta).group(1))
            if record < self.first and path == f"$OrphanFiles/OrphanFile-{record}":
                continue
            self.assertNotIn(record, fls, line)
            fls[record] = path
        self.same(fls, {r: p for r, (p, _) in scan.items()}, "fls -rd, scan")

        # ntfsundelete: "364      FR..   100%  2016-11-17 23:41   100  f0.bin"; it
        # names the records of no file (reserved, or formatted by ntfs-3g) <none>.
        peer = {}
        for line in run("ntfsundelete", "-s", self.image).decode().splitlines():
            fields = line.split(None, 6)
            if fields and fields[0].isdigit() and not (int(fields[0]) < self.first and fields[6] == "<none>"):
                peer[int(fields[0])] = (fields[6], int(fields[5]))
        self.same(peer, {r: (e["name"], e["size"]) for r, e in self.files.items()}, "ntfsundelete -s, generated")

    def test_recovered_sample(self):
        listed = {e["record"]: e for e in self.listed}
        rng = random.Random(3)
        records = sorted(self.files)
        fragmented = [r for r in records if len(self.files[r]["runs"]) > 1]
        nonresident = [r for r in records if self.files[r]["runs"] and r not in fragmented]
        resident = [r for r in records if not self.files[r]["runs"]]
        empty = [r for r in resident if self.files[r]["size"] == 0]
        sample = sorted(set(rng.sample(fragmented, 12) + rng.sample(nonresident, 18) + rng.sample(resident, 18) +
                            empty[:2]))
        out = os.path.join(self.work.name, "out")
        lines = run(CLI, "recover", self.image, "--to", out, "--json", "--hash",
                    "--index", *[str(listed[r]["index"]) for r in sample]).decode().splitlines()
        results = [json.loads(line) for line in lines]
        self.assertEqual(results[-1].get("summary"), "done", results[-1])
        by_index = {e["index"]: e for e in results[:-1]}
        for r in sample:
            e = self.files[r]
            with self.subTest(record=r, name=e["name"]):
                self.assertEqual(by_index[listed[r]["index"]]["status"], "whole")
                with open(os.path.join(out, e["name"]), "rb") as f:
                    data = f.read()
                self.assertEqual(hashlib.sha256(data).hexdigest(), e["sha256"])
                self.assertEqual(data, run("icat", self.image, str(r)))


if __name__ == "__main__":
    CLI = sys.argv[1]
    IMAGE = sys.argv[2] if len(sys.argv) > 2 else None
    unittest.main(argv=sys.argv[:1], verbosity=2)

#!/usr/bin/python3
"""Differential test of corvanel-cli against The Sleuth Kit.

usage: tools/difftest.py SECONDS [--seed N] [--only K] [--fs ntfs,fat32] [--cli PATH] [--out DIR]
       tools/difftest.py --self-test

Until SECONDS are up, volume after volume: a small image is made (NTFS by
mkntfs and ntfs-3g, FAT32 by mkfs.fat and mtools) through a random sequence
of real operations (folders nested and deleted; files of random sizes and
names; attribute bits; sparse, compressed and hard-linked files and named
streams on NTFS; renames and moves; deletions whose clusters are reused),
sometimes damaged afterwards (cut short, a stretch of records or directory
sectors zeroed, bytes of one record flipped). Then `corvanel-cli scan --json`
and `recover --all --yes --json` are compared with `fls -rdpl` and `icat` on
the same image: every deleted file fls lists must be listed with the same
path, name and size, nothing more may be listed, and every file both recover
must be byte-identical unless Corvanel says it is partial. Where the two tools
differ by design, the KNOWN table below says so, with its reason; nothing
else is excused.

Volume K of seed N is made from random.Random("N:K") alone, so `--seed N
--only K` makes it again. A volume that shows a disagreement or a crash is
kept in OUT (build/difftest by default) with its operations, both tools'
outputs and what differed. The last line is `difftest: N volumes, M
disagreements`; the exit status is 1 when M > 0 (crashes count), 2 when the
run could not start.
"""
import argparse
import collections
import contextlib
import json
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import traceback
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ENV = dict(os.environ, LC_ALL="C.UTF-8", MTOOLS_SKIP_CHECK="1")
TIMEOUT = 120  # seconds for any one command; longer is a hang

# Where the tools differ by design. Each entry is narrow: a kind of
# difference (side), the file system, and a pattern that only the case it
# explains matches. Sides:
#   fls-only       fls lists it, Corvanel need not (fls_path: a regex the
#                  whole fls path matches; fls_kind: the entry's meta type;
#                  realloc: fls marks the name "(realloc)"; needs: a further
#                  condition, see Condition)
#   corvanel-only  Corvanel lists it, fls need not (cv_path: regex)
#   same-file      a file both list, under paths `needs` explains
#   size           a file both list, with sizes `needs` explains
#   same-name      the two write one name differently: fls_sub / cv_sub are
#                  (regex, replacement) applied to the whole path before the
#                  listings are matched, or only to the path components that
#                  match `component`
#   content        recovered bytes may differ (status: Corvanel's status)
#   not-compared   no byte comparison (status)
SHORT_NAME = r"[^/.]{1,8}(\.[^/.]{1,3})?"  # a path component as a FAT short name is written
KNOWN = [
    dict(id="folders", fs="*", side="fls-only", fls_kind="d",
         reason="deleted folders are not files: the scan lists the files in them, not the folders"),
    dict(id="ntfs-reserved-records", fs="ntfs", side="fls-only",
         fls_path=r"\$OrphanFiles/OrphanFile-(1[6-9]|2[0-3])",
         reason="records 16-23 are the MFT's reserved, unused records, which The Sleuth Kit shows as orphans; "
                "the scan starts at record 24"),
    dict(id="ntfs-name-over-256-bytes", fs="ntfs", side="same-file", needs="name-cut-at-256-bytes",
         reason="a deleted file's name (or a folder's on its path) of more than 256 bytes in UTF-8 (up to 255 "
                "UTF-16 units of letters outside ASCII): The Sleuth Kit keeps the names of a record in 256 bytes "
                "and fls shows the name cut there; Corvanel gives the whole name"),
    dict(id="ntfs-named-streams", fs="ntfs", side="fls-only", fls_path=r".*:[^/:]+", needs="stream-of-listed-file",
         reason="fls lists each named data stream as NAME:STREAM beside the file; Corvanel lists and recovers a "
                "file's unnamed data"),
    dict(id="ntfs-nameless-records", fs="ntfs", side="fls-only", needs="record-without-name",
         reason="a deleted record with data but no $FILE_NAME left (ntfs-3g drops the last name of a file that "
                "had two names at some time, a rename included): fls names it from an index entry or calls it "
                "OrphanFile-N; the scan keeps the records that carry a name (a data attribute before any name "
                "fails the record)"),
    dict(id="ntfs-nameless-record-listed", fs="ntfs", side="corvanel-only", cv_path=r"\?\d+",
         needs="listed-record-without-name",
         reason="the same records as above when fls lists them nowhere: Corvanel lists a deleted record that "
                "has data but no name left as ?N (N its record number), so that its data can be recovered"),
    dict(id="ntfs-nameless-folder", fs="ntfs", side="same-file", needs="folder-without-name",
         reason="a file in a deleted folder whose record kept no $FILE_NAME (as above): fls names the folder from "
                "its parent's index entry, Corvanel names folders from their records and writes ?/ from there"),
    dict(id="ntfs-folder-signature-damaged", fs="ntfs", side="same-file", needs="folder-signature-damaged",
         reason="a file in a folder whose record's signature is damaged in more than one bit: The Sleuth Kit "
                "reads a record whatever its signature, and names the folder from it; Corvanel takes a record only "
                "under FILE (or one bit from it) and writes ?/ from there"),
    dict(id="ntfs-folder-name-damaged-in-record", fs="ntfs", side="same-file", needs="folder-name-from-its-record",
         reason="a file in a folder whose own record carries a damaged name (a flipped bit in its $FILE_NAME): "
                "fls names the folder from its parent's index entry, Corvanel from the folder's record, as it "
                "names every folder"),
    dict(id="ntfs-folder-fls-cannot-open", fs="ntfs", side="corvanel-only", cv_path=r".+",
         needs="folder-fls-cannot-open",
         reason="a deleted file in a folder (or below one) that The Sleuth Kit cannot open (fls on it fails: a "
                "deleted folder's attribute list names attributes that are gone, or its index lies past a cut): "
                "fls lists none of the files in it, not even as orphans; Corvanel lists them"),
    dict(id="ntfs-orphans-fls-cannot-list", fs="ntfs", side="corvanel-only", cv_path=r"\?/[^/]+",
         needs="fls-lists-no-orphans",
         reason="a deleted file whose folder's record is gone or reused (Corvanel writes ?/): fls would put it in "
                "$OrphanFiles, but The Sleuth Kit gives up the whole orphan listing when one deleted folder among "
                "the orphans cannot be opened (its attribute list names an index the record no longer holds), "
                "and fls lists no orphan at all"),
    dict(id="ntfs-record-refused-by-fls", fs="ntfs", side="corvanel-only", cv_path=r".+",
         needs="record-refused-by-fls",
         reason="a damaged record The Sleuth Kit refuses whole (istat fails on it: an attribute the file does not "
                "need, as its security descriptor, is damaged, or the update sequence's place is) while its name "
                "and data attribute read whole: fls lists nothing, Corvanel lists the file and recovers its data"),
    dict(id="ntfs-record-unread-by-fls", fs="ntfs", side="corvanel-only", cv_path=r".+",
         needs="record-unread-by-fls",
         reason="a damaged record whose $STANDARD_INFORMATION says it is non-resident (an attribute that is always "
                "resident) while its name and data attribute read whole: The Sleuth Kit reads none of the record's "
                "attributes (istat shows it with none), fls lists nothing; Corvanel lists the file and recovers "
                "its data"),
    dict(id="ntfs-attributes-broken-before-data", fs="ntfs", side="corvanel-only", cv_path=r".+",
         needs="attributes-broken-before-data",
         reason="a damaged record whose attributes cannot be walked to its data (an attribute's length runs out "
                "of the record): fls lists nothing, Corvanel lists the name with size 0 and recovers it as "
                "partial, nothing known of its data"),
    dict(id="ntfs-in-nameless-folder", fs="ntfs", side="corvanel-only", cv_path=r"\?/[^/]+",
         needs="in-nameless-folder",
         reason="a deleted file whose deleted folder kept no $FILE_NAME (as above): fls at times lists neither "
                "the folder nor the file, Corvanel lists the file with ?/"),
    dict(id="ntfs-below-nameless-folder", fs="ntfs", side="corvanel-only", cv_path=r"\?/[^/]+/.+",
         needs="below-nameless-folder",
         reason="as above, a level or more further down: the deleted folder ?/ stands for kept no $FILE_NAME "
                "(nor does any record its attribute list names), the folders below it kept theirs; fls reaches "
                "none of them, Corvanel lists the file with ?/ and the named folders"),
    dict(id="ntfs-name-of-other-link", fs="ntfs", side="same-file", needs="name-of-other-link",
         reason="a deleted file that had two hard links, whose record keeps the name of one (ntfs-3g removes a "
                "name from the record as it unlinks it) in a folder gone or reused since: fls names it from the "
                "other link's entry in a deleted folder's index, Corvanel from its record, as ?/ and the name left"),
    dict(id="ntfs-orphan-below-named-folders", fs="ntfs", side="same-file", needs="orphan-below-named-folders",
         reason="a deleted file whose folder (or one of its folders) is a record fls reaches from no folder, as "
                "one further up was zeroed: fls puts it in $OrphanFiles, Corvanel writes the folders the records "
                "still name and ?/ above them"),
    dict(id="ntfs-orphaned-by-unreadable-folder", fs="ntfs", side="same-file", needs="orphaned-by-unreadable-folder",
         reason="a deleted file whose folder The Sleuth Kit cannot open (its index lies on sectors that cannot be "
                "read, as past a cut): fls puts it in $OrphanFiles, Corvanel names the folder from its record"),
    dict(id="ntfs-size-past-allocation", fs="ntfs", side="corvanel-only", cv_path=r".+",
         needs="size-past-allocation",
         reason="a damaged record whose data size exceeds what its runs allocate: The Sleuth Kit refuses the "
                "record (alloc_size is less than size), Corvanel lists it and recovers what the runs hold, as "
                "partial"),
    dict(id="fat-size-past-volume", fs="fat32", side="corvanel-only", cv_path=r".+", needs="size-past-volume",
         reason="a deleted entry whose size is more than the whole volume holds (a damaged size field): The Sleuth "
                "Kit takes it for no entry at all, Corvanel lists it and recovers what the volume holds from its "
                "first cluster, as partial"),
    dict(id="ntfs-damaged-attribute-before-data", fs="ntfs", side="size", needs="fls-saw-no-data",
         reason="a damaged attribute ahead of $DATA in a record: The Sleuth Kit stops reading the record's "
                "attributes there and gives size 0, Corvanel passes over it to the data attribute"),
    dict(id="ntfs-name-still-indexed", fs="ntfs", side="corvanel-only", cv_path=r"[^?].*",
         needs="name-still-indexed",
         reason="a record not in use whose name a folder's index still holds as a live entry (ntfs-3g left it "
                "so): fls counts the name as allocated and -d leaves it out, Corvanel lists the record as deleted"),
    dict(id="ntfs-record-without-data", fs="ntfs", side="fls-only", needs="record-without-data",
         reason="a deleted record with a name but no data attribute at all, and no attribute list (ntfs-3g leaves "
                "such records): fls lists it with size 0, Corvanel lists the records that hold a file's data"),
    dict(id="listed-twice", fs="*", side="fls-only", needs="inode-listed-elsewhere",
         reason="fls lists one file under two paths (FAT: a moved folder's old, deleted entry still leads to its "
                "clusters; NTFS: a name in an index entry beside the record's own); Corvanel lists each file once "
                "(on FAT each folder cluster is walked once)"),
    dict(id="ntfs-reallocated-names", fs="ntfs", side="fls-only", realloc=True,
         reason="an index entry (in a folder's index or its slack) whose record another file holds now: fls "
                "lists names, Corvanel lists the records of deleted files"),
    dict(id="ntfs-names-without-record", fs="ntfs", side="fls-only", fls_kind="-",
         reason="a name from a folder's index whose record fls cannot tie to it (r/-: the record was reused with "
                "a new sequence number, or cannot be read): fls lists the name alone, size 0; Corvanel lists "
                "records"),
    dict(id="ntfs-orphan-folder", fs="ntfs", side="same-name", fls_sub=[r"^\$OrphanFiles/", "?/"],
         reason="a file whose folder is gone or reused: The Sleuth Kit puts it in its virtual folder "
                "$OrphanFiles, Corvanel's path starts with ?/"),
    dict(id="ntfs-lost-name", fs="ntfs", side="same-name", fls_sub=[r"^\?/OrphanFile-(\d+)$", r"?/?\1"],
         cv_sub=[r"^(\?/)?\?(\d+)$", r"?/?\2"],
         reason="a record whose name was lost: The Sleuth Kit calls it OrphanFile-N, Corvanel ?N (N the record "
                "number)"),
    dict(id="fat-deleted-short-name", fs="fat32", side="same-name", component=SHORT_NAME, cv_sub=[r"^\ufffd", "_"],
         reason="a deleted short name's first byte is the deleted mark 0xE5: fls shows _, Corvanel the code "
                "page's reading of 0xE5 (U+FFFD in UTF-8)"),
    dict(id="fat-short-name-code-page", fs="fat32", side="same-name", component=SHORT_NAME, cv_sub=[r"\ufffd", "^"],
         reason="short names are stored in a code page: fls writes ^ for a byte above 0x7F, Corvanel reads it in "
                "its code page (UTF-8 unless --code-page), where such a byte alone is U+FFFD"),
    dict(id="fat-short-name-high-first-byte", fs="fat32", side="same-name", component=SHORT_NAME,
         fls_sub=[r"^\^", "_"],
         reason="a short name whose first byte is above 0x7F and not the deleted mark (an entry a deleted folder "
                "left live): fls writes ^, Corvanel the code page's reading, in UTF-8 the U+FFFD the rule for the "
                "deleted mark writes as _"),
    dict(id="fat-slot-padding-after-damaged-terminator", fs="fat32", side="same-name", component=r".*\uffff",
         fls_sub=[r"\uffff+$", ""],
         reason="a long name whose 0x0000 terminator a damaged slot lost: fls keeps the 0xFFFF padding units after "
                "it as U+FFFF characters at the name's end, Corvanel drops 0xFFFF units as padding"),
    dict(id="fat-orphans", fs="fat32", side="fls-only", fls_path=r"\$OrphanFiles/.*",
         reason="The Sleuth Kit also carves directory entries out of clusters no folder reaches; Corvanel walks "
                "the tree from the root"),
    dict(id="fat-entry-after-end-mark", fs="fat32", side="fls-only", needs="entry-after-end-mark",
         reason="an entry that lies after an end-of-folder mark (an entry whose first byte is 0, as a zeroed "
                "sector leaves) in its folder's cluster chain, or a file below a folder whose entry lies so: fls reads "
                "every cluster of the folder, Corvanel ends the folder at the mark as FAT says"),
    dict(id="fat-deleted-folder-past-first-cluster", fs="fat32", side="corvanel-only", cv_path=r".+/.+",
         needs="below-one-cluster-deleted-folder",
         reason="a file in a deleted folder (or below one) whose entries go on past the folder's first cluster: "
                "The Sleuth Kit reads a deleted folder's first cluster only (its chain is freed), Corvanel reads on "
                "along the volume while the clusters are free and hold entries"),
    dict(id="fat-long-name-over-15-slots", fs="fat32", side="same-file", needs="long-name-cut-by-fls",
         reason="a long name of more than 15 slots (over 195 characters): fls leaves out its last slot (the one "
                "marked last, which comes first on disk) and shows the name cut to 13 characters a slot; Corvanel "
                "gives the whole name"),
    dict(id="fat-long-name-checksum", fs="fat32", side="same-file", needs="long-name-checksum-mismatch",
         reason="long-name slots whose checksums do not all match the short entry's name (a damaged slot or "
                "entry): fls joins the slots that match and drops the rest, Corvanel takes the short name"),
    dict(id="fat-folder-long-name-checksum", fs="fat32", side="same-file", needs="folder-long-name-checksum-mismatch",
         reason="a file in a folder whose long-name slots do not all carry the checksum of the folder's short entry "
                "(a damaged slot or entry): fls names the folder from the slots, Corvanel by its short name, as "
                "fat-long-name-checksum does for a file's own name"),
    dict(id="fat-slot-order-damaged", fs="fat32", side="same-file", needs="slot-left-out-by-fls",
         reason="a long-name slot whose order byte is damaged but whose checksum is the name's: fls leaves its 13 "
                "characters out of the name, Corvanel keeps them"),
    dict(id="fat-short-entry-without-slots", fs="fat32", side="same-file", needs="short-entry-without-slots",
         reason="a deleted short entry with no long-name slot right before it, in a damaged folder: fls gives it "
                "a long name put together from other entries' slots, Corvanel its own short name"),
    dict(id="fat-reused-clusters", fs="fat32", side="content", status="reused-clusters",
         reason="a deleted FAT file's clusters are taken again: icat skips the taken clusters (or gives one "
                "cluster when the first is taken), Corvanel reads the file's stretch as it lies and says so"),
    dict(id="ntfs-initialized-past-size", fs="ntfs", side="content", status="whole", needs="initialized-past-size",
         reason="a damaged record whose initialized size is larger than its size, which no file has: The Sleuth "
                "Kit gives zeros for the whole file, Corvanel bounds the initialized size by the size and recovers "
                "what the runs hold"),
    dict(id="ntfs-compressed-reused-clusters", fs="ntfs", side="content", status="reused-clusters",
         needs="compressed",
         reason="a compressed file whose clusters another file holds now: both decode that file's bytes as "
                "LZNT1, and what is not LZNT1 each decoder treats its own way (The Sleuth Kit may copy a unit as "
                "it lies); the bytes are not the deleted file's either way, and Corvanel says so"),
    dict(id="partial", fs="*", side="not-compared", status="partial",
         reason="Corvanel says it could not read or locate all of the file"),
]

SIDES = {"fls-only", "corvanel-only", "same-name", "same-file", "size", "content", "not-compared"}


def check_known_table(known):
    """Every entry names its side, file system and reason, and narrows its side."""
    for rule in known:
        assert rule.get("reason") and rule.get("id") and rule.get("fs"), rule
        assert rule["side"] in SIDES, rule
        narrowing = {"fls-only": ("fls_path", "fls_kind", "realloc", "needs"), "corvanel-only": ("cv_path",),
                     "same-name": ("fls_sub", "cv_sub"), "same-file": ("needs",), "size": ("needs",),
                     "content": ("status",),
                     "not-compared": ("status",)}
        assert not rule.get("needs") or rule["needs"] in CONDITIONS, rule
        assert any(rule.get(k) for k in narrowing[rule["side"]]), f"{rule['id']}: a blanket rule"


# ---------------------------------------------------------------- listings

class FlsEntry:
    """One line of `fls -rdpl`."""

    def __init__(self, name_type, meta_type, inode, attr, path, size, realloc):
        self.name_type, self.meta_type, self.inode, self.attr = name_type, meta_type, inode, attr
        self.path, self.size, self.realloc = path, size, realloc

    def __repr__(self):
        return f"fls {self.name_type}/{self.meta_type} {self.inode}{'(realloc)' if self.realloc else ''} " \
               f"{self.path!r} {self.size}"


FLS_LINE = re.compile(r"^(\S)/(\S) (\* )?(\d+)((?:-\d+)*)(\(realloc\))?:\t(.*)$")


def parse_fls(text):
    entries = []
    for line in text.split("\n"):
        m = FLS_LINE.match(line)
        if not m or not m.group(3):  # not deleted (-d lists only those, but a torn line may slip in)
            continue
        fields = m.group(7).rsplit("\t", 7)
        path = fields[0]
        size = int(fields[5]) if len(fields) == 8 and fields[5].isdigit() else None
        entries.append(FlsEntry(m.group(1), m.group(2), int(m.group(4)), m.group(5).lstrip("-"), path, size,
                                bool(m.group(6))))
    return entries


class CvEntry:
    """One line of `corvanel-cli scan --json`."""

    def __init__(self, obj):
        self.index, self.name, self.dir, self.size = obj["index"], obj["name"], obj["path"], obj["size"]
        self.free, self.modified = obj.get("free"), obj.get("modified")
        self.path = (self.dir.rstrip("/") + "/" + self.name) if self.dir else self.name

    def __repr__(self):
        return f"corvanel #{self.index} {self.path!r} {self.size}"


def parse_scan(text):
    """The files listed; a line on a stretch the scan could not read lists none."""
    lines = [json.loads(line) for line in text.splitlines() if line.strip()]
    return [CvEntry(line) for line in lines if "unreadable" not in line]


class Disagreement:
    def __init__(self, kind, detail, hint=""):
        self.kind, self.detail, self.hint = kind, detail, hint

    def __str__(self):
        return f"{self.kind}: {self.detail}" + (f"  [{self.hint}]" if self.hint else "")


class Comparison:
    """Matches the listings under the KNOWN rules; counts each rule's use."""

    def __init__(self, fs, known=None, image=None):
        self.fs, self.image = fs, image
        self.folders, self.names, self.live, self.records = {}, None, None, None
        self.folder_sizes = {}
        self.orphans_fail = None
        self.rules = [r for r in (KNOWN if known is None else known) if r["fs"] in ("*", fs)]
        self.used = collections.Counter()
        self.disagreements = []
        self.pairs = []  # (FlsEntry, CvEntry)

    def rules_for(self, side):
        return [r for r in self.rules if r["side"] == side]

    def rename(self, path, key):
        """The path as the same-name rules write it, and the rules that changed it."""
        applied = []
        for rule in self.rules_for("same-name"):
            if not rule.get(key):
                continue
            pattern, replacement = rule[key]
            if rule.get("component"):  # only in the path components the rule is about
                parts = [re.sub(pattern, replacement, part) if re.fullmatch(rule["component"], part) else part
                         for part in path.split("/")]
                new = "/".join(parts)
            else:
                new = re.sub(pattern, replacement, path)
            if new != path:
                applied.append(rule["id"])
                path = new
        return path, applied

    def excused_fls(self, entry, listed):
        for rule in self.rules_for("fls-only"):
            if "fls_kind" in rule and entry.meta_type != rule["fls_kind"]:
                continue
            if "realloc" in rule and entry.realloc != rule["realloc"]:
                continue
            if "fls_path" in rule and not re.fullmatch(rule["fls_path"], entry.path):
                continue
            if "needs" in rule and not CONDITIONS[rule["needs"]](entry, listed, self):
                continue
            self.used[rule["id"]] += 1
            return True
        return False

    def excused_cv(self, entry):
        for rule in self.rules_for("corvanel-only"):
            if re.fullmatch(rule["cv_path"], entry.path) and \
                    ("needs" not in rule or CONDITIONS[rule["needs"]](entry, None, self)):
                self.used[rule["id"]] += 1
                return True
        return False

    def listings(self, fls, cv):
        self.folders = {e.path: e.inode for e in fls if e.meta_type == "d"}
        self.folder_sizes = {e.path: e.size for e in fls if e.meta_type == "d"}
        files = []
        for entry in fls:
            if entry.meta_type == "r" or (entry.meta_type == "-" and entry.name_type == "r"):
                if entry.realloc and self.excused_fls(entry, fls):
                    continue
                files.append(entry)
            elif not self.excused_fls(entry, fls):
                self.disagreements.append(Disagreement("fls-kind", f"{entry}: neither a file nor excused"))
        groups = collections.defaultdict(lambda: ([], []))
        for entry in files:
            entry.key, entry.rules = self.rename(entry.path, "fls_sub")
            groups[entry.key][0].append(entry)
        for entry in cv:
            entry.key, entry.rules = self.rename(entry.path, "cv_sub")
            groups[entry.key][1].append(entry)
        lonely_fls, lonely_cv = [], []
        for key, (f, c) in groups.items():
            f, c = list(f), list(c)
            # Equal sizes first, then whatever is left side by side.
            for a in list(f):
                b = next((b for b in c if b.size == a.size), None)
                if b:
                    f.remove(a)
                    c.remove(b)
                    self.pair(a, b)
            while f and c:
                a, b = f.pop(0), c.pop(0)
                self.pair(a, b)
                rule = next((r for r in self.rules_for("size") if CONDITIONS[r["needs"]](a, b, self)), None)
                if rule:
                    self.used[rule["id"]] += 1
                else:
                    self.disagreements.append(Disagreement("size", f"{key!r}: fls {a.size} (inode {a.inode}), "
                                                                   f"corvanel {b.size} (#{b.index})"))
            lonely_fls += f
            lonely_cv += c
        for rule in self.rules_for("same-file"):
            for a in list(lonely_fls):
                b = next((b for b in lonely_cv if CONDITIONS[rule["needs"]](a, b, self)), None)
                if b:
                    lonely_fls.remove(a)
                    lonely_cv.remove(b)
                    self.pairs.append((a, b))
                    self.used[rule["id"]] += 1
        lonely_fls = [e for e in lonely_fls if not self.excused_fls(e, fls)]
        lonely_cv = [e for e in lonely_cv if not self.excused_cv(e)]
        # What is left and alike (one name, written otherwise: the case, a
        # character) is one disagreement, and its bytes are still compared.
        for alike in (lambda e: e.key.casefold(), lambda e: (e.size, [loose(p) for p in e.key.split("/")])):
            for a in list(lonely_fls):
                b = next((b for b in lonely_cv if alike(b) == alike(a) and b.size == a.size), None)
                if b:
                    lonely_fls.remove(a)
                    lonely_cv.remove(b)
                    self.pair(a, b)
                    self.disagreements.append(Disagreement(
                        "name", f"fls {a.path!r} (inode {a.inode}), corvanel {b.path!r} (#{b.index})",
                        name_hint(a.key, b.key)))
        for entry in lonely_fls:
            self.disagreements.append(Disagreement("missing", f"fls lists {entry.path!r} (inode {entry.inode}, "
                                                   f"{entry.size} bytes); corvanel does not",
                                                   hint_for(entry.path, [e.path for e in lonely_cv])))
        for entry in lonely_cv:
            self.disagreements.append(Disagreement("extra", f"corvanel lists {entry.path!r} (#{entry.index}, "
                                                   f"{entry.size} bytes); fls does not",
                                                   hint_for(entry.path, [e.path for e in lonely_fls])))

    def pair(self, a, b):
        self.pairs.append((a, b))
        self.used.update(a.rules + b.rules)

    def content(self, fls_entry, cv_entry, recovered, ours, theirs):
        """ours: the recovered bytes; theirs: icat's. recovered: the recover line."""
        status = recovered.get("status")
        for rule in self.rules_for("not-compared"):
            if rule["status"] == status:
                self.used[rule["id"]] += 1
                return
        if ours == theirs:
            return
        for rule in self.rules_for("content"):
            if rule["status"] == status and ("needs" not in rule or CONDITIONS[rule["needs"]](fls_entry, cv_entry, self)):
                self.used[rule["id"]] += 1
                return
        at = next((i for i, (a, b) in enumerate(zip(ours, theirs)) if a != b), min(len(ours), len(theirs)))
        self.disagreements.append(Disagreement(
            "content", f"{cv_entry.path!r} (#{cv_entry.index}, inode {fls_entry.inode}, {status}): corvanel "
                       f"{len(ours)} bytes, icat {len(theirs)}; first difference at {at}",
            content_hint(ours, theirs, at)))


def stream_of_listed_file(entry, listed, _comparison):
    base = entry.path.rsplit(":", 1)[0]
    return any(other.inode == entry.inode and other.path == base for other in listed)


def record_without_data(entry, _listed, comparison):
    """A regular file of size 0 whose record istat shows with a name and
    neither $DATA nor an attribute list."""
    if comparison.image is None or entry.size != 0 or entry.meta_type != "r":
        return False
    rc, out, _ = run(["istat", "-f", "ntfs", comparison.image, str(entry.inode)])
    text = out.decode(errors="replace")
    if rc != 0 or "\nAttributes:" not in text:
        return False
    attributes = text.split("\nAttributes:", 1)[1]
    return "Type: $FILE_NAME" in attributes and "Type: $DATA" not in attributes and \
        "Type: $ATTRIBUTE_LIST" not in attributes


def record_without_name(entry, _listed, comparison, data=True):
    """istat shows no $FILE_NAME in the record (and $DATA when data), nor in
    another record its attribute list names."""
    if comparison.image is None:
        return False
    rc, out, _ = run(["istat", "-f", "ntfs", comparison.image, str(entry.inode)])
    text = out.decode(errors="replace")
    if rc != 0 or "\nAttributes:" not in text:
        return False
    listed, attributes = text.split("\nAttributes:", 1)
    # A name the list puts in an extension record is gone when that record holds no $FILE_NAME now.
    elsewhere = [m for m in re.findall(r"Type: 48-\d+\s+MFT Entry: (\d+)", listed) if int(m) != entry.inode]
    if any(b"Type: $FILE_NAME" in run(["istat", "-f", "ntfs", comparison.image, m])[1] for m in elsewhere):
        return False
    return ("Type: $DATA" in attributes or not data) and "Type: $FILE_NAME" not in attributes


def folder_written_as_unknown(fls_entry, cv_entry, comparison):
    """The record of folder P when Corvanel's ?/S is fls's P/S, else None."""
    if not cv_entry.path.startswith("?/") or fls_entry.size != cv_entry.size:
        return None
    rest = cv_entry.path[2:]
    if not fls_entry.path.endswith("/" + rest):
        return None
    return folder_inode(fls_entry.path[:-len(rest) - 1], comparison)


def folder_inode(folder, comparison):
    """The record of a folder by its path: from fls's listing, else ifind."""
    inode = comparison.folders.get(folder)
    if inode is None and comparison.image:
        rc, out, _ = run(["ifind", "-f", "ntfs", "-n", folder, comparison.image])
        inode = int(out.split(b"-")[0]) if rc == 0 and out.split(b"-")[0].strip().isdigit() else None
    return inode


def folder_without_name(fls_entry, cv_entry, comparison):
    """Corvanel's ?/S is fls's P/S, and the record of folder P keeps no name."""
    inode = folder_written_as_unknown(fls_entry, cv_entry, comparison)
    return inode is not None and record_without_name(FlsEntry("d", "d", inode, "", "", 0, False), [], comparison,
                                                     data=False)


def folder_signature_damaged(fls_entry, cv_entry, comparison):
    """Corvanel's ?/S is fls's P/S, and the record of folder P does not begin
    with "FILE" or anything one bit from it."""
    inode = folder_written_as_unknown(fls_entry, cv_entry, comparison)
    file = int.from_bytes(b"FILE", "little")
    return inode is not None and comparison.image is not None and any(
        number == inode and bin(int.from_bytes(record[:4], "little") ^ file).count("1") > 1
        for number, record in mft_records(comparison.image))


def folder_name_from_its_record(fls_entry, cv_entry, comparison):
    """Same name and size; each folder on the path where the two differ is,
    at fls's inode for it, a record whose own name is Corvanel's, of the
    length fls gives."""
    mine, theirs = cv_entry.path.split("/"), fls_entry.path.split("/")
    if len(mine) != len(theirs) or mine[-1] != theirs[-1] or mine == theirs or fls_entry.size != cv_entry.size \
            or comparison.image is None:
        return False
    records = None
    for depth, (a, b) in enumerate(zip(theirs[:-1], mine[:-1])):
        if a == b:
            continue
        inode = folder_inode("/".join(theirs[:depth + 1]), comparison)
        if len(a) != len(b) or inode is None:
            return False
        records = records or dict(mft_records(comparison.image))
        named = ntfs_record_name(records.get(inode, b""))
        if not named or named[0] != b:
            return False
    return True


def folder_fls_cannot_open(entry, _listed, comparison):
    """A deleted record of that name and size lies in a folder fls fails on."""
    if comparison.image is None:
        return False
    return any(folder_fls_fails(number, comparison) for number, _ in deleted_records_named(entry, comparison))


def deleted_records_named(entry, comparison):
    """(record, parent) of the deleted records that carry the entry's name."""
    if comparison.names is None:  # read once
        comparison.names = collections.defaultdict(set)
        for number, record in mft_records(comparison.image):
            found = ntfs_record_name(record)
            if found and not record[0x16] & 1:
                comparison.names[found[0]].add((number, found[1]))
    return comparison.names.get(entry.path.rsplit("/", 1)[-1], set())


def fls_lists_no_orphans(entry, _listed, comparison):
    """A deleted record carries the entry's name, and fls fails on $OrphanFiles."""
    if comparison.image is None or not deleted_records_named(entry, comparison):
        return False
    if comparison.orphans_fail is None:  # asked once
        rc, out, _ = run(["fls", "-f", "ntfs", comparison.image, "5"])
        folder = re.search(rb"V/V (\d+):\t\$OrphanFiles", out)
        comparison.orphans_fail = rc == 0 and folder is not None and \
            run(["fls", "-f", "ntfs", comparison.image, folder.group(1).decode()])[0] != 0
    return comparison.orphans_fail


def record_data_size(record):
    """Size of a record's unnamed $DATA when the walk of its attributes gets
    there, else None; "broken" when the walk breaks first. With the walk's end."""
    at = struct.unpack_from("<H", record, 0x14)[0]
    while at + 8 <= len(record):
        kind, length = struct.unpack_from("<II", record, at)
        if kind == 0xFFFFFFFF:
            return None, at
        if length < 24 or at + length > len(record):
            return "broken", at
        if kind == 0x80 and record[at + 9] == 0:
            if record[at + 8] == 0:
                return struct.unpack_from("<I", record, at + 0x10)[0], at + length
            return (struct.unpack_from("<Q", record, at + 0x30)[0] if length >= 0x40 else None), at + length
        at += length
    return "broken", at


def deleted_records(entry, comparison):
    """(number, bytes) of the deleted records that carry the entry's name."""
    numbers = {number for number, _ in deleted_records_named(entry, comparison)}
    return [(number, record) for number, record in mft_records(comparison.image) if number in numbers]


def record_refused_by_fls(entry, _listed, comparison):
    """istat fails on a deleted record of that name whose data attribute gives
    the entry's size; under a broken update sequence only when the attributes
    end before the first sector's last two bytes, which the fix-up would set."""
    if comparison.image is None:
        return False
    for number, record in deleted_records(entry, comparison):
        size, end = record_data_size(record)
        usa, count = struct.unpack_from("<HH", record, 4)
        fixed = 0x28 <= usa and usa + 2 * count <= 510 and count == 3
        if size == entry.size and (fixed or end <= 510) and \
                run(["istat", "-f", "ntfs", comparison.image, str(number)])[0] != 0:
            return True
    return False


def record_unread_by_fls(entry, _listed, comparison):
    """A deleted record of that name, its data attribute giving the entry's
    size, whose $STANDARD_INFORMATION says non-resident: istat shows it with
    no attribute at all."""
    if comparison.image is None:
        return False
    for number, record in deleted_records(entry, comparison):
        first = struct.unpack_from("<H", record, 0x14)[0]
        if record_data_size(record)[0] != entry.size or first + 9 > len(record) or \
                struct.unpack_from("<I", record, first)[0] != 0x10 or record[first + 8] == 0:
            continue
        rc, out, _ = run(["istat", "-f", "ntfs", comparison.image, str(number)])
        if rc == 0 and out.decode(errors="replace").rstrip().endswith("Attributes:"):
            return True
    return False


def name_of_other_link(fls_entry, cv_entry, comparison):
    """fls's P/S is Corvanel's ?/T: fls's record is deleted and holds the name
    T, not S, and T's folder is no folder now or another one (its sequence
    number is not the reference's, nor one more with the folder deleted)."""
    if comparison.image is None or fls_entry.size != cv_entry.size or cv_entry.path != "?/" + cv_entry.name:
        return False
    theirs = fls_entry.path.rsplit("/", 1)[-1]
    records = dict(mft_records(comparison.image))
    record = records.get(fls_entry.inode)
    if theirs == cv_entry.name or record is None or record[0x16] & 1:
        return False
    names = dict(ntfs_record_names(record))
    if theirs in names or cv_entry.name not in names:
        return False
    reference = names[cv_entry.name]
    folder = records.get(reference & 0xFFFFFFFFFFFF)
    if folder is None or not folder[0x16] & 2:
        return True
    sequence, was = struct.unpack_from("<H", folder, 0x10)[0], reference >> 48
    return not (sequence == was or (not folder[0x16] & 1 and sequence == (was + 1) & 0xFFFF))


def attributes_broken_before_data(entry, _listed, comparison):
    return comparison.image is not None and entry.size == 0 and any(
        record_data_size(record)[0] == "broken" for _, record in deleted_records(entry, comparison))


def orphan_below_named_folders(fls_entry, cv_entry, comparison):
    """fls's $OrphanFiles/S is Corvanel's ?/A/../B/S: up from the record, istat
    names the folders B, .., A, and the one above A it cannot read or name."""
    if comparison.image is None or not fls_entry.path.startswith("$OrphanFiles/") or fls_entry.size != cv_entry.size:
        return False
    name = fls_entry.path[len("$OrphanFiles/"):]
    if "/" in name or not cv_entry.path.startswith("?/") or not cv_entry.path.endswith("/" + name):
        return False
    folders = cv_entry.path[2:-len(name) - 1].split("/")
    if folders == [""]:
        return False
    inode = fls_entry.inode
    for folder in list(reversed(folders)) + [None]:
        rc, out, _ = run(["istat", "-f", "ntfs", comparison.image, str(inode)])
        parent = re.search(r"Parent MFT Entry: (\d+)", out.decode(errors="replace"))
        if rc != 0 or parent is None:
            return False
        inode = int(parent.group(1))
        rc, out, _ = run(["istat", "-f", "ntfs", comparison.image, str(inode)])
        found = re.search(r"\$FILE_NAME Attribute Values:\n(?:.*\n)*?Name: (.*)\n", out.decode(errors="replace"))
        if folder is None:
            return rc != 0 or found is None
        if rc != 0 or found is None or found.group(1) != folder:
            return False
    return False


def listed_record_without_name(entry, listed, comparison):
    """A ?N of Corvanel's: record N has data and no name."""
    number = re.fullmatch(r"\?(\d+)", entry.path)
    return number is not None and record_without_name(
        FlsEntry("r", "r", int(number.group(1)), "", "", 0, False), listed, comparison)


def in_nameless_folder(entry, _listed, comparison):
    return comparison.image is not None and any(
        record_without_name(FlsEntry("d", "d", parent, "", "", 0, False), [], comparison, data=False)
        for _, parent in deleted_records_named(entry, comparison))


def below_nameless_folder(entry, _listed, comparison):
    """Corvanel's ?/A/B/S: a deleted record S whose folder is named B, in A, in a folder that kept no name."""
    if comparison.image is None:
        return False
    if comparison.records is None:  # read once
        comparison.records = {number: ntfs_record_name(record) for number, record in mft_records(comparison.image)}
    folders = entry.path[2:].split("/")[:-1]
    for _, parent in deleted_records_named(entry, comparison):
        for name in reversed(folders):
            found = comparison.records.get(parent)
            if not found or found[0] != name:
                break
            parent = found[1]
        else:
            if record_without_name(FlsEntry("d", "d", parent, "", "", 0, False), [], comparison, data=False):
                return True
    return False


def size_past_allocation(entry, _listed, comparison):
    return comparison.image is not None and any(
        b"is less than size" in run(["istat", "-f", "ntfs", comparison.image, str(number)])[2]
        for number, _ in deleted_records_named(entry, comparison))


def slot_left_out_by_fls(fls_entry, cv_entry, _comparison):
    """The same file, where fls's last name is Corvanel's with one slot's 13
    characters (at a slot's place) left out."""
    fls_dir, _, fls_name = fls_entry.path.rpartition("/")
    cv_dir, _, cv_name = cv_entry.path.rpartition("/")
    if fls_dir != cv_dir or fls_entry.size != cv_entry.size or len(cv_name) != len(fls_name) + 13:
        return False
    return any(cv_name[:at] + cv_name[at + 13:] == fls_name for at in range(0, len(fls_name) + 1, 13))


def below_one_cluster_deleted_folder(entry, _listed, comparison):
    """A folder on the file's path that fls lists as deleted, one cluster long."""
    if comparison.image is None:
        return False
    with open(comparison.image, "rb") as f:
        boot = f.read(512)
    cluster = int.from_bytes(boot[11:13], "little") * boot[13]
    # fls writes a deleted folder's first byte as _, Corvanel as U+FFFD.
    parts = [re.sub(r"^\ufffd", "_", part) for part in entry.path.split("/")[:-1]]
    return any(0 < (comparison.folder_sizes.get("/".join(parts[:n])) or 0) <= cluster
               for n in range(1, len(parts) + 1))


def size_past_volume(entry, _listed, comparison):
    return comparison.image is not None and entry.size > os.path.getsize(comparison.image)


def orphaned_by_unreadable_folder(fls_entry, cv_entry, comparison):
    if comparison.image is None or not fls_entry.path.startswith("$OrphanFiles/") or fls_entry.size != cv_entry.size:
        return False
    if not cv_entry.path.endswith("/" + fls_entry.path[len("$OrphanFiles/"):]) or cv_entry.path.startswith("?/"):
        return False
    return folder_fls_fails(fls_entry.inode, comparison)


def folder_fls_fails(inode, comparison):
    """Up the folders of a record to the root: is there one fls cannot open?"""
    for _ in range(64):
        rc, out, _ = run(["istat", "-f", "ntfs", comparison.image, str(inode)])
        parent = re.search(r"Parent MFT Entry: (\d+)", out.decode(errors="replace"))
        if rc != 0 or parent is None or int(parent.group(1)) == inode:
            return False
        inode = int(parent.group(1))
        if run(["fls", "-f", "ntfs", comparison.image, str(inode)])[0] != 0:
            return True
        if inode == 5:
            return False
    return False


def entry_after_end_mark(entry, _listed, comparison):
    """Does the entry, or a folder on its path, lie after an end mark in its
    folder? The fls inode of a FAT entry is its place: (sector - first data
    sector) * 16 + index + 3; a folder after a mark hides all below it too."""
    if comparison.image is None:
        return False
    parts = entry.path.split("/")
    inode = entry.inode
    for depth in range(len(parts) - 1, -1, -1):
        folder = fat_folder_inode("/".join(parts[:depth]), comparison)
        if inode is None or folder is None:
            return False
        if after_end_mark(inode, folder, comparison):
            return True
        inode = folder
    return False


def fat_folder_inode(path, comparison):
    if not path:
        return 2  # the root folder
    inode = comparison.folders.get(path)
    if inode is None:
        rc, out, _ = run(["ifind", "-f", "fat32", "-n", path, comparison.image])
        inode = int(out) if rc == 0 and out.strip().isdigit() else None
    return inode


def after_end_mark(inode, folder, comparison):
    """Is entry `inode` after an entry whose first byte is 0 in folder `folder`'s chain?"""
    rc, out, _ = run(["istat", "-f", "fat32", comparison.image, str(folder)])
    text = out.decode(errors="replace")
    if rc != 0 or "Sectors:" not in text:
        return False
    sectors = [int(t) for t in text.split("Sectors:", 1)[1].split() if t.isdigit()]
    with open(comparison.image, "rb") as f:
        boot = f.read(512)
        first_data = struct.unpack_from("<H", boot, 0x0E)[0] + boot[0x10] * struct.unpack_from("<I", boot, 0x24)[0]
        at = ((inode - 3) // 16 + first_data, (inode - 3) % 16)
        for sector in sectors:
            f.seek(sector * 512)
            data = f.read(512)
            for index in range(16):
                if (sector, index) == at:
                    return False
                if data[index * 32:index * 32 + 1] == b"\0":
                    return at[0] in sectors
    return False


def long_name_cut_by_fls(fls_entry, cv_entry, comparison):
    mine, theirs = cv_entry.key.split("/"), fls_entry.key.split("/")
    if len(mine) != len(theirs) or fls_entry.size != cv_entry.size or mine == theirs:
        return False
    for a, b in zip(theirs, mine):
        slots = -(-len(b) // 13)
        if a != b and not (slots >= 16 and a == b[:13 * (slots - 1)]):
            return False
    return True


def name_cut_at_256_bytes(fls_entry, cv_entry, comparison):
    """Each of fls's path components is Corvanel's, or Corvanel's cut to
    256 bytes of UTF-8 (a character that does not fit left out whole), and
    one is cut."""
    mine, theirs = cv_entry.key.split("/"), fls_entry.key.split("/")
    if len(mine) != len(theirs) or fls_entry.size != cv_entry.size or mine == theirs:
        return False
    for a, b in zip(theirs, mine):
        cut = len(a.encode())
        if a != b and not (len(b.encode()) > 256 and 256 - 4 < cut <= 256 and b.startswith(a)):
            return False
    return True


def short_name_checksum(name11):
    total = 0
    for byte in name11:
        total = (((total & 1) << 7) + (total >> 1) + byte) & 0xFF
    return total


def written_short_name(short):
    """An entry's 8.3 name as the listings' keys write it: a byte above 0x7F as ^."""
    text = lambda part: "".join(chr(b) if 0x20 <= b < 0x80 else "^" for b in part.rstrip(b" "))
    return text(short[:8]) + ("." + text(short[8:11]) if short[8:11].rstrip(b" ") else "")


def short_entry_and_slots(fls_entry, cv_entry, comparison):
    """For a file fls names long and Corvanel by the short entry at fls's
    inode (same size, same folder): that entry and the checksums of the slots
    right before it; None otherwise."""
    if comparison.image is None or fls_entry.size != cv_entry.size:
        return None
    if fls_entry.key.rsplit("/", 1)[0:-1] != cv_entry.key.rsplit("/", 1)[0:-1]:
        return None
    return entry_named_short(fls_entry.inode, cv_entry.key.rsplit("/", 1)[-1], comparison)


def entry_named_short(inode, cv_name, comparison):
    """The FAT entry at fls inode `inode` and the checksums of the slots right
    before it, when cv_name is the entry's short name; None otherwise."""
    with open(comparison.image, "rb") as f:
        boot = f.read(512)
        first_data = struct.unpack_from("<H", boot, 0x0E)[0] + boot[0x10] * struct.unpack_from("<I", boot, 0x24)[0]
        at = (first_data + (inode - 3) // 16) * 512 + (inode - 3) % 16 * 32
        f.seek(at)
        short = f.read(32)
        slots = []
        for back in range(1, 21):
            f.seek(at - 32 * back)
            slot = f.read(32)
            if len(slot) < 32 or slot[11] != 0x0F:
                break
            slots.append(slot[13])
    if len(short) < 32 or cv_name[1:].upper() != written_short_name(short)[1:].upper():
        return None
    return short, slots


def slots_not_its_own(found, fls_name):
    """Do the slots of an entry found as above, which fls joins into fls_name,
    not all carry the short name's checksum?"""
    if not found or not found[1]:
        return False
    short, slots = found
    first = fls_name[:1].upper().encode("ascii", "replace")
    expected = short_name_checksum(first + short[1:11])
    return any(checksum != expected for checksum in slots)


def long_name_checksum_mismatch(fls_entry, cv_entry, comparison):
    """... whose long-name slots do not all carry the short name's checksum."""
    return slots_not_its_own(short_entry_and_slots(fls_entry, cv_entry, comparison), fls_entry.key.rsplit("/", 1)[-1])


def folder_long_name_checksum_mismatch(fls_entry, cv_entry, comparison):
    """A file both list (same name, same size) whose paths differ only in
    folders that fls names from long-name slots and Corvanel by the folder's
    short entry, whose checksum the slots do not all carry."""
    if comparison.image is None or fls_entry.size != cv_entry.size:
        return False
    theirs, mine, parts = fls_entry.key.split("/"), cv_entry.key.split("/"), fls_entry.path.split("/")
    if len(theirs) != len(mine) or len(parts) != len(theirs) or theirs[-1] != mine[-1] or theirs == mine:
        return False
    for n in range(len(theirs) - 1):
        if theirs[n] == mine[n]:
            continue
        inode = fat_folder_inode("/".join(parts[:n + 1]), comparison)
        if inode is None or not slots_not_its_own(entry_named_short(inode, mine[n], comparison), theirs[n]):
            return False
    return True


def short_entry_without_slots(fls_entry, cv_entry, comparison):
    """... whose short entry has no long-name slot before it."""
    found = short_entry_and_slots(fls_entry, cv_entry, comparison)
    return found is not None and not found[1]


def name_still_indexed(entry, _listed, comparison):
    if comparison.image is None:
        return False
    if comparison.live is None:  # fls's whole listing, read once
        out = run(["fls", "-f", "ntfs", "-rp", comparison.image])[1].decode(errors="replace")
        comparison.live = {m.group(2): int(m.group(1)) for m in re.finditer(r"^r/r (\d+)-128-\d+:\t(.*)$", out, re.M)}
    inode = comparison.live.get(entry.path)
    return inode is not None and \
        b"Not Allocated" in run(["istat", "-f", "ntfs", comparison.image, str(inode)])[1].split(b"Links")[0]


def compressed(fls_entry, _cv_entry, comparison):
    return comparison.image is not None and re.search(
        rb"Type: \$DATA \(128-\d+\)\s+Name: N/A\s+Non-Resident, Compressed",
        run(["istat", "-f", "ntfs", comparison.image, str(fls_entry.inode)])[1]) is not None


def initialized_past_size(fls_entry, _cv_entry, comparison):
    if comparison.image is None:
        return False
    found = re.search(rb"Type: \$DATA \(128-\d+\)\s+Name: N/A\s+Non-Resident[^\n]*size: (\d+)\s+init_size: (\d+)",
                      run(["istat", "-f", "ntfs", comparison.image, str(fls_entry.inode)])[1])
    return found is not None and int(found.group(2)) > int(found.group(1))


def fls_saw_no_data(fls_entry, cv_entry, comparison):
    if comparison.image is None or fls_entry.size != 0:
        return False
    rc, out, _ = run(["istat", "-f", "ntfs", comparison.image, str(fls_entry.inode)])
    attributes = out.decode(errors="replace").split("\nAttributes:", 1)
    return rc == 0 and len(attributes) == 2 and "Type: $DATA" not in attributes[1]


def mft_records(image):
    """(number, bytes) of the MFT's records, where istat says they lie."""
    rc, out, _ = run(["istat", "-f", "ntfs", image, "0"])
    parts = out.decode(errors="replace").split("Type: $DATA", 1)
    if rc != 0 or len(parts) < 2:
        return
    clusters = [int(t) for t in parts[1].split("\n", 1)[1].split() if t.isdigit()]
    with open(image, "rb") as f:
        boot = f.read(512)
        cluster = struct.unpack_from("<H", boot, 0x0B)[0] * boot[0x0D]
        if cluster < 512:
            return
        for number in range(len(clusters) * cluster // 1024):
            f.seek(clusters[number * 1024 // cluster] * cluster + number * 1024 % cluster)
            record = bytearray(f.read(1024))
            if len(record) == 1024 and record[:4] == b"FILE":  # the update sequence array's fix-up
                usa = struct.unpack_from("<H", record, 4)[0]
                if usa + 6 <= 1024:
                    record[510:512] = record[usa + 2:usa + 4]
                    record[1022:1024] = record[usa + 4:usa + 6]
            yield number, bytes(record)


def ntfs_record_name(record):
    """(name, parent record) of a record's first $FILE_NAME, or None."""
    for name, parent in ntfs_record_names(record):
        return name, parent & 0xFFFFFFFFFFFF
    return None


def ntfs_record_names(record):
    """(name, parent reference) of each $FILE_NAME of a record, as far as its
    attributes can be walked."""
    if record[:4] != b"FILE":
        return
    at = struct.unpack_from("<H", record, 0x14)[0]
    while at + 24 <= len(record):
        kind, length = struct.unpack_from("<II", record, at)
        if kind == 0xFFFFFFFF or length < 24 or at + length > len(record):
            return
        if kind == 0x30 and record[at + 8] == 0:
            value = at + struct.unpack_from("<H", record, at + 0x14)[0]
            if value + 0x42 > len(record):
                return
            size = record[value + 0x40] * 2
            parent = struct.unpack_from("<Q", record, value)[0]
            yield record[value + 0x42:value + 0x42 + size].decode("utf-16-le", errors="replace"), parent
        at += length


def inode_listed_elsewhere(entry, listed, comparison):
    return any(a.inode == entry.inode and a is not entry for a, _ in comparison.pairs)


CONDITIONS = {"stream-of-listed-file": stream_of_listed_file, "record-without-name": record_without_name,
              "initialized-past-size": initialized_past_size,
              "long-name-checksum-mismatch": long_name_checksum_mismatch,
              "folder-long-name-checksum-mismatch": folder_long_name_checksum_mismatch,
              "short-entry-without-slots": short_entry_without_slots,
              "listed-record-without-name": listed_record_without_name,
              "folder-without-name": folder_without_name, "inode-listed-elsewhere": inode_listed_elsewhere,
              "folder-signature-damaged": folder_signature_damaged,
              "folder-name-from-its-record": folder_name_from_its_record,
              "folder-fls-cannot-open": folder_fls_cannot_open,
              "orphaned-by-unreadable-folder": orphaned_by_unreadable_folder,
              "entry-after-end-mark": entry_after_end_mark, "name-cut-at-256-bytes": name_cut_at_256_bytes, "long-name-cut-by-fls": long_name_cut_by_fls,
              "size-past-allocation": size_past_allocation, "size-past-volume": size_past_volume,
              "slot-left-out-by-fls": slot_left_out_by_fls, "record-without-data": record_without_data,
              "below-one-cluster-deleted-folder": below_one_cluster_deleted_folder,
              "fls-saw-no-data": fls_saw_no_data,
              "name-still-indexed": name_still_indexed, "in-nameless-folder": in_nameless_folder,
              "below-nameless-folder": below_nameless_folder, "fls-lists-no-orphans": fls_lists_no_orphans,
              "record-refused-by-fls": record_refused_by_fls, "record-unread-by-fls": record_unread_by_fls,
              "name-of-other-link": name_of_other_link,
              "attributes-broken-before-data": attributes_broken_before_data,
              "orphan-below-named-folders": orphan_below_named_folders,
              "compressed": compressed}


def loose(part):
    """A name with its case and every character outside ASCII letters and
    digits let go, for pairing names written otherwise."""
    return re.sub(r"[^a-z0-9]", "", part.lower())


def name_hint(fls_path, cv_path):
    if fls_path.casefold() == cv_path.casefold():
        return "the case differs"
    return ""


def hint_for(path, others):
    """What the other side lists that looks like it, for the report."""
    name = path.rsplit("/", 1)[-1]
    for other in others:
        if other.lower() == path.lower():
            return f"the other side has it as {other!r}: the case differs"
    for other in others:
        if other.rsplit("/", 1)[-1] == name:
            return f"the other side has the name in {other!r}"
    for other in others:
        if other.rsplit("/", 1)[-1].lower()[1:] == name.lower()[1:]:
            return f"the other side has {other!r}"
    return ""


def content_hint(ours, theirs, at):
    if len(ours) == len(theirs) and not any(theirs[at:]) and any(ours[at:]):
        return "icat has zeros from there on (data past the initialized size?)"
    if len(ours) > len(theirs):
        return "corvanel wrote more"
    return ""


# ------------------------------------------------------------- subprocesses

def run(args, timeout=TIMEOUT, **kwargs):
    """(returncode, stdout, stderr); returncode None on a timeout."""
    try:
        p = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL, env=ENV,
                           timeout=timeout, **kwargs)
        return p.returncode, p.stdout, p.stderr
    except subprocess.TimeoutExpired as e:
        return None, e.stdout or b"", e.stderr or b""


class OpFailed(Exception):
    pass


def must(args):
    rc, out, err = run(args, timeout=60)
    if rc != 0:
        raise OpFailed(f"{os.path.basename(args[0])} exit {rc}: {err.decode(errors='replace').strip()[:200]}")
    return out


MOUNTS = []  # (process, directory) of the FUSE mounts this run holds


def unmount(process, directory):
    if os.path.ismount(directory):
        subprocess.run(["umount", directory], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if os.path.ismount(directory):
            subprocess.run(["umount", "-l", directory], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        process.wait(timeout=30)  # the daemon writes the last of it after umount returns
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def release_mounts():
    while MOUNTS:
        unmount(*MOUNTS.pop())


@contextlib.contextmanager
def fuse_mount(command, directory):
    os.makedirs(directory, exist_ok=True)
    # A session of its own: a Ctrl-C at the terminal reaches this script,
    # which unmounts, not the daemon in the middle of a write.
    process = subprocess.Popen(command + [directory], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               start_new_session=True)
    MOUNTS.append((process, directory))
    try:
        for _ in range(200):
            if os.path.ismount(directory):
                break
            if process.poll() is not None:
                raise OpFailed("could not mount: " + " ".join(command))
            time.sleep(0.02)
        else:
            raise OpFailed("mount timed out: " + " ".join(command))
        yield directory
    finally:
        MOUNTS.remove((process, directory))
        unmount(process, directory)


# ------------------------------------------------------------------ names

WORDS = ["report", "photo", "notes", "data", "backup", "readme", "setup", "draft", "old", "new", "final", "music",
         "x", "a", "Q", "tmp", "log", "img", "docs", "résumé", "naïve", "Straße", "übung", "café", "文件", "资料",
         "日本語", "Ωmega", "Привет", "ελληνικά", "한국어"]
EXTS = ["txt", "bin", "doc", "jpg", "TXT", "Bin", "tar.gz", "c", "longextension", "数据"]
NTFS_SPECIAL = [":", "*", "?", "<", ">", "|", "\\", '"', "😀", "\u00a0", "#", "%"]
FAT_SPECIAL = ["!", "#", "$", "%", "&", "'", "(", ")", "-", "@", "^", "_", "`", "{", "}", "~", "+", ",", ";", "=",
               "（", "）", "："]


def make_name(rng, fs):
    kind = rng.random()
    if kind < 0.25:  # an 8.3 name, upper, lower or mixed case
        base = "".join(rng.choice("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") for _ in range(rng.randint(1, 8)))
        ext = "".join(rng.choice("ABCDEFGHIJKLMNOPQRSTUVWXYZ") for _ in range(rng.randint(0, 3)))
        name = base + ("." + ext if ext else "")
        return rng.choice([name, name.lower(), name.capitalize()])
    parts = [rng.choice(WORDS) for _ in range(rng.randint(1, 4))]
    name = rng.choice([" ", "_", "-", "", "."]).join(parts)
    if rng.random() < 0.3:
        name += rng.choice(FAT_SPECIAL if fs.name == "fat32" else FAT_SPECIAL + NTFS_SPECIAL)
    if rng.random() < 0.15:  # long, up to the 255 a name may have
        name += "-" + "".join(rng.choice("abcdefghijklmnopqrstuvwxyz0123456789 ") for _ in range(rng.randint(60, 240)))
    if rng.random() < 0.7:  # else dotless
        name += "." + rng.choice(EXTS)
    name = name.strip() or "x"
    return name[:rng.choice([255, 255, 200, 120])].rstrip(" .") or "y"


def make_data(rng, size):
    if rng.random() < 0.3:  # compressible
        unit = rng.randbytes(rng.randint(1, 64))
        return (unit * (size // max(1, len(unit)) + 1))[:size]
    return rng.randbytes(size)


def random_size(rng):
    r = rng.random()
    if r < 0.05:
        return 0
    if r < 0.30:
        return rng.randint(1, 900)  # resident on NTFS
    if r < 0.75:
        return rng.randint(900, 65536)
    if r < 0.97:
        return rng.randint(65536, 600000)
    return rng.randint(600000, 2500000)


# ------------------------------------------------------------ file systems

class Model:
    """What the volume holds now, to pick operands from."""

    def __init__(self, case_sensitive):
        self.dirs, self.files, self.case_sensitive = [""], [], case_sensitive

    def key(self, path):
        return path if self.case_sensitive else path.lower()

    def taken(self, path):
        k = self.key(path)
        return any(self.key(p) == k for p in self.dirs + self.files)

    def under(self, folder):
        prefix = folder + "/"
        return [p for p in self.dirs + self.files if p == folder or p.startswith(prefix)]


def join(folder, name):
    return folder + "/" + name if folder else name


class NtfsOps:
    """Operations through an ntfs-3g mount."""

    def __init__(self, root):
        self.root = root

    def at(self, path):
        return os.path.join(self.root, path)

    def call(self, function, *args):
        try:
            return function(*args)
        except OSError as e:
            raise OpFailed(str(e))

    def mkdir(self, path):
        self.call(os.mkdir, self.at(path))

    def open(self, path):
        # Not blocking: an empty file with the system bit is a FIFO to ntfs-3g.
        return os.fdopen(os.open(self.at(path), os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NONBLOCK), "wb")

    def write(self, path, data):
        def put():
            with self.open(path) as f:
                f.write(data)
        self.call(put)

    def remove(self, path):
        self.call(os.remove, self.at(path))

    def rmtree(self, path):
        self.call(shutil.rmtree, self.at(path))

    def rename(self, old, new):
        self.call(os.rename, self.at(old), self.at(new))

    def attributes(self, path, bits):
        def put():
            now = int.from_bytes(os.getxattr(self.at(path), "system.ntfs_attrib_be"), "big")
            os.setxattr(self.at(path), "system.ntfs_attrib_be", ((now & 0x10) | bits).to_bytes(4, "big"))
        self.call(put)

    def link(self, old, new):
        self.call(os.link, self.at(old), self.at(new))

    def stream(self, path, name, data):
        self.call(os.setxattr, self.at(path), "user." + name, data)

    def sparse(self, path, pieces):
        def put():
            with self.open(path) as f:
                for offset, data in pieces:
                    f.seek(offset)
                    f.write(data)
        self.call(put)

    def truncate(self, path, size):
        self.call(os.truncate, self.at(path), size)

    def allocate(self, path, size):
        def put():
            fd = os.open(self.at(path), os.O_WRONLY | os.O_NONBLOCK)
            try:
                os.posix_fallocate(fd, 0, size)
            finally:
                os.close(fd)
        self.call(put)

    def free_bytes(self):
        s = os.statvfs(self.root)
        return s.f_bavail * s.f_frsize

    def cluster_bytes(self):
        return os.statvfs(self.root).f_bsize


class FatOps:
    """Operations through mtools, on the image itself."""

    def __init__(self, image, scratch):
        self.image, self.scratch = image, scratch

    def m(self, tool, *args):
        must([tool, "-i", self.image, *args])

    def mkdir(self, path):
        self.m("mmd", "::/" + path)

    def write(self, path, data):
        source = os.path.join(self.scratch, "data")
        with open(source, "wb") as f:
            f.write(data)
        self.m("mcopy", "-D", "o", source, "::/" + path)

    def remove(self, path):
        self.m("mdel", "::/" + path)

    def rmtree(self, path):
        self.m("mdeltree", "::/" + path)

    def rename(self, old, new):
        self.m("mmove", "-D", "s", "::/" + old, "::/" + new)

    def attributes(self, path, bits):
        flags = [("+" if bits & bit else "-") + letter for bit, letter in ((1, "r"), (2, "h"), (4, "s"), (0x20, "a"))]
        self.m("mattrib", *flags, "::/" + path)

    def forget_next_free(self):
        """mtools takes free clusters from the FSInfo hint on, past every
        cluster freed before it: without the hint it starts at the front and
        reuses them."""
        with open(self.image, "r+b") as f:
            boot = f.read(512)
            fsinfo = struct.unpack_from("<H", boot, 0x30)[0]
            f.seek(fsinfo * 512 + 0x1EC)
            f.write(struct.pack("<I", 0xFFFFFFFF))

    def free_bytes(self):
        return 8 << 20  # mtools says no space by failing


class Ntfs:
    name = "ntfs"
    case_sensitive = True
    features = {"link", "stream", "sparse", "compressed", "truncate", "allocate", "fragment", "names"}

    def create(self, image, rng, log):
        size = rng.choice([6, 8, 8, 12]) << 20
        cluster = rng.choice([512, 1024, 2048, 4096, 4096, 4096])
        log.append(f"mkntfs {size >> 20} MiB, {cluster}-byte clusters")
        with open(image, "wb") as f:
            f.truncate(size)
        must(["mkntfs", "-F", "-f", "-q", "-c", str(cluster), image])

    @contextlib.contextmanager
    def opened(self, image, work):
        with fuse_mount(["ntfs-3g", "-o", "no_detach", image], os.path.join(work, "mnt")) as root:
            yield NtfsOps(root)

    def damage_regions(self, image):
        """(label, offset, length) of the MFT's records past the system's."""
        rc, out, _ = run(["istat", "-f", "ntfs", image, "0"])
        if rc != 0:
            return []
        with open(image, "rb") as f:
            boot = f.read(512)
        cluster = struct.unpack_from("<H", boot, 0x0B)[0] * boot[0x0D]
        text = out.decode(errors="replace").split("Type: $DATA", 1)
        if len(text) < 2:
            return []
        m = re.search(r"size: (\d+)", text[1])
        clusters = [int(t) for t in text[1].split("\n", 1)[1].split() if t.isdigit()]
        records = int(m.group(1)) // 1024 if m else 0
        regions = []
        for record in range(24, records):
            c = clusters[record * 1024 // cluster] if record * 1024 // cluster < len(clusters) else None
            if c:
                regions.append((f"MFT record {record}", c * cluster + (record * 1024) % cluster, 1024))
        return regions


class Fat32:
    name = "fat32"
    case_sensitive = False
    features = {"reuse"}

    def create(self, image, rng, log):
        per_cluster = rng.choice([1, 1, 1, 2, 4])
        size = 34 * per_cluster << 20
        log.append(f"mkfs.fat {size >> 20} MiB, {per_cluster} sectors per cluster")
        with open(image, "wb") as f:
            f.truncate(size)
        must(["mkfs.fat", "-F", "32", "-s", str(per_cluster), "-i", "%08x" % rng.getrandbits(32), image])

    @contextlib.contextmanager
    def opened(self, image, work):
        yield FatOps(image, work)

    def damage_regions(self, image):
        """(label, offset, length) of the sectors of the folders, live and deleted."""
        rc, out, _ = run(["fls", "-f", "fat32", "-rpD", image])
        regions = []
        if rc != 0:
            return regions
        inodes = [line.split(":\t")[0].split()[-1] for line in out.decode(errors="replace").splitlines()
                  if ":\t" in line and not line.startswith("V/V")]
        for inode in inodes[:40]:
            rc, stat, _ = run(["istat", "-f", "fat32", image, inode])
            if rc == 0 and "Sectors:" in stat.decode(errors="replace"):
                for sector in stat.decode(errors="replace").split("Sectors:", 1)[1].split():
                    if sector.isdigit():
                        regions.append((f"directory sector {sector} (inode {inode})", int(sector) * 512, 512))
        return regions


FILE_SYSTEMS = {fs.name: fs for fs in (Ntfs(), Fat32())}


# ---------------------------------------------------------------- building

def build_volume(fs, image, work, rng, log):
    fs.create(image, rng, log)
    model = Model(fs.case_sensitive)
    with fs.opened(image, work) as ops:
        for _ in range(rng.randint(15, 70)):
            operate(fs, ops, model, rng, log)


def operate(fs, ops, model, rng, log):
    choices = [("mkdir", 12), ("write", 30), ("overwrite", 6), ("delete", 18), ("rmtree", 6), ("rename", 8),
               ("attributes", 6), ("burst", 1)]
    extra = {"link": 3, "stream": 3, "sparse": 3, "compressed": 2, "truncate": 3, "allocate": 1, "reuse": 5,
             "fragment": 1, "names": 1}
    choices += [(name, weight) for name, weight in extra.items() if name in fs.features]
    op = rng.choices([c for c, _ in choices], [w for _, w in choices])[0]
    folder = rng.choice(model.dirs)
    file = rng.choice(model.files) if model.files else None

    def fresh(where=folder):
        name = make_name(rng, fs)
        if file and rng.random() < 0.1 and os.path.dirname(file) == where:
            name = os.path.basename(file).swapcase()  # only the case differs
        return join(where, name)

    def forget(path):  # a write that failed half-way may have left the file there after all
        if path in model.files:
            model.files.remove(path)

    def attempt(text, action, *changes):
        try:
            action()
        except OpFailed as e:
            log.append(f"{text} -> failed: {e}")
            return False
        log.append(text)
        for change in changes:
            change()
        return True

    if op == "mkdir":
        path = fresh()
        if not model.taken(path):
            attempt(f"mkdir {path!r}", lambda: ops.mkdir(path), lambda: model.dirs.append(path))
    elif op in ("write", "overwrite"):
        path = file if op == "overwrite" and file else fresh()
        size = min(random_size(rng), max(0, ops.free_bytes() - (1 << 20)))
        data = make_data(rng, size)
        if op == "write" and model.taken(path):
            return
        attempt(f"write {path!r} {size} bytes", lambda: ops.write(path, data),
                lambda: None if path in model.files else model.files.append(path))
    elif op == "delete" and file:
        attempt(f"delete {file!r}", lambda: ops.remove(file), lambda: forget(file))
    elif op == "rmtree" and folder:
        gone = model.under(folder)
        attempt(f"rmtree {folder!r}", lambda: ops.rmtree(folder),
                lambda: [(model.dirs if p in model.dirs else model.files).remove(p) for p in gone])
    elif op == "rename":
        if file and rng.random() < 0.7:
            target = fresh(rng.choice(model.dirs))
            if model.taken(target):
                return
            attempt(f"rename {file!r} -> {target!r}", lambda: ops.rename(file, target),
                    lambda: model.files.__setitem__(model.files.index(file), target))
        elif folder:
            target = fresh(os.path.dirname(folder))
            if model.taken(target):
                return

            def moved():
                for i, p in enumerate(model.dirs):
                    if p == folder or p.startswith(folder + "/"):
                        model.dirs[i] = target + p[len(folder):]
                for i, p in enumerate(model.files):
                    if p.startswith(folder + "/"):
                        model.files[i] = target + p[len(folder):]
            attempt(f"rename folder {folder!r} -> {target!r}", lambda: ops.rename(folder, target), moved)
    elif op == "attributes":
        path = rng.choice(model.dirs[1:] + model.files) if len(model.dirs) + len(model.files) > 1 else None
        if path:
            bits = rng.choice([1, 2, 4, 0x20]) | rng.choice([0, 0, 1, 2, 4, 0x20])
            attempt(f"attributes {path!r} {bits:#x}", lambda: ops.attributes(path, bits))
    elif op == "burst":
        # Many small files, every other one deleted: a fragmented free space
        # for what is written next, and a grown MFT or folder.
        names = [join(folder, f"burst{rng.getrandbits(24):06x}-{i}") for i in range(rng.randint(20, 120))]
        made = []
        for i, path in enumerate(names):
            if not model.taken(path) and attempt(f"write {path!r} 3000 bytes",
                                                 lambda: ops.write(path, make_data(rng, 3000))):
                made.append(path)
                model.files.append(path)
        for path in made[::2]:
            attempt(f"delete {path!r}", lambda: ops.remove(path), lambda: forget(path))
    elif op == "link" and file:
        target = fresh(rng.choice(model.dirs))
        if not model.taken(target):
            attempt(f"link {file!r} -> {target!r}", lambda: ops.link(file, target), lambda: model.files.append(target))
    elif op == "stream" and file:
        name, data = make_name(rng, fs)[:40].replace(":", "_"), make_data(rng, random_size(rng) // 4)
        attempt(f"stream {file!r}:{name!r} {len(data)} bytes", lambda: ops.stream(file, name, data))
    elif op == "sparse":
        path = fresh()
        pieces = sorted((rng.randint(0, 3 << 20), make_data(rng, rng.randint(1, 20000)))
                        for _ in range(rng.randint(1, 4)))
        if not model.taken(path):
            attempt(f"sparse {path!r} {[(o, len(d)) for o, d in pieces]}", lambda: ops.sparse(path, pieces),
                    lambda: model.files.append(path))
    elif op == "compressed" and folder:
        attempt(f"attributes {folder!r} 0x800 (compress what is made in it)", lambda: ops.attributes(folder, 0x800))
    elif op == "truncate" and file:
        size = rng.choice([0, rng.randint(0, 4096), rng.randint(4096, 400000)])
        attempt(f"truncate {file!r} {size}", lambda: ops.truncate(file, size))
    elif op == "allocate" and file:
        size = rng.randint(4096, 300000)
        attempt(f"fallocate {file!r} {size}", lambda: ops.allocate(file, size))
    elif op == "fragment":
        # One-cluster files, every other deleted, then a file written into
        # the holes: so many extents that its run list may need extension
        # records (an attribute list); deleted again or not.
        unit = ops.cluster_bytes()
        small = [join(folder, f"frag{rng.getrandbits(24):06x}-{i}") for i in range(rng.randint(150, 400))]
        made = [p for p in small if not model.taken(p) and attempt(f"write {p!r} {unit} bytes",
                                                                    lambda p=p: ops.write(p, make_data(rng, unit)))]
        model.files += made
        for path in made[::2]:
            attempt(f"delete {path!r}", lambda: ops.remove(path), lambda: forget(path))
        path = fresh()
        if not model.taken(path):
            size = unit * len(made) // 2
            attempt(f"write {path!r} {size} bytes (fragmented)", lambda: ops.write(path, make_data(rng, size)),
                    lambda: model.files.append(path))
            if rng.random() < 0.6:
                attempt(f"delete {path!r}", lambda: ops.remove(path), lambda: forget(path))
    elif op == "names" and file:
        # So many names that they move to extension records.
        links = [join(rng.choice(model.dirs), make_name(rng, fs)[:60] + f"-{i}-" + "n" * rng.randint(50, 150))
                 for i in range(rng.randint(15, 40))]
        links = [p for p in links if not model.taken(p) and attempt(f"link {file!r} -> {p!r}",
                                                                    lambda p=p: ops.link(file, p))]
        model.files += links
        if rng.random() < 0.7:
            for path in [file] + links:
                attempt(f"delete {path!r}", lambda: ops.remove(path), lambda: forget(path))
    elif op == "reuse":
        attempt("forget the next-free hint", ops.forget_next_free)


# ----------------------------------------------------------------- damage

def damage(fs, image, rng, log):
    size = os.path.getsize(image)
    kind = rng.choice(["cut", "zero", "flip"])
    if kind == "cut":
        at = rng.randint(size // 4, size - 1)
        if rng.random() < 0.5:
            at -= at % 512
        os.truncate(image, at)
        log.append(f"damage: cut at {at} of {size}")
        return
    regions = fs.damage_regions(image)
    if not regions:
        log.append("damage: nothing to damage")
        return
    first = rng.randrange(len(regions))
    with open(image, "r+b") as f:
        if kind == "zero":
            count = rng.randint(1, 16)
            for label, offset, length in regions[first:first + count]:
                f.seek(offset)
                f.write(bytes(length))
            log.append(f"damage: zeroed {regions[first][0]} and {min(count, len(regions) - first) - 1} more after it")
        else:
            label, offset, length = regions[first]
            for _ in range(rng.randint(1, 8)):
                at = offset + rng.randrange(length)
                f.seek(at)
                byte = f.read(1)[0]
                f.seek(at)
                f.write(bytes([byte ^ (1 << rng.randrange(8))]))
                log.append(f"damage: flipped a bit at {at} ({label})")


# -------------------------------------------------------------- one volume

class Result:
    def __init__(self):
        self.disagreements, self.crashed, self.used = [], False, collections.Counter()
        self.compared = self.no_oracle = 0


def crashed(rc, err):
    return rc is None or rc < 0 or rc > 2 or b"Sanitizer" in err or b"runtime error:" in err


def check_volume(fs, image, work, cli):
    result = Result()
    outputs = {}
    rc, out, err = run(["fls", "-f", fs.name, "-rdpl", image])
    outputs["fls.txt"] = out + (f"\n# exit {rc}\n".encode()) + err
    fls = parse_fls(out.decode(errors="replace"))
    fls_ok = rc == 0

    rc, scan_out, scan_err = run([cli, "scan", image, "--json"])
    outputs["scan.json"] = scan_out + f"\n# exit {rc}\n".encode() + scan_err
    if crashed(rc, scan_err):
        result.crashed = True
        result.disagreements.append(Disagreement("crash", f"scan: exit {rc}: {scan_err.decode(errors='replace')[-500:]}"))
        return result, outputs
    try:
        cv = parse_scan(scan_out.decode())
    except (ValueError, KeyError) as e:
        result.disagreements.append(Disagreement("scan-output", f"not JSON lines: {e}"))
        return result, outputs
    files = [e for e in fls if e.meta_type == "r"]
    # 1 with a listing: parts of the volume could not be read, the rest is listed.
    if rc != 0 and not (rc == 1 and b'"unreadable"' in scan_out):
        # What fls lists is all missing then: one disagreement says so.
        if files:
            result.disagreements.append(Disagreement(
                "scan-failed", f"{scan_err.decode(errors='replace').strip()}; fls lists {len(files)} deleted files"))
        return result, outputs
    if [e.index for e in cv] != list(range(len(cv))):
        result.disagreements.append(Disagreement("scan-output", "indexes are not 0, 1, 2, ..."))
    check_scan_text(cli, image, cv, result)

    comparison = Comparison(fs.name, image=image)
    if fls_ok or fls:
        comparison.listings(fls, cv)
    else:
        result.no_oracle += 1  # fls could not read it: nothing to hold the listing against

    target = os.path.join(work, "recovered")
    rc, rec_out, rec_err = run([cli, "recover", image, "--to", target, "--all", "--yes", "--json"])
    outputs["recover.json"] = rec_out + f"\n# exit {rc}\n".encode() + rec_err
    if crashed(rc, rec_err):
        result.crashed = True
        result.disagreements.append(Disagreement("crash", f"recover: exit {rc}: {rec_err.decode(errors='replace')[-500:]}"))
    else:
        recovered = check_recover_output(rec_out, rc, cv, result)
        for fls_entry, cv_entry in comparison.pairs:
            line = recovered.get(cv_entry.index)
            if line is None:
                continue
            if line.get("status") == "skipped":
                continue
            path = line["path"]
            if line.get("overwritten"):
                path = recover_alone(cli, image, work, cv_entry.index)
                if path is None:
                    continue
            try:
                with open(path, "rb") as f:
                    ours = f.read()
            except OSError as e:
                result.disagreements.append(Disagreement("recover", f"#{cv_entry.index}: {path}: {e}"))
                continue
            irc, theirs, _ = run(["icat", "-f", fs.name, image, str(fls_entry.inode)])
            if irc != 0:
                result.no_oracle += 1
                continue
            result.compared += 1
            # Several deleted files of one path and size: any of them will do.
            twins = [f for f, c in comparison.pairs if c.path == cv_entry.path and f is not fls_entry and
                     f.size == fls_entry.size]
            if ours != theirs and any(run(["icat", "-f", fs.name, image, str(t.inode)])[1] == ours for t in twins):
                continue
            comparison.content(fls_entry, cv_entry, line, ours, theirs)
    result.disagreements += comparison.disagreements
    result.used = comparison.used
    return result, outputs


def printable(text):
    """A name as the text listing shows it: a backslash doubled, so that it
    never reads as an escape, and control characters (C0, DEL, C1) escaped."""
    named = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}
    out = []
    for c in text.replace("\\", "\\\\"):
        code = ord(c)
        if code < 0x20 or code == 0x7F or 0x80 <= code <= 0x9F:
            out.append(named.get(c, f"\\x{code:02x}"))
        else:
            out.append(c)
    return "".join(out)


def check_scan_text(cli, image, cv, result):
    """The scan for a person says what the JSON says: index, size, the
    modified time and the file as folder/name."""
    rc, out, _ = run([cli, "scan", image])
    lines = out.decode(errors="replace").splitlines()[1:-1]
    # 1: listed, with parts of the volume unreadable (said on stderr)
    if rc not in (0, 1) or len(lines) != len(cv):
        result.disagreements.append(Disagreement("scan-text", f"exit {rc}, {len(lines)} lines for {len(cv)} files"))
        return
    for line, entry in zip(lines, cv):
        m = re.fullmatch(r"\s*(\d+)\s+(\d+)\s+(\d+%|\?)  (.{16})  (.*)", line)
        shown = printable(entry.path)
        modified = (entry.modified or "?")[:16].replace("T", " ").ljust(16)
        if not m or m.group(1) != str(entry.index) or m.group(2) != str(entry.size) or m.group(4) != modified \
                or m.group(5) != shown:
            result.disagreements.append(Disagreement("scan-text", f"#{entry.index} {entry.path!r} shown as {line!r}"))


def check_recover_output(out, rc, cv, result):
    """The recover lines by index; notes files written over each other and
    exit statuses that do not fit what was reported."""
    lines = []
    for text in out.decode(errors="replace").splitlines():
        try:
            lines.append(json.loads(text))
        except ValueError:
            result.disagreements.append(Disagreement("recover-output", f"not JSON: {text[:200]!r}"))
    files = [line for line in lines if "index" in line]
    summary = next((line for line in lines if "summary" in line), None)
    by_index = {line["index"]: line for line in files}
    if summary is None:
        result.disagreements.append(Disagreement("recover-output", f"no summary (exit {rc})"))
    elif cv and summary["summary"] not in ("done", "incomplete"):
        result.disagreements.append(Disagreement("recover-stopped", f"{summary}"))
    missing = [e.index for e in cv if e.index not in by_index]
    if summary and summary["summary"] in ("done", "incomplete") and missing:
        result.disagreements.append(Disagreement("recover-output", f"no line for #{missing[:10]}"))
    last_at = {}
    for line in files:
        if line.get("status") == "skipped":
            continue
        earlier = last_at.get(line["path"])
        if earlier is not None:
            by_index[earlier]["overwritten"] = True
            result.disagreements.append(Disagreement(
                "overwritten", f"#{earlier} and #{line['index']} were both written to {line['path']!r}"))
        last_at[line["path"]] = line["index"]
    incomplete = [line["index"] for line in files if line.get("status") in ("partial", "skipped")]
    if incomplete and rc == 0:
        result.disagreements.append(Disagreement("exit-status", f"#{incomplete[:10]} partial or skipped, exit 0"))
    if not incomplete and rc != 0 and summary and summary["summary"] == "done":
        result.disagreements.append(Disagreement("exit-status", f"every file whole, exit {rc}"))
    return by_index


def recover_alone(cli, image, work, index):
    target = os.path.join(work, f"alone-{index}")
    rc, out, _ = run([cli, "recover", image, "--to", target, "--index", str(index), "--yes", "--json"])
    for text in out.decode(errors="replace").splitlines():
        line = json.loads(text)
        if line.get("index") == index and line.get("status") not in ("skipped", "partial"):
            return line["path"]
    return None


def one_volume(run_seed, k, fs_names, cli, out_dir, work_root):
    rng = random.Random(f"{run_seed}:{k}")
    fs = FILE_SYSTEMS[fs_names[k % len(fs_names)]]
    work = tempfile.mkdtemp(prefix=f"{fs.name}-{k}-", dir=work_root)
    image = os.path.join(work, fs.name + ".img")
    log = [f"volume {k} of seed {run_seed}: {fs.name}",
           f"again: /usr/bin/python3 tools/difftest.py 0 --seed {run_seed} --only {k} --fs {','.join(fs_names)}"]
    try:
        started = time.monotonic()
        signal.signal(signal.SIGALRM, on_build_timeout)
        signal.alarm(BUILD_TIMEOUT)  # a FUSE call that never returns must not end the run
        try:
            build_volume(fs, image, work, rng, log)
        finally:
            signal.alarm(0)
        if rng.random() < 0.35:
            damage(fs, image, rng, log)
        built = time.monotonic()
        result, outputs = check_volume(fs, image, work, cli)
        log.append(f"made in {built - started:.1f} s, checked in {time.monotonic() - built:.1f} s")
    except (OpFailed, BuildTimeout) as e:  # the volume could not be made at all: no test
        log.append(f"not made: {e}")
        result, outputs = Result(), {}
        result.no_oracle += 1
    except (Stop, KeyboardInterrupt):
        raise
    except Exception:  # a fault of this script: kept and counted, and the run goes on
        log.append("difftest itself failed:\n" + traceback.format_exc())
        result, outputs = Result(), {}
        result.disagreements.append(Disagreement("difftest-error", traceback.format_exc().strip().splitlines()[-1]))
    if result.disagreements:
        keep = os.path.join(out_dir, f"seed{run_seed}-{k}-{fs.name}")
        shutil.rmtree(keep, ignore_errors=True)
        os.makedirs(keep)
        if os.path.exists(image):
            subprocess.run(["cp", "--sparse=always", image, keep])
        for name, data in outputs.items():
            with open(os.path.join(keep, name), "wb") as f:
                f.write(data)
        with open(os.path.join(keep, "operations.txt"), "w") as f:
            f.write("\n".join(log) + "\n")
        with open(os.path.join(keep, "disagreements.txt"), "w") as f:
            f.write("\n".join(str(d) for d in result.disagreements) + "\n")
        if os.path.isdir(os.path.join(work, "recovered")):
            shutil.copytree(os.path.join(work, "recovered"), os.path.join(keep, "recovered"))
        result.kept = keep
    shutil.rmtree(work, ignore_errors=True)
    return fs, log, result


# ------------------------------------------------------------------- main

class Stop(Exception):
    pass


BUILD_TIMEOUT = 120  # seconds to make one volume


class BuildTimeout(Exception):
    pass


def on_build_timeout(_number, _frame):
    raise BuildTimeout(f"making the volume took more than {BUILD_TIMEOUT} s")


def on_signal(number, _frame):
    raise Stop(signal.Signals(number).name)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("seconds", type=float, nargs="?")
    parser.add_argument("--seed", type=int, default=None, help="the run's seed (default: from the clock, printed)")
    parser.add_argument("--only", type=int, default=None, help="make and check volume K of the seed alone")
    parser.add_argument("--fs", default=",".join(FILE_SYSTEMS), help="file systems, in turn (default: all)")
    parser.add_argument("--cli", default=os.path.join(ROOT, "build/linux/corvanel-cli"))
    parser.add_argument("--out", default=os.path.join(ROOT, "build/difftest"), help="where failing volumes are kept")
    parser.add_argument("--self-test", action="store_true", help="test the comparison itself, then exit")
    args = parser.parse_args(argv)
    if args.self_test:
        suite = unittest.defaultTestLoader.loadTestsFromTestCase(SelfTest)
        return 0 if unittest.TextTestRunner(verbosity=1).run(suite).wasSuccessful() else 1
    if args.seconds is None and args.only is None:
        parser.error("give SECONDS (or --only K)")
    check_known_table(KNOWN)
    fs_names = args.fs.split(",")
    for name in fs_names:
        if name not in FILE_SYSTEMS:
            parser.error(f"--fs: no {name!r} (there are {', '.join(FILE_SYSTEMS)})")
    if not os.access(args.cli, os.X_OK):
        print(f"difftest: no {args.cli}; build it first (cmake --build --preset linux --target corvanel-cli)",
              file=sys.stderr)
        return 2
    missing = [t for t in ("fls", "icat", "istat", "mkntfs", "ntfs-3g", "mkfs.fat", "mcopy") if not shutil.which(t)]
    if missing:
        print(f"difftest: missing {', '.join(missing)}", file=sys.stderr)
        return 2
    seed = args.seed if args.seed is not None else int(time.time()) % 100000
    os.makedirs(args.out, exist_ok=True)
    work_root = tempfile.mkdtemp(prefix="difftest-")
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, on_signal)
    print(f"difftest: seed {seed}, {', '.join(fs_names)}, {args.cli}", flush=True)
    volumes = disagreements = crashes = compared = no_oracle = 0
    used = collections.Counter()
    classes = collections.Counter()
    end = time.monotonic() + (args.seconds or 0)
    k = args.only if args.only is not None else 0
    try:
        while True:
            started = time.monotonic()
            fs, log, result = one_volume(seed, k, fs_names, args.cli, args.out, work_root)
            volumes += 1
            disagreements += len(result.disagreements)
            crashes += result.crashed
            compared += result.compared
            no_oracle += result.no_oracle
            used.update(result.used)
            classes.update(d.kind for d in result.disagreements)
            damaged = next((line for line in log if line.startswith("damage")), "")
            if result.disagreements:
                print(f"volume {k} ({fs.name}{', ' + damaged if damaged else ''}): {len(result.disagreements)} "
                      f"disagreement(s), kept in {result.kept} ({log[-1]})", flush=True)
                for d in result.disagreements[:8]:
                    print("   ", d, flush=True)
                if len(result.disagreements) > 8:
                    print(f"    ... {len(result.disagreements) - 8} more", flush=True)
            elif log[-1].startswith("not made"):
                print(f"volume {k} ({fs.name}): {log[-1]}", flush=True)
            else:
                print(f"volume {k} ({fs.name}{', ' + damaged if damaged else ''}): agree ({log[-1]})", flush=True)
            k += 1
            if args.only is not None or time.monotonic() >= end:
                break
    except Stop as e:
        print(f"difftest: stopped by {e}", file=sys.stderr)
        interrupted = True
    else:
        interrupted = False
    finally:
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(number, signal.SIG_IGN)  # a second Ctrl-C must not cut the clean-up short
        release_mounts()
        shutil.rmtree(work_root, ignore_errors=True)
    print(f"difftest: files compared byte for byte: {compared}; without an oracle (fls or icat failed): {no_oracle}")
    if used:
        print("difftest: known differences seen: " + ", ".join(f"{rule} {n}" for rule, n in sorted(used.items())))
    if classes:
        print("difftest: disagreements by kind: " + ", ".join(f"{c} {n}" for c, n in sorted(classes.items())))
    print(f"difftest: {volumes} volumes, {disagreements} disagreements" + (f" ({crashes} crashes)" if crashes else ""))
    return 1 if disagreements or crashes or interrupted else 0


# -------------------------------------------------------------- self-test

def fls_line(inode, path, size, kind="r/r", realloc=False, attr="128-2"):
    return f"{kind} * {inode}{'-' + attr if attr else ''}{'(realloc)' if realloc else ''}:\t{path}\t" + "\t".join(["t"] * 4) + \
           f"\t{size}\t0\t0"


def scan_line(index, path, name, size, fs="ntfs"):
    return json.dumps({"index": index, "name": name, "path": path, "size": size, "fs": fs, "free": 100})


class SelfTest(unittest.TestCase):
    def compare(self, fs, fls_lines, scan_lines):
        c = Comparison(fs)
        c.listings(parse_fls("\n".join(fls_lines)), parse_scan("\n".join(scan_lines)))
        return c

    def kinds(self, c):
        return sorted(d.kind for d in c.disagreements)

    def test_the_table_is_sound(self):
        check_known_table(KNOWN)
        with self.assertRaises(AssertionError):
            check_known_table([dict(id="all", fs="*", side="fls-only", reason="everything")])

    def test_equal_listings_agree(self):
        c = self.compare("ntfs", [fls_line(64, "a/b.txt", 5), fls_line(65, "c.bin", 7000)],
                         [scan_line(0, "a", "b.txt", 5), scan_line(1, "", "c.bin", 7000)])
        self.assertEqual(self.kinds(c), [])
        self.assertEqual(len(c.pairs), 2)

    def test_a_file_fls_lists_must_be_listed(self):
        c = self.compare("ntfs", [fls_line(64, "a/b.txt", 5), fls_line(65, "c.bin", 7000)],
                         [scan_line(0, "a", "b.txt", 5)])
        self.assertEqual(self.kinds(c), ["missing"])

    def test_nothing_more_may_be_listed(self):
        c = self.compare("ntfs", [fls_line(64, "a/b.txt", 5)],
                         [scan_line(0, "a", "b.txt", 5), scan_line(1, "a", "b.txt", 9)])
        self.assertEqual(self.kinds(c), ["extra"])

    def test_path_name_and_size_count(self):
        self.assertEqual(self.kinds(self.compare("ntfs", [fls_line(64, "a/b.txt", 5)], [scan_line(0, "b", "b.txt", 5)])),
                         ["extra", "missing"])
        self.assertEqual(self.kinds(self.compare("ntfs", [fls_line(64, "a/b.txt", 5)], [scan_line(0, "a", "B.txt", 5)])),
                         ["name"])  # one disagreement, still paired for the bytes
        self.assertEqual(self.kinds(self.compare("ntfs", [fls_line(64, "a/b.txt", 5)], [scan_line(0, "a", "c.txt", 5)])),
                         ["extra", "missing"])
        self.assertEqual(self.kinds(self.compare("ntfs", [fls_line(64, "a/b.txt", 5)], [scan_line(0, "a", "b.txt", 6)])),
                         ["size"])

    def test_known_differences_are_narrow(self):
        # An orphan folder maps to "?/", a lost name to "?N", a stream beside its file is not wanted...
        c = self.compare("ntfs", [fls_line(70, "$OrphanFiles/x.txt", 3), fls_line(71, "$OrphanFiles/OrphanFile-71", 3),
                                  fls_line(72, "s.bin", 4), fls_line(72, "s.bin:extra", 9, attr="128-5"),
                                  fls_line(17, "$OrphanFiles/OrphanFile-17", 0, kind="-/r", attr=""),
                                  fls_line(73, "old name", 2, realloc=True), fls_line(66, "gone", 56, kind="-/d")],
                         [scan_line(0, "?/", "x.txt", 3), scan_line(1, "?/", "?71", 3), scan_line(2, "", "s.bin", 4)])
        self.assertEqual(self.kinds(c), [])
        self.assertEqual(set(c.used), {"ntfs-orphan-folder", "ntfs-lost-name", "ntfs-named-streams",
                                       "ntfs-reserved-records", "ntfs-reallocated-names", "folders"})
        # ... but a colon in a name whose file is not listed, a reserved
        # record of another number, or "?/" on another file system is.
        c = self.compare("ntfs", [fls_line(72, "s.bin:extra", 9), fls_line(30, "$OrphanFiles/OrphanFile-30", 0)], [])
        self.assertEqual(self.kinds(c), ["missing", "missing"])
        c = self.compare("fat32", [fls_line(70, "$OrphanFiles/x.txt", 3)], [scan_line(0, "?/", "x.txt", 3)])
        self.assertEqual(self.kinds(c), ["extra"])
        # A lost name is ?N at the top as well, and only of record N.
        c = self.compare("ntfs", [fls_line(288, "$OrphanFiles/OrphanFile-288", 4096)], [scan_line(0, "", "?288", 4096)])
        self.assertEqual(self.kinds(c), [])
        c = self.compare("ntfs", [fls_line(288, "$OrphanFiles/OrphanFile-288", 4096)], [scan_line(0, "", "?289", 4096)])
        self.assertEqual(self.kinds(c), ["extra", "missing"])
        c = self.compare("ntfs", [fls_line(70, "_OO.TXT", 3)], [scan_line(0, "", "\ufffdOO.TXT", 3)])
        self.assertEqual(self.kinds(c), ["name"])

    def test_long_name_slots_of_a_damaged_short_entry(self):
        # A bit of the short entry's name flipped ('~' to 0xFE): the slots'
        # checksum is no longer its own, and Corvanel gives the short name.
        short = b"\xe5URSTD\xfe6   \x20" + bytes(16) + (3000).to_bytes(4, "little")
        slot = b"\xe5b\x00u\x00r\x00s\x00t\x00\x0f\x00\x8c" + bytes(18)
        with tempfile.NamedTemporaryFile() as image:
            boot = bytearray(512)
            boot[0x0E:0x10], boot[0x10], boot[0x24:0x28] = (32).to_bytes(2, "little"), 2, (16).to_bytes(4, "little")
            image.write(bytes(boot) + bytes(63 * 512) + slot + short + bytes(448))
            image.flush()
            for name, kinds in (("\ufffdURSTD\ufffd6", []), ("\ufffdURSTD~6", ["extra", "missing"])):
                c = Comparison("fat32", image=image.name)
                c.listings(parse_fls(fls_line(4, "d/burstd2d3ce-84", 3000, attr="")),
                           parse_scan(scan_line(0, "d", name, 3000, "fat32")))
                self.assertEqual(self.kinds(c), kinds, name)

    def test_long_name_slots_of_a_damaged_folder_entry(self):
        # A bit of a deleted folder's short name flipped ('_' to '^'): fls
        # names the folder from its slots, Corvanel by the short name.
        short = b"\xe5ATA__~1_^_\x10" + bytes(20)
        with tempfile.NamedTemporaryFile() as image:
            boot = bytearray(512)
            boot[0x0E:0x10], boot[0x10], boot[0x24:0x28] = (32).to_bytes(2, "little"), 2, (16).to_bytes(4, "little")
            for checksum, name, kinds in ((0xA0, "f.txt", []), (0x1F, "f.txt", ["extra", "missing"]),
                                          (0xA0, "g.txt", ["extra", "missing"])):
                slot = b"\xe5d\x00a\x00t\x00a\x00.\x00\x0f\x00" + bytes([checksum]) + bytes(18)
                image.seek(0)
                image.write(bytes(boot) + bytes(63 * 512) + slot + short + bytes(448))
                image.flush()
                c = Comparison("fat32", image=image.name)
                c.listings(parse_fls("\n".join([fls_line(4, "data.zz", 512, kind="d/d", attr=""),
                                                fls_line(20, "data.zz/f.txt", 7, attr="")])),
                           parse_scan(scan_line(0, "\ufffdATA__~1._^_", name, 7, "fat32")))
                self.assertEqual(self.kinds(c), kinds, (checksum, name))

    def test_a_slot_fls_leaves_out(self):
        name = "draftdataphot" + "odocs-iflopk\u0171" + "8pxiv6bxjjpfr" + "tail.txt"
        for cut, kinds in ((13, []), (12, ["extra", "missing"])):
            c = self.compare("fat32", [fls_line(9, "d/" + name[:cut] + name[cut + 13:], 7, attr="")],
                             [scan_line(0, "d", name, 7, "fat32")])
            self.assertEqual(self.kinds(c), kinds, cut)

    def test_padding_after_a_damaged_terminator(self):
        for fls_name, fs, kinds in (("a.b\u2000\uffff\uffff", "fat32", []), ("a\uffff.b\u2000", "fat32", ["name"]),
                                    ("a.b\u2000\uffff\uffff", "ntfs", ["name"])):
            c = self.compare(fs, [fls_line(9, "d/" + fls_name, 7, attr="")], [scan_line(0, "d", "a.b\u2000", 7, fs)])
            self.assertEqual(self.kinds(c), kinds, (fls_name, fs))

    def test_unreadable_stretches_list_no_file(self):
        text = scan_line(0, "", "a.txt", 5) + '\n{"unreadable":"records","first":1023,"count":122}'
        self.assertEqual([e.path for e in parse_scan(text)], ["a.txt"])

    def test_files_past_a_deleted_folders_first_cluster(self):
        with tempfile.NamedTemporaryFile() as image:
            boot = bytearray(512)
            boot[11:13], boot[13] = (512).to_bytes(2, "little"), 1
            image.write(bytes(boot))
            image.flush()
            for folder_size, kinds in ((512, []), (1024, ["extra"])):
                c = Comparison("fat32", image=image.name)
                c.listings(parse_fls(fls_line(9, "_D", folder_size, kind="d/d", attr="")),
                           parse_scan(scan_line(0, "\ufffdD", "x.txt", 7, "fat32")))
                self.assertEqual(self.kinds(c), kinds, folder_size)

    def test_a_fat_size_past_the_volume(self):
        with tempfile.NamedTemporaryFile() as image:
            image.write(bytes(4096))
            image.flush()
            for size, kinds in ((4097, []), (4096, ["extra"])):
                c = Comparison("fat32", image=image.name)
                c.listings([], parse_scan(scan_line(0, "d", "\ufffdQQF00U.OR", size, "fat32")))
                self.assertEqual(self.kinds(c), kinds, size)

    def test_files_below_a_folder_after_an_end_mark(self):
        # Folder a's first sector zeroed: b's entry, in a's second sector,
        # lies after the mark, and so does the deleted file in b.
        with tempfile.TemporaryDirectory() as work:
            image = os.path.join(work, "fat32.img")
            with open(image, "wb") as f:
                f.truncate(34 << 20)
            must(["mkfs.fat", "-F", "32", "-s", "1", image])
            ops = FatOps(image, work)
            ops.mkdir("a")
            for n in range(14):  # fills a's first sector after . and ..
                ops.write(f"a/f{n}", b"x")
            ops.mkdir("a/b")
            ops.write("a/b/gone.txt", b"y" * 700)
            ops.remove("a/b/gone.txt")
            sectors = run(["istat", "-f", "fat32", image, run(["ifind", "-f", "fat32", "-n", "a", image])[1].strip()])[1]
            first = int(sectors.split(b"Sectors:", 1)[1].split()[0])
            fls = parse_fls(run(["fls", "-f", "fat32", "-rdpl", image])[1].decode())
            self.assertEqual([e.path for e in fls], ["a/b/_one.txt"])
            for zeroed, kinds in ((False, ["missing"]), (True, [])):
                if zeroed:
                    with open(image, "r+b") as f:
                        f.seek(first * 512)
                        f.write(bytes(512))
                c = Comparison("fat32", image=image)
                c.listings(fls, [])
                self.assertEqual(self.kinds(c), kinds, zeroed)

    def test_records_fls_names_otherwise_or_reads_not(self):
        with tempfile.TemporaryDirectory() as work:
            image = os.path.join(work, "ntfs.img")
            with open(image, "wb") as f:
                f.truncate(4 << 20)
            must(["mkntfs", "-F", "-f", "-q", image])
            with Ntfs().opened(image, work) as ops:
                ops.mkdir("b")
                ops.write("b/g", b"g" * 5000)
                ops.write("d.bin", b"d" * 3000)
                ops.remove("b/g")
                ops.remove("d.bin")
            numbers = {name: number for number, record in mft_records(image)
                       for name, _ in [ntfs_record_name(record) or ("", 0)]}
            folder, g, d = numbers["b"], numbers["g"], numbers["d.bin"]

            def patch(number, offset, value):
                out = run(["istat", "-f", "ntfs", image, "0"])[1].decode().split("Type: $DATA", 1)[1]
                clusters = [int(t) for t in out.split("\n", 1)[1].split() if t.isdigit()]
                with open(image, "r+b") as f:
                    boot = f.read(512)
                    cluster = struct.unpack_from("<H", boot, 0x0B)[0] * boot[0x0D]
                    f.seek(clusters[number * 1024 // cluster] * cluster + number * 1024 % cluster + offset)
                    f.write(bytes([value]))

            # fls names g's file from another link's index entry, a/f:
            # known when the record's folder b is another one now.
            def other_link(name):
                c = Comparison("ntfs", image=image)
                c.listings(parse_fls(fls_line(g, "a/f", 5000)), parse_scan(scan_line(0, "?/", name, 5000)))
                return self.kinds(c)
            self.assertEqual(other_link("g"), ["extra", "missing"])  # b is still the folder g's name names
            patch(folder, 0x10, 9)  # b's sequence number: a folder made in its record since
            self.assertEqual(other_link("g"), [])
            self.assertEqual(other_link("h"), ["extra", "missing"])
            # b's own record names it "c" (a flipped bit): fls names it from its parent's index.
            def renamed(shown):
                c = Comparison("ntfs", image=image)
                c.listings(parse_fls(fls_line(g, "b/g", 5000)), parse_scan(scan_line(0, shown, "g", 5000)))
                return self.kinds(c)
            self.assertEqual(renamed("c"), ["extra", "missing"])
            at = dict(mft_records(image))[folder].index("b".encode("utf-16-le"), 0x98)
            patch(folder, at, ord("c"))
            self.assertEqual(renamed("c"), [])
            self.assertEqual(renamed("e"), ["extra", "missing"])
            # A $STANDARD_INFORMATION said non-resident: The Sleuth Kit reads no attribute of the record.
            first = struct.unpack_from("<H", dict(mft_records(image))[d], 0x14)[0]
            for flag, size, kinds in ((0, 3000, ["extra"]), (1, 3000, []), (1, 2999, ["extra"])):
                patch(d, first + 8, flag)
                c = Comparison("ntfs", image=image)
                c.listings([], parse_scan(scan_line(0, "", "d.bin", size)))
                self.assertEqual(self.kinds(c), kinds, (flag, size))

    def test_long_names_fls_cuts(self):
        name = "n" * 190 + "tail.txt"  # 198 characters, 16 slots: fls shows 15
        c = self.compare("fat32", [fls_line(21, "d/" + name[:195], 5, attr="")], [scan_line(0, "d", name, 5, "fat32")])
        self.assertEqual(self.kinds(c), [])
        self.assertEqual(set(c.used), {"fat-long-name-over-15-slots"})
        name = "n" * 180 + "tail.txt"  # 15 slots: fls shows it whole, a cut one is a disagreement
        c = self.compare("fat32", [fls_line(21, "d/" + name[:182], 5, attr="")], [scan_line(0, "d", name, 5, "fat32")])
        self.assertEqual(self.kinds(c), ["extra", "missing"])

    def test_ntfs_names_fls_cuts_at_256_bytes(self):
        name = "café Привет " * 20 + "tail.bin"  # 248 characters, 380 bytes of UTF-8
        cut = name.encode()[:256].decode(errors="ignore")
        c = self.compare("ntfs", [fls_line(76, "d/" + cut, 5)], [scan_line(0, "d", name, 5)])
        self.assertEqual(self.kinds(c), [])
        self.assertEqual(set(c.used), {"ntfs-name-over-256-bytes"})
        self.assertEqual(len(c.pairs), 1)  # its bytes are still compared
        # Cut shorter, or a name within 256 bytes cut at all: a disagreement.
        for theirs, mine in ((cut[:-5], name), ("é" * 127, "é" * 127 + "x")):
            c = self.compare("ntfs", [fls_line(76, "d/" + theirs, 5)], [scan_line(0, "d", mine, 5)])
            self.assertEqual(self.kinds(c), ["extra", "missing"])

    def test_fat_deleted_short_names(self):
        c = self.compare("fat32", [fls_line(21, "_IR/_OO.TXT", 5, attr="")],
                         [scan_line(0, "\ufffdIR", "\ufffdOO.TXT", 5, "fat32")])
        self.assertEqual(self.kinds(c), [])
        c = self.compare("fat32", [fls_line(21, "dir/_oo.txt", 5, attr="")], [scan_line(0, "dir", "\ufffdOO.TXT", 5, "fat32")])
        self.assertEqual(self.kinds(c), ["name"])  # the case flags are not a known difference
        c = self.compare("fat32", [fls_line(7, "_^SUM^~1.__", 5, attr="")], [scan_line(0, "", "\ufffd\ufffdSUM\ufffd~1.__", 5, "fat32")])
        self.assertEqual(self.kinds(c), [])
        c = self.compare("fat32", [fls_line(7, "^long name^.txt", 5, attr="")], [scan_line(0, "", "\ufffdlong name\ufffd.txt", 5, "fat32")])
        self.assertEqual(self.kinds(c), ["name"])  # a long name is no short name
        # A live entry of a deleted folder whose first byte is a code page's.
        c = self.compare("fat32", [fls_line(7, "_IR/^^f^.TXT", 5, attr="")],
                         [scan_line(0, "\ufffdIR", "\ufffd\ufffdf\ufffd.TXT", 5, "fat32")])
        self.assertEqual(self.kinds(c), [])

    def test_content(self):
        c = Comparison("ntfs")
        a, b = parse_fls(fls_line(64, "a", 3))[0], parse_scan(scan_line(0, "", "a", 3))[0]
        c.content(a, b, {"status": "whole"}, b"abc", b"abc")
        self.assertEqual(self.kinds(c), [])
        c.content(a, b, {"status": "whole"}, b"abc", b"abd")
        self.assertEqual(self.kinds(c), ["content"])
        c.content(a, b, {"status": "partial"}, b"ab\0", b"abc")
        c.content(a, b, {"status": "reused-clusters"}, b"xyz", b"abc")  # excused on FAT32 only
        self.assertEqual(self.kinds(c), ["content", "content"])
        f = Comparison("fat32")
        f.content(a, b, {"status": "reused-clusters"}, b"xyz", b"abc")
        self.assertEqual(self.kinds(f), [])

    def test_recover_output(self):
        r = Result()
        cv = parse_scan("\n".join([scan_line(0, "", "a", 1), scan_line(1, "d", "a", 1), scan_line(2, "", "b", 1)]))
        lines = [{"index": 0, "path": "/o/a", "status": "whole"}, {"index": 1, "path": "/o/a", "status": "whole"},
                 {"index": 2, "path": "/o/b", "status": "partial"}, {"summary": "done"}]
        by_index = check_recover_output("\n".join(json.dumps(line) for line in lines).encode(), 0, cv, r)
        self.assertTrue(by_index[0].get("overwritten"))
        self.assertEqual(sorted(d.kind for d in r.disagreements), ["exit-status", "overwritten"])


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

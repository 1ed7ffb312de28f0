#!/usr/bin/python3
"""Realistic faults, injected one at a time into a scratch copy of the
sources; the suites that guard each are run and must fail. Run by hand after
changing an engine (not in CI): every mutant must be caught.

usage: tools/mutants.py [NAME ...]     (default: all; --list to list them)
"""
import os
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# one scratch copy per checkout, so that two checkouts can run side by side
SCRATCH = os.environ.get("CORVANEL_MUTANTS", "/tmp/corvanel-mutants-" + os.path.basename(ROOT))
PY = "/usr/bin/python3"


def suite(path):
    return [PY, os.path.join(SCRATCH, path), os.path.join(SCRATCH, "build/linux/corvanel-cli")]


def gtest(name, pattern="*"):
    return [os.path.join(SCRATCH, "build/linux/tests", name), "--gtest_filter=" + pattern]


def exfat_volumes():
    return [PY, os.path.join(SCRATCH, "tests/volume/exfat_volumes_test.py"),
            os.path.join(SCRATCH, "build/linux/tests/exfat_listing"),
            os.path.join(SCRATCH, "build/linux/corvanel-cli")]


# name: (file, text, replacement, command that must fail)
MUTANTS = {
    "recover-makes-folders-before-the-check": (
        "cli/recover_command.cpp",
        "    if (platform::PathIsOnVolume(folder_, *letter_)) return ReportPrompt(console_, prompt::kTargetOnScannedDisk);\n",
        "    std::filesystem::create_directories(destination_, failed);\n"
        "    if (platform::PathIsOnVolume(folder_, *letter_)) return ReportPrompt(console_, prompt::kTargetOnScannedDisk);\n",
        suite("tests/recover/data_safety_test.py")),
    "recover-writes-through-links": (
        "platform/posix/file_system.cpp",
        "  if (::rename(HostPath(scratch_).c_str(), HostPath(path).c_str()) != 0) {",
        "  { std::ifstream in(HostPath(scratch_), std::ios::binary);\n"
        "    std::ofstream out(HostPath(path), std::ios::binary | std::ios::trunc); out << in.rdbuf(); }\n"
        "  if (::unlink(HostPath(scratch_).c_str()) != 0) {",
        suite("tests/recover/data_safety_test.py")),
    "recover-no-rename-for-refused-names": (
        "recover/recovery_engine.cpp",
        "if (!committed && platform::IsRefusedName(error) && !written.renamed) {",
        "if (false) {",
        suite("tests/recover/data_safety_test.py")),
    "recover-read-failure-ends-the-run": (
        "recover/recovery_engine.cpp",
        "      recovery_.pendingZeros_ += count;",
        "      recovery_.pendingZeros_ += count;\n      return Stop(Outcome::StopDeclined);",
        gtest("recover_tests")),
    "recover-unreadable-clusters-not-zero-filled": (
        "recover/recovery_engine.cpp",
        "    while (pendingZeros_ > 0) {",
        "    pendingZeros_ = 0;\n    while (pendingZeros_ > 0) {",
        gtest("recover_tests")),
    "recover-keeps-a-partial-file-after-a-write-failure": (
        "recover/recovery_engine.cpp",
        "    if (outcome == Outcome::FileFailed) return Skip(written, SkipReason::NotWritten);",
        "    if (outcome == Outcome::FileFailed) { platform::SystemError e; file.Commit(written.path, e); }\n"
        "    if (outcome == Outcome::FileFailed) return Skip(written, SkipReason::NotWritten);",
        suite("tests/recover/data_safety_test.py")),
    "recover-a-full-destination-ends-the-run": (
        "recover/recovery_engine.cpp",
        "      return Skip(written, SkipReason::NoSpace);",
        "      return Outcome::StopDeclined;",
        suite("tests/recover/data_safety_test.py") +
        ["RecoverySafetyTest.test_a_file_that_does_not_fit_is_skipped_and_the_run_goes_on"]),
    "recover-files-of-one-run-replace-each-other": (
        "recover/recovery_engine.cpp",
        "    if (names_->written.contains(Key(name)) || (there && !before)) {",
        "    if (false) {",
        suite("tests/recover/data_safety_test.py") + ["SameNamesTest"]),
    "recover-letter-case-always-apart": (
        "recover/recovery_engine.cpp",
        "    if (!names_) foldsCase_ = platform::NamesFoldCase(Joined(RecoverDestination, u\"x\"));",
        "    if (!names_) foldsCase_ = false;",
        suite("tests/recover/data_safety_test.py") +
        ["SameNamesTest.test_letter_case_clashes_where_the_destination_folds_it"]),
    "recover-no-answer-ends-the-run": (
        "cli/console_prompter.cpp",
        "    emit(\" [y/N] no (no terminal to ask)\\n\");\n    return 0;",
        "    emit(\" [y/N] no (no terminal to ask)\\n\");\n    return kPromptNo;",
        suite("tests/recover/data_safety_test.py") +
        ["SameNamesTest.test_a_file_there_before_is_replaced_only_after_yes"]),
    "recover-a-refused-file-ends-the-run": (
        "recover/recovery_engine.cpp",
        "    errorCode_ = error_code::kScanSystemError;\n    return Skip(written, SkipReason::NotWritten);",
        "    errorCode_ = error_code::kScanSystemError;\n    return Outcome::StopDeclined;",
        suite("tests/recover/data_safety_test.py") +
        ["RecoverySafetyTest.test_a_folder_where_a_file_goes_skips_that_file_only"]),
    "recover-letter-case-always-folded": (
        "recover/recovery_engine.cpp",
        "    if (!names_) foldsCase_ = platform::NamesFoldCase(Joined(RecoverDestination, u\"x\"));",
        "    if (!names_) foldsCase_ = true;",
        suite("tests/recover/data_safety_test.py") + ["SameNamesTest"]),
    "recover-copies-past-the-initialized-size": (
        "recover/recovery_engine.cpp",
        "    const std::uint64_t initialized = std::min(record.realSize, record.initializedSize);",
        "    const std::uint64_t initialized = record.realSize;",
        suite("tests/recover/real_volumes_test.py") +
        ["NtfsFilesTest.test_bytes_past_the_initialized_size_are_zeros"]),
    "recover-partial-files-end-done": (
        "cli/recover_command.cpp",
        "    if (files_.partial) shortfall = std::to_string(files_.partial) + \" only in part\";",
        "",
        suite("tests/recover/real_volumes_test.py") + ["ExtensionRecordsTest"]),
    "shred-no-identity-check": (
        "shred/shred_engine.cpp",
        "  if (!IsTheLocatedFile(path, errorCode)) return false;",
        "",
        gtest("shred_tests")),
    "shred-hard-links-not-refused": (
        "shred/shred_engine.cpp",
        "    if (LocatedFile.linkNames > 1) return refuse(OtherNamesRefusal(language));",
        "",
        suite("tests/shred/data_safety_test.py")),
    "shred-named-streams-left": (
        "shred/shred_engine.cpp",
        "  for (const MftRecord& stream : file.namedStreams) runs.insert(",
        "  for (const MftRecord& stream : {MftRecord{}}) runs.insert(",
        suite("tests/shred/data_safety_test.py")),
    "shred-compressed-data-zeroed-through-the-file": (
        "shred/shred_engine.cpp",
        "bool IsCompressed(const MftRecord& data) { return !data.isResident && data.compressionUnit != 0; }",
        "bool IsCompressed(const MftRecord&) { return false; }",
        suite("tests/shred/real_volumes_test.py")),
    "shred-deleted-under-its-own-name": (
        "shred/shred_engine.cpp",
        "    finalPath = RenameAway(path);",
        "",
        suite("tests/shred/real_volumes_test.py")),
    "shred-attribute-list-not-followed": (
        "volume/file_locate.cpp",
        "    if (!hasList) return held;",
        "    return held;",
        suite("tests/shred/real_volumes_test.py")),
    "shred-yes-deletes-unlocated-files": (
        "cli/shred_command.cpp",
        "    if (text != NotLocatedQuestion(UiLanguage)) return inner_",
        "    if (true) return inner_",
        suite("tests/shred/real_volumes_test.py")),
    "shred-fat-deletion-not-waited-for": (
        "shred/shred_engine.cpp",
        "    if (!pending || attempt == kTries) return true;",
        "    return true;",
        gtest("shred_tests")),
    "shred-first-case-insensitive-match": (
        "volume/file_locate.cpp",
        "      if (exact) {\n        found = record;",
        "      if (false) {\n        found = record;",
        suite("tests/shred/data_safety_test.py")),
    "shred-rights-checked-after-the-damage": (
        "shred/shred_engine.cpp",
        "  if (mode == ShredMode::Full && !CanWriteVolume(driveLetter, errorCode)) return false;",
        "",
        suite("tests/shred/data_safety_test.py")),
    "shred-fusefat-without-fsname": (
        "platform/posix/drive_table.cpp",
        "  if (IsDeviceOrImage(entry.source) || !entry.type.starts_with(\"fuse\")) return entry.source;",
        "  return entry.source;",
        suite("tests/shred/data_safety_test.py")),
    "cli-sigterm-not-handled": (
        "platform/posix/console.cpp",
        "for (int signal : {SIGINT, SIGTERM, SIGHUP})",
        "for (int signal : {SIGINT})",
        suite("tests/cli/inputs_test.py")),
    "cli-scan-names-raw": (
        "cli/volume_commands.cpp",
        "line = prefix + Printable(text) + '\\n';",
        "line = prefix + text + '\\n';",
        suite("tests/cli/inputs_test.py")),
    "shred-fat-stretch-not-rechecked": (
        "shred/shred_engine.cpp",
        "      if (!next) return false;\n      if (!*next) break;",
        "      if (!next) return false;",
        gtest("shred_tests")),
    "scan-skips-the-record-fix-up": (
        "volume/deleted_file_scan.cpp",
        "        const bool whole =\n"
        "            FixUpRecordSector(record) != FixUpResult::Malformed || AttributesEndBefore(record, kSectorSize - 2);",
        "        const bool whole = true;",
        suite("tests/volume/real_volumes_test.py")),
    "scan-folders-with-attributes-not-entered": (
        "volume/fat_directory.cpp",
        "  return (attributes & kAttributeDirectory) != 0 && (attributes & kAttributeVolumeLabel) == 0;",
        "  return attributes == kAttributeDirectory;",
        gtest("volume_tests", "FatWalkTest.*")),
    "locate-skips-the-record-fix-up": (
        "volume/deleted_file_scan.cpp",
        "  if (!HasFileSignature(bytes) || FixUpRecordSector(bytes) != FixUpResult::Fixed)",
        "  if (!HasFileSignature(bytes))",
        suite("tests/shred/real_volumes_test.py")),
    "recover-keep-paths-follows-links": (
        "platform/posix/file_system.cpp",
        "  if (::lstat(host.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return true;",
        "  if (::stat(host.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return true;",
        suite("tests/recover/recovery_options_test.py") + ["KeepPaths"]),
    "scan-filter-renumbers-the-files": (
        "volume/scan_result.h",
        "    if (Filter) Indexes.push_back(index);",
        "    if (Filter) Indexes.push_back(files.size() - 1);",
        suite("tests/recover/recovery_options_test.py") + ["Times"]),
    "recover-rereads-the-first-batch": (
        "volume/run_reader.cpp",
        "      const RunRead read = ReadSpan(sector, from, batchEnd, code);",
        "      const RunRead read = ReadSpan(sector, from / clusterBytes_ * 0, batchEnd - from, code);",
        suite("tests/volume/real_volumes_test.py")),
    "recover-writes-an-undecodable-unit-as-data": (
        "recover/recovery_engine.cpp",
        "      } else if (!DecompressLznt1(compressed, plain)) {\n"
        "        if (!PutZeros(file, bytes, written)) return Outcome::FileFailed;",
        "      } else if (!DecompressLznt1(compressed, plain)) {\n"
        "        compressed.resize(bytes);\n"
        "        if (!Put(file, compressed, written)) return Outcome::FileFailed;",
        suite("tests/recover/real_volumes_test.py") +
        ["NtfsFilesTest.test_a_unit_that_does_not_decode_is_reported_not_written"]),
    "recover-follows-reused-extension-records": (
        "volume/deleted_file_scan.cpp",
        "    if (source.Read(number, bytes, ignored) != MftRecordSource::Outcome::Read ||\n"
        "        (bytes[ntfs::kRecordFlags] & ntfs::kRecordInUse) != baseInUse)",
        "    if (source.Read(number, bytes, ignored) != MftRecordSource::Outcome::Read)",
        suite("tests/recover/real_volumes_test.py") + ["ExtensionRecordsTest"]),
    "scan-blank-count-never-reset": (
        "volume/deleted_file_scan.cpp",
        "    blank_ = kind == RecordClass::Blank ? blank_ + 1 : 0;",
        "    blank_ = kind == RecordClass::Blank ? blank_ + 1 : blank_;",
        suite("tests/volume/real_volumes_test.py") + ["RealVolumesTest.test_blank_records_do_not_end_the_mft"]),
    "scan-ignores-the-mft-size": (
        "volume/deleted_file_scan.cpp",
        "  const bool endKnown = layout.Mapped() && mft.sizeSectors <= facts.volumeSectors;",
        "  const bool endKnown = false;",
        suite("tests/volume/real_volumes_test.py") + ["RealVolumesTest.test_blank_records_do_not_end_the_mft"]),
    "scan-ends-at-an-unreadable-record": (
        "volume/deleted_file_scan.cpp",
        "      errorCode = error_code::kNone;\n      AddUnreadableRecord(number);",
        "      return false;\n      AddUnreadableRecord(number);",
        suite("tests/volume/real_volumes_test.py") + ["RealVolumesTest.test_a_cut_volume_lists_what_it_can_read"]),
    "scan-extensions-only-through-the-list": (
        "volume/deleted_file_scan.cpp",
        "  std::vector<std::uint64_t> holders = extensions;",
        "  std::vector<std::uint64_t> holders = extensions;\n  holders.clear();",
        suite("tests/volume/real_volumes_test.py") + ["RealVolumesTest.test_extension_records_dropped_from_the_list"]),
    "cli-scan-backslash-not-doubled": (
        "cli/volume_commands.cpp",
        "      if (c == '\\\\') text += c;\n",
        "",
        suite("tests/volume/real_volumes_test.py") + ["RealVolumesTest.test_extension_records_dropped_from_the_list"]),
    "scan-lost-name-keeps-a-folder": (
        "volume/deleted_file_scan.cpp",
        "      parsed.path.clear();\n",
        "      parsed.path = folders.PathOf(parsed.parentReference);\n",
        suite("tests/volume/real_volumes_test.py") + ["RealVolumesTest.test_extension_records_dropped_from_the_list"]),
    "crypt-paths-in-the-code-page": (
        "crypt/file_encryption.cpp",
        "  return NarrowWithin(path, maxBytes, errorCode, platform::ToNarrowPath);",
        "  return NarrowWithin(path, maxBytes, errorCode, platform::ToAnsi);",
        suite("tests/cli/inputs_test.py")),
    "exfat-set-sum-over-cleared-bits": (
        "volume/exfat_layout.h",
        "static_cast<std::uint8_t>(entries[i] | kInUse)",
        "entries[i]",
        gtest("volume_tests", "Exfat*")),
    "exfat-no-backup-boot-region": (
        "volume/exfat_directory.cpp",
        "    for (std::uint32_t size = 512; size <= 4096 && !facts; size *= 2) {",
        "    for (std::uint32_t size = 512; size <= 4096 && !facts && false; size *= 2) {",
        gtest("volume_tests", "Exfat*")),
    "exfat-name-entries-uncounted": (
        "volume/exfat_directory.cpp",
        "if (set.stream.nameLength == 0 || nameEntries * kUnitsPerNameEntry < set.stream.nameLength) {",
        "if (set.stream.nameLength == 0) {",
        gtest("volume_tests", "Exfat*")),
    "exfat-directory-clusters-unguarded": (
        "volume/exfat_directory.cpp",
        "      if (!taken_.Take(cluster)) {\n        Damaged();\n        break;\n      }",
        "      taken_.Take(cluster);",
        gtest("volume_tests", "Exfat*")),
    "exfat-utc-offset-sign": (
        "volume/file_times.cpp",
        "static_cast<int>(zone & 0x7F) - 0x80 : zone & 0x3F;",
        "0x80 - static_cast<int>(zone & 0x7F) : zone & 0x3F;",
        exfat_volumes()),
    "exfat-entry-number": (
        "volume/exfat_directory.cpp",
        "  return (entryOffset - heap) / kEntrySize + 3;",
        "  return (entryOffset - heap) / kEntrySize + 2;",
        exfat_volumes()),
    "exfat-scan-deleted-folders-skipped": (
        "volume/exfat_scan.cpp",
        "!(set.deleted || set.inDeletedFolder)",
        "!set.deleted",
        exfat_volumes()),
    "exfat-recover-past-valid-length": (
        "recover/recovery_engine.cpp",
        "    const std::uint64_t valid = std::min(listed.record, size);",
        "    const std::uint64_t valid = size;",
        exfat_volumes()),
    "exfat-recover-chain-ignored": (
        "recover/recovery_engine.cpp",
        "      if (chain.clusters.size() == needed) {",
        "      if (false) {",
        exfat_volumes()),
    "exfat-damaged-set-unmarked": (
        "volume/scan_result.cpp",
        "  if (file.Damaged()) listed.flags |= ListedFile::kDamaged;",
        "",
        exfat_volumes()),
    "crypt-rc6-counter-changed": (
        "crypt/cipher_table.cpp",
        '{algorithm::kRc6, "rc6", 16, 16, "804731", u"_rc6"},',
        '{algorithm::kRc6, "rc6", 16, 16, "804732", u"_rc6"},',
        gtest("crypt_tests")),
}


def sh(command, **kwargs):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, **kwargs)


def prepare():
    # The sources afresh: only files whose bytes differ are copied (with a new
    # time, so the kept scratch build rebuilds exactly what changed).
    for folder, folders, files in os.walk(ROOT):
        folders[:] = [f for f in folders if not (folder == ROOT and f in ("build", ".git"))]
        target_folder = os.path.join(SCRATCH, os.path.relpath(folder, ROOT))
        os.makedirs(target_folder, exist_ok=True)
        for name in files:
            source, target = os.path.join(folder, name), os.path.join(target_folder, name)
            with open(source, "rb") as f:
                data = f.read()
            if os.path.exists(target):
                with open(target, "rb") as f:
                    if f.read() == data:
                        continue
            shutil.copyfile(source, target)
            shutil.copymode(source, target)
    sh(["cmake", "--preset", "linux"], cwd=SCRATCH, check=True)
    built = sh(["cmake", "--build", "--preset", "linux"], cwd=SCRATCH)
    if built.returncode != 0:
        sys.exit("the unmutated build fails:\n" + built.stdout.decode()[-3000:])


def try_mutant(name):
    path, text, replacement, command = MUTANTS[name]
    source = os.path.join(SCRATCH, path)
    with open(source) as f:
        original = f.read()
    if original.count(text) != 1:
        return "stale (the text is not in the source once)"
    try:
        with open(source, "w") as f:
            f.write(original.replace(text, replacement))
        built = sh(["cmake", "--build", "--preset", "linux"], cwd=SCRATCH)
        if built.returncode != 0:
            return "does not build"
        return "caught" if sh(command, timeout=600).returncode != 0 else "MISSED"
    finally:
        with open(source, "w") as f:
            f.write(original)


def main():
    if "--list" in sys.argv:
        print("\n".join(MUTANTS))
        return 0
    names = sys.argv[1:] or list(MUTANTS)
    prepare()
    results = []
    for name in names:
        start = time.time()
        results.append((name, try_mutant(name), time.time() - start))
        print(f"{results[-1][1]:>10}  {name}  ({results[-1][2]:.0f} s)", flush=True)
    sh(["cmake", "--build", "--preset", "linux"], cwd=SCRATCH)
    missed = [name for name, result, _ in results if result != "caught"]
    print(f"\n{len(results) - len(missed)} of {len(results)} mutants caught" + (": missed " + ", ".join(missed) if missed else ""))
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())

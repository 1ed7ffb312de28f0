#!/usr/bin/env python3
"""The shipped Windows programs: their version resource agrees with what
corvanel-cli --version prints, and they import system DLLs only (the C++
runtime and winpthreads are linked in, so nothing has to sit beside them).

Usage: executables_test.py EMULATOR Corvanel.exe corvanel-cli.exe
"""
import re
import subprocess
import sys
import unittest

import pefile

EMULATOR, GUI, CLI = sys.argv[1:4]
del sys.argv[1:4]

# DLLs that every Windows from 7 on carries in System32.
SYSTEM_DLLS = {
    'advapi32.dll', 'comctl32.dll', 'comdlg32.dll', 'gdi32.dll', 'kernel32.dll', 'msvcrt.dll',
    'ole32.dll', 'oleaut32.dll', 'shell32.dll', 'shlwapi.dll', 'user32.dll', 'uxtheme.dll',
}


def cli_version():
    out = subprocess.run([*EMULATOR.split(';'), CLI, '--version'], check=True, capture_output=True,
                         text=True, timeout=120).stdout
    match = re.fullmatch(r'corvanel-cli (\d+)\.(\d+)\.(\d+)\s*', out)
    assert match, f'unexpected --version output {out!r}'
    return tuple(int(part) for part in match.groups())


def version_resource(path):
    pe = pefile.PE(path)
    strings = {}
    for info in getattr(pe, 'FileInfo', []):
        for entry in info:
            for table in getattr(entry, 'StringTable', []):
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    fixed = pe.VS_FIXEDFILEINFO[0] if hasattr(pe, 'VS_FIXEDFILEINFO') else None
    return strings, fixed


def imported_dlls(path):
    pe = pefile.PE(path)
    entries = getattr(pe, 'DIRECTORY_ENTRY_IMPORT', []) + getattr(pe, 'DIRECTORY_ENTRY_DELAY_IMPORT', [])
    return {entry.dll.decode().lower() for entry in entries}


class ExecutablesTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.version = cli_version()

    def test_version_resource_matches_version_option(self):
        text = '.'.join(map(str, self.version))
        for path in (GUI, CLI):
            with self.subTest(path=path):
                strings, fixed = version_resource(path)
                self.assertIsNotNone(fixed, 'no VERSIONINFO')
                self.assertEqual(strings.get('FileVersion'), text)
                self.assertEqual(strings.get('ProductVersion'), text)
                self.assertEqual(strings.get('ProductName'), 'Corvanel')
                self.assertTrue(strings.get('FileDescription'))
                self.assertIn('Corvanel', strings.get('LegalCopyright', ''))
                for ms, ls in ((fixed.FileVersionMS, fixed.FileVersionLS),
                               (fixed.ProductVersionMS, fixed.ProductVersionLS)):
                    self.assertEqual((ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF), (*self.version, 0))

    def test_only_system_dlls_imported(self):
        for path in (GUI, CLI):
            with self.subTest(path=path):
                dlls = imported_dlls(path)
                self.assertIn('kernel32.dll', dlls)
                # The universal CRT's forwarders are system DLLs too.
                self.assertEqual({d for d in dlls if d not in SYSTEM_DLLS and not d.startswith('api-ms-win-')},
                                 set())


if __name__ == '__main__':
    unittest.main()

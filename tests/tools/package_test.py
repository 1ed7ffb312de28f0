#!/usr/bin/env python3
"""What tools/package.sh makes: the installer installs silently into a fresh
Wine prefix, registers its uninstaller and shortcut, the program starts from
the install folder and the uninstaller takes it all away again; the zip holds
the same files; the Debian package installs, runs and removes cleanly.

Usage: package_test.py DIST_DIR   (as root: the .deb is installed for real)
"""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

DIST = sys.argv.pop(1)
WINE64 = '/usr/lib/wine/wine64'
WINESERVER = '/usr/lib/wine/wineserver64'
SHIPPED = {'Corvanel.exe', 'Corvanel.chm', 'corvanel-cli.exe', 'LICENSE.txt', 'THIRD-PARTY-NOTICES.txt'}


def only(pattern):
    found = [f for f in glob.glob(os.path.join(DIST, pattern)) if '-x64-' not in f]
    assert len(found) == 1, f'expected one {pattern} in {DIST}, found {found}'
    return found[0]


def runs_32_bit():
    try:
        return subprocess.run(['/usr/lib/wine/wine', '--version'], capture_output=True, timeout=60).returncode == 0
    except OSError:
        return False


class WindowsInstallerTest(unittest.TestCase):
    def setUp(self):
        if runs_32_bit():
            self.setup_exe, self.program_files = only('Corvanel-*-setup.exe'), 'Program Files (x86)'
            self.key = r'[Software\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Corvanel]'
        else:
            # The same script built for x86_64 (tools/package.sh --x64).
            self.setup_exe = glob.glob(os.path.join(DIST, 'Corvanel-*-x64-setup.exe'))[0]
            self.program_files = 'Program Files'
            self.key = r'[Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Corvanel]'
        self.prefix = tempfile.mkdtemp(prefix='corvanel-setup-')
        self.addCleanup(shutil.rmtree, self.prefix, ignore_errors=True)
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG='-all', WINEDLLOVERRIDES='mscoree,mshtml=')
        self.env.pop('DISPLAY', None)
        self.addCleanup(subprocess.run, [WINESERVER, '-k'], env=self.env)
        self.wine('wineboot', '-i')

    def wine(self, *args):
        subprocess.run([WINE64, *args], env=self.env, check=True, capture_output=True, timeout=600)
        # The installer and the uninstaller hand over to child processes.
        subprocess.run([WINESERVER, '-w'], env=self.env, timeout=600)

    def registry(self):
        with open(os.path.join(self.prefix, 'system.reg'), encoding='utf-8', errors='replace') as f:
            return f.read()

    def wait_for_window(self, install_dir):
        """Starts Corvanel.exe from its folder on a virtual display; True once its window is mapped."""
        xvfb = subprocess.Popen(['Xvfb', '-displayfd', '1', '-screen', '0', '1280x900x24'],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(xvfb.stdout.close)
        self.addCleanup(xvfb.wait)
        self.addCleanup(xvfb.kill)
        display = ':' + xvfb.stdout.readline().strip()
        env = dict(self.env, DISPLAY=display)
        program = subprocess.Popen([WINE64, 'Corvanel.exe'], cwd=install_dir, env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(program.wait)
        self.addCleanup(program.kill)
        for _ in range(240):  # a slow machine's first start, not a speed check
            tree = subprocess.run(['xwininfo', '-root', '-tree', '-display', display],
                                  capture_output=True, text=True).stdout
            if '("corvanel.exe"' in tree.lower():
                return True
            if program.poll() is not None:
                return False
            time.sleep(0.5)
        return False

    def test_installs_starts_and_uninstalls(self):
        self.wine(self.setup_exe, '/S')
        install_dir = os.path.join(self.prefix, 'drive_c', self.program_files, 'Corvanel')
        self.assertEqual(set(os.listdir(install_dir)), SHIPPED | {'Uninstall.exe'})
        shortcut = os.path.join(self.prefix, 'drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Corvanel.lnk')
        self.assertTrue(os.path.exists(shortcut))
        registry = self.registry()
        self.assertTrue(self.key in registry, 'no uninstall entry')
        entry = registry.split(self.key, 1)[1].split('\n\n', 1)[0]
        self.assertIn('"DisplayName"="Corvanel"', entry)
        self.assertIn('Uninstall.exe', entry)

        self.assertTrue(self.wait_for_window(install_dir), 'Corvanel.exe did not open its window')
        subprocess.run([WINESERVER, '-k'], env=self.env)
        subprocess.run([WINESERVER, '-w'], env=self.env)

        self.wine(os.path.join(install_dir, 'Uninstall.exe'), '/S')
        self.assertFalse(os.path.exists(install_dir))
        self.assertFalse(os.path.exists(shortcut))
        self.assertFalse(self.key in self.registry(), 'uninstall entry left behind')


class PortableZipTest(unittest.TestCase):
    def test_holds_the_installed_files(self):
        archive = only('Corvanel-*-portable.zip')
        folder = os.path.basename(archive)[:-len('-portable.zip')] + '/'
        with zipfile.ZipFile(archive) as z:
            names = {n[len(folder):] for n in z.namelist() if n.startswith(folder)}
            self.assertEqual(names - {''}, SHIPPED)
            self.assertEqual(len(z.namelist()), len(names))


class DebianPackageTest(unittest.TestCase):
    def test_installs_runs_and_removes(self):
        deb = only('corvanel-cli_*_amd64.deb')
        version = re.match(r'corvanel-cli_(.+)_amd64\.deb', os.path.basename(deb)).group(1)
        if subprocess.run(['dpkg', '-s', 'corvanel-cli'], capture_output=True).returncode == 0:
            self.skipTest('corvanel-cli is installed on this machine already; not touching it')
        subprocess.run(['dpkg', '-i', deb], check=True, capture_output=True)
        self.addCleanup(subprocess.run, ['dpkg', '-r', 'corvanel-cli'], capture_output=True)
        out = subprocess.run(['/usr/bin/corvanel-cli', '--version'], capture_output=True, text=True, check=True)
        self.assertEqual(out.stdout, f'corvanel-cli {version}\n')
        listing = subprocess.run(['dpkg', '-L', 'corvanel-cli'], capture_output=True, text=True).stdout
        self.assertIn('/usr/share/doc/corvanel-cli/copyright', listing)
        self.assertIn('/usr/share/doc/corvanel-cli/THIRD-PARTY-NOTICES.txt', listing)
        self.assertIn('/usr/share/man/man1/corvanel-cli.1', listing)
        man = subprocess.run(['man', '-P', 'cat', 'corvanel-cli'], capture_output=True, text=True)
        self.assertEqual(man.returncode, 0, man.stderr)
        subprocess.run(['dpkg', '-r', 'corvanel-cli'], check=True, capture_output=True)
        self.assertFalse(os.path.exists('/usr/bin/corvanel-cli'))
        self.assertNotEqual(subprocess.run(['dpkg', '-s', 'corvanel-cli'], capture_output=True).returncode, 0)


if __name__ == '__main__':
    unittest.main()

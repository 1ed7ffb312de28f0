#!/usr/bin/env python3
"""What tools/setup.sh decides, against fake apt-get, apt-cache, dpkg and
dpkg-query on PATH (no network, nothing installed): which packages each tier
asks for, a package index that keeps failing, a 32-bit loader that cannot be
installed, and a package that does not exist.

Usage: setup_test.py
"""
import os
import shutil
import stat
import subprocess
import tempfile
import textwrap
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
I386_INDEX = 'http://mirror.invalid/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz'

# State lives in $FAKE: installed (one package a line), archs, calls (a log),
# uninstallable (packages with no candidate), i386-index-broken (a flag).
FAKES = {
    'dpkg-query': r'''
        pkg="${@: -1}"
        grep -qxF "$pkg" "$FAKE/installed" && { echo 'install ok installed'; exit 0; }
        exit 1''',
    'dpkg': r'''
        case "$1" in
          --print-foreign-architectures) cat "$FAKE/archs" ;;
          --add-architecture) echo "$2" >>"$FAKE/archs"; echo "add-architecture $2" >>"$FAKE/calls" ;;
          *) exit 1 ;;
        esac''',
    'apt-get': r'''
        args=()
        for a in "$@"; do case "$a" in -*) ;; *) args+=("$a") ;; esac; done
        echo "${args[*]}" >>"$FAKE/calls"
        case "${args[0]}" in
          update)
            if [ -e "$FAKE/i386-index-broken" ] && grep -qx i386 "$FAKE/archs"; then
              echo "E: Failed to fetch I386_INDEX  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
              echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
              exit 100
            fi ;;
          install)
            for p in "${args[@]:1}"; do
              if grep -qxF "$p" "$FAKE/uninstallable" || { [ "$p" = wine32:i386 ] && [ -e "$FAKE/i386-index-broken" ]; }; then
                echo "E: Unable to locate package $p" >&2; exit 100
              fi
            done
            printf '%s\n' "${args[@]:1}" >>"$FAKE/installed" ;;
          *) exit 1 ;;
        esac'''.replace('I386_INDEX', I386_INDEX),
    'apt-cache': r'''
        pkg="${@: -1}"
        echo "$pkg:"
        if grep -qxF "$pkg" "$FAKE/uninstallable"; then echo '  Candidate: (none)'; else echo '  Candidate: 1.0-1'; fi''',
}


class SetupTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix='corvanel-setup-')
        self.fake = os.path.join(self.dir, 'state')
        bin_dir = os.path.join(self.dir, 'bin')
        self.cache = os.path.join(self.dir, 'cache')
        os.makedirs(self.fake)
        os.makedirs(bin_dir)
        for name in ('installed', 'archs', 'calls', 'uninstallable'):
            open(os.path.join(self.fake, name), 'w').close()
        for name, body in FAKES.items():
            path = os.path.join(bin_dir, name)
            with open(path, 'w') as f:
                f.write('#!/usr/bin/env bash\n' + textwrap.dedent(body).strip() + '\n')
            os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)
        # What set-up builds or fetches into its cache is there already.
        for triplet in ('x86_64-w64-mingw32', 'i686-w64-mingw32'):
            os.makedirs(os.path.join(self.cache, f'cryptopp-{triplet}', 'lib'))
            os.makedirs(os.path.join(self.cache, f'cryptopp-{triplet}', 'include', 'cryptopp'))
            open(os.path.join(self.cache, f'cryptopp-{triplet}', 'lib', 'libcryptopp.a'), 'w').close()
            open(os.path.join(self.cache, f'cryptopp-{triplet}', 'include', 'cryptopp', 'cryptlib.h'), 'w').close()
        os.makedirs(os.path.join(self.cache, 'qemu'))
        qemu = os.path.join(self.cache, 'qemu', 'qemu-i386')
        open(qemu, 'w').close()
        os.chmod(qemu, 0o755)
        self.env = dict(os.environ, PATH=bin_dir + ':' + os.environ['PATH'], FAKE=self.fake,
                        CORVANEL_CACHE=self.cache, CORVANEL_APT_RETRY_DELAY='0')

    def tearDown(self):
        shutil.rmtree(self.dir)

    def setup(self, *args):
        return subprocess.run(['bash', os.path.join(ROOT, 'tools', 'setup.sh'), *args], env=self.env,
                              capture_output=True, text=True, timeout=120)

    def state(self, name):
        with open(os.path.join(self.fake, name)) as f:
            return f.read().splitlines()

    def installs(self):
        return [line.split()[1:] for line in self.state('calls') if line.startswith('install ')]

    def test_native_tier_installs_only_what_the_run_command_needs(self):
        result = self.setup('native')
        self.assertEqual(result.returncode, 0, result.stderr)
        [packages] = self.installs()
        self.assertIn('libcrypto++-dev', packages)
        self.assertIn('ntfs-3g', packages)
        for other in ('wine64', 'g++-mingw-w64-i686', 'nsis', 'clang-14', 'libgtest-dev', 'wine32:i386'):
            self.assertNotIn(other, packages)
        self.assertEqual(self.state('archs'), [])
        # a second run only checks
        result = self.setup('native')
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(len(self.installs()), 1)

    def test_a_broken_i386_index_skips_only_the_32_bit_loader(self):
        open(os.path.join(self.fake, 'i386-index-broken'), 'w').close()
        result = self.setup('full')
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(f'package index unavailable after 3 tries: {I386_INDEX}', result.stderr)
        self.assertEqual(self.state('calls').count('update'), 4)  # once, then three tries with i386
        installs = self.installs()
        self.assertIn('wine64', installs[0])
        self.assertNotIn('wine32:i386', installs[0])
        self.assertEqual(installs[-1], ['wine32:i386'])  # in a step of its own, after the rest
        reason = f'its i386 package index could not be fetched ({I386_INDEX})'
        self.assertIn(f'wine32:i386 not installed: {reason}; the i686 suites will be skipped', result.stderr)
        with open(os.path.join(self.cache, 'wine32-unavailable')) as f:
            self.assertEqual(f.read().strip(), reason)
        if not os.access('/usr/lib/wine/wine', os.X_OK):
            check = subprocess.run([os.path.join(ROOT, 'tools', 'i686-env'), '--check'], env=self.env,
                                   capture_output=True, text=True)
            self.assertEqual(check.returncode, 1)
            self.assertIn(reason, check.stdout)
        # Once it can be installed, the reason goes.
        os.remove(os.path.join(self.fake, 'i386-index-broken'))
        result = self.setup('full')
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertFalse(os.path.exists(os.path.join(self.cache, 'wine32-unavailable')))

    def test_a_package_that_cannot_be_installed_fails_with_its_name(self):
        with open(os.path.join(self.fake, 'uninstallable'), 'w') as f:
            f.write('nsis\n')
        result = self.setup('full')
        self.assertNotEqual(result.returncode, 0)
        self.assertIn('setup: cannot install: nsis (no installable version in the package lists)', result.stderr)
        self.assertNotIn(['wine32:i386'], self.installs())

    def test_an_unknown_tier_is_refused(self):
        result = self.setup('everything')
        self.assertEqual(result.returncode, 2)
        self.assertEqual(self.state('calls'), [])


if __name__ == '__main__':
    unittest.main(verbosity=2)

#!/usr/bin/python3
"""The sealed format of corvanel-cli against an independent reader written
from docs/sealed-format.md (hashlib's scrypt, pycryptodome's
AES-256-GCM), and corvanel-cli refusing every changed file with no
output left behind, hostile work factors before it takes memory, streams
through pipes in constant memory, and the passphrase sources.

usage: sealed_test.py CLI
"""
import hashlib
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

from Cryptodome.Cipher import AES

CLI = None
DOC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "sealed-format.md")
PASSPHRASE = "a long passphrase, not sixteen"
HEADER = 84
CHUNK = 65536
SEALED_CHUNK = CHUNK + 16
ENV = dict(os.environ, SEALED_PASS=PASSPHRASE)


def cli(*args, **kwargs):
    return subprocess.run([CLI, *args], stdin=kwargs.pop("stdin", subprocess.DEVNULL), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=kwargs.pop("env", ENV), **kwargs)


def open_sealed(data, passphrase):
    """Reads a sealed file as docs/sealed-format.md describes it: (name, content)."""
    header = data[:HEADER]
    assert header[:8] == b"CRVSEAL\0" and header[8:11] == b"\x01\x01\x01", header[:11]
    log2n, r, p = header[11], int.from_bytes(header[12:16], "little"), int.from_bytes(header[16:20], "little")
    assert log2n <= 20 and r <= 32 and p <= 4 and 128 * r << log2n <= 1 << 30
    k_pass = hashlib.scrypt(passphrase, salt=header[20:36], n=1 << log2n, r=r, p=p, dklen=32, maxmem=(1 << 31) - 1)
    wrap = AES.new(k_pass, AES.MODE_GCM, nonce=bytes(12))
    wrap.update(header[:36])
    k_file = wrap.decrypt_and_verify(header[36:68], header[68:84])
    body = data[HEADER:]
    chunks = [body[i:i + SEALED_CHUNK] for i in range(0, len(body), SEALED_CHUNK)]
    stream = b""
    for index, chunk in enumerate(chunks):
        nonce = index.to_bytes(11, "big") + (b"\x01" if index == len(chunks) - 1 else b"\x00")
        aead = AES.new(k_file, AES.MODE_GCM, nonce=nonce)
        aead.update(header)
        stream += aead.decrypt_and_verify(chunk[:-16], chunk[-16:])
    name_length = int.from_bytes(stream[:2], "little")
    return stream[2:2 + name_length].decode(), stream[2 + name_length:]


class SealedTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp()
        self.plain = os.urandom(3 * CHUNK + 1234)
        self.source = os.path.join(self.work, "field notes.txt")
        with open(self.source, "wb") as f:
            f.write(self.plain)

    def tearDown(self):
        shutil.rmtree(self.work)

    def seal(self):
        result = cli("encrypt", "--sealed", self.source, "--passphrase-env", "SEALED_PASS")
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        with open(self.source + ".sealed", "rb") as f:
            return f.read()

    def test_an_independent_reader_opens_what_the_cli_seals_and_the_documented_vector(self):
        sealed = self.seal()
        self.assertEqual(len(sealed), HEADER + 2 + len("field notes.txt") + len(self.plain) + 4 * 16)
        self.assertEqual(open_sealed(sealed, PASSPHRASE.encode()), ("field notes.txt", self.plain))
        with open(DOC, encoding="utf-8") as f:
            doc = f.read()
        vector = bytes.fromhex(re.search(r"the whole file, 132 bytes:\n\n((?: +[0-9a-f ]+\n)+)", doc)[1].replace(" ", "")
                               .replace("\n", ""))
        self.assertEqual(open_sealed(vector, b"correct horse battery staple"),
                         ("hello.txt", b"Hello, sealed world!\n"))
        # And the CLI opens the vector: named by what it stores, beside it.
        with open(os.path.join(self.work, "vector"), "wb") as f:
            f.write(vector)
        result = cli("decrypt", os.path.join(self.work, "vector"), "--key", "correct horse battery staple")
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        self.assertIn(b"warning: a key given with --key can be seen by other users", result.stderr)
        with open(os.path.join(self.work, "hello.txt"), "rb") as f:
            self.assertEqual(f.read(), b"Hello, sealed world!\n")

    def assert_refused(self, data, why, passphrase_env="SEALED_PASS"):
        target = tempfile.mkdtemp(dir=self.work)
        changed = os.path.join(target, "changed.sealed")
        with open(changed, "wb") as f:
            f.write(data)
        result = cli("decrypt", changed, "--passphrase-env", passphrase_env)
        lines = result.stderr.decode().splitlines()
        self.assertEqual(result.returncode, 1, why)
        self.assertEqual(len(lines), 1, lines)
        self.assertTrue(lines[0].startswith("corvanel-cli: "), lines)
        self.assertEqual(os.listdir(target), ["changed.sealed"], why)  # no output, no scratch file
        return lines[0]

    def test_every_change_is_refused_with_no_output(self):
        sealed = self.seal()
        chunks = [sealed[i:i + SEALED_CHUNK] for i in range(HEADER, len(sealed), SEALED_CHUNK)]
        self.assertEqual([len(c) for c in chunks], [SEALED_CHUNK] * 3 + [1234 + 2 + 15 + 16])
        head = sealed[:HEADER]
        # One byte of each header field and of each part of a chunk (each decryption costs a key derivation).
        for offset in [0, 8, 9, 10, 11, 12, 16, 20, 36, 68, HEADER, HEADER + SEALED_CHUNK + 17, len(sealed) - 17,
                       len(sealed) - 1]:
            with self.subTest(flip=offset):
                flipped = bytearray(sealed)
                flipped[offset] ^= 0x01
                self.assert_refused(bytes(flipped), f"byte {offset}")
        cases = {
            "cut at a chunk boundary": (head + b"".join(chunks[:2]), "is cut short"),
            "cut inside a chunk": (sealed[:HEADER + SEALED_CHUNK + 500], "changed or damaged"),
            "cut inside the last chunk": (sealed[:-1], "changed or damaged"),
            "cut inside the header": (sealed[:50], "cut short"),
            "header alone": (head, "cut short"),
            # The last chunk is short: what follows it runs into it.
            "a chunk appended": (sealed + chunks[1], "changed or damaged"),
            "the last chunk repeated": (sealed + chunks[3], "changed or damaged"),
            "a full chunk after a full last one": (head + b"".join(chunks[:3]) + chunks[1], "changed or damaged"),
            "a byte appended": (sealed + b"\0", "changed or damaged"),
            "two chunks swapped": (head + chunks[1] + chunks[0] + chunks[2] + chunks[3], "changed or damaged"),
            "the last chunk replayed early": (head + chunks[0] + chunks[3], "changed or damaged"),
            "a chunk dropped": (head + chunks[0] + chunks[2] + chunks[3], "changed or damaged"),
        }
        for why, (data, message) in cases.items():
            with self.subTest(why):
                self.assertIn(message, self.assert_refused(data, why))
        # A stream that fills its last chunk: what follows is seen as following it.
        with open(self.source, "wb") as f:
            f.write(self.plain[:2 * CHUNK - 2 - len("field notes.txt")])
        full = self.seal()
        self.assertEqual(len(full), HEADER + 2 * SEALED_CHUNK)
        with self.subTest("the full last chunk repeated"):
            self.assertIn("data after its last chunk", self.assert_refused(full + full[-SEALED_CHUNK:], "repeated"))
        with self.subTest("cut before the full last chunk"):
            self.assertIn("is cut short", self.assert_refused(full[:-SEALED_CHUNK], "cut"))
        env = dict(ENV, WRONG="not the passphrase")
        with self.subTest("wrong passphrase"):
            target = os.path.join(self.work, "w")
            os.makedirs(target)
            shutil.copy(self.source + ".sealed", target)
            result = cli("decrypt", os.path.join(target, "field notes.txt.sealed"), "--passphrase-env", "WRONG",
                         env=env)
            self.assertEqual((result.returncode, result.stderr.decode().count("\n")), (1, 1))
            self.assertIn(b"wrong passphrase", result.stderr)
            self.assertEqual(os.listdir(target), ["field notes.txt.sealed"])

    def test_hostile_work_factors_are_refused_before_memory_is_taken(self):
        head = bytearray(self.seal()[:HEADER])
        # 256 MiB of address space: enough for the program, far from what these ask.
        limit = lambda: resource.setrlimit(resource.RLIMIT_AS, (256 << 20, 256 << 20))  # noqa: E731
        for log2n, r, p in [(40, 8, 1), (21, 1, 1), (20, 9, 1), (16, 0xFFFFFFFF, 1), (16, 8, 0xFFFFFFFF)]:
            with self.subTest(log2n=log2n, r=r, p=p):
                head[11] = log2n
                head[12:16] = r.to_bytes(4, "little")
                head[16:20] = p.to_bytes(4, "little")
                hostile = os.path.join(self.work, "hostile.sealed")
                with open(hostile, "wb") as f:
                    f.write(bytes(head) + bytes(100))
                start = time.monotonic()
                result = cli("decrypt", hostile, "--passphrase-env", "SEALED_PASS", preexec_fn=limit)
                self.assertLess(time.monotonic() - start, 5)
                self.assertEqual(result.returncode, 1, result.stderr.decode())
                self.assertIn(b"beyond what is allowed", result.stderr)

    def test_streams_through_pipes_in_constant_memory(self):
        size = 320 << 20
        before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
        producer = subprocess.Popen(["head", "-c", str(size), "/dev/urandom"], stdout=subprocess.PIPE)
        tee = subprocess.Popen(["tee", os.path.join(self.work, "plain")], stdin=producer.stdout,
                               stdout=subprocess.PIPE)
        sealer = subprocess.Popen([CLI, "encrypt", "--sealed", "-", "--passphrase-env", "SEALED_PASS"],
                                  stdin=tee.stdout, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)
        read_end, write_end = os.pipe()
        os.write(write_end, PASSPHRASE.encode() + b"\n")
        os.close(write_end)
        opener = subprocess.Popen([CLI, "decrypt", "-", "--passphrase-fd", str(read_end)], stdin=sealer.stdout,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, pass_fds=(read_end,), env=ENV)
        os.close(read_end)
        for process in (producer, tee, sealer):
            process.stdout.close()
        digest = hashlib.sha256()
        total = 0
        while block := opener.stdout.read(1 << 20):
            digest.update(block)
            total += len(block)
        for process in (producer, tee, sealer, opener):
            process.wait()
        errors = sealer.stderr.read() + opener.stderr.read()
        for stream in (sealer.stderr, opener.stderr, opener.stdout):
            stream.close()
        self.assertEqual((sealer.returncode, opener.returncode), (0, 0), errors.decode())
        self.assertEqual(total, size)
        with open(os.path.join(self.work, "plain"), "rb") as f:
            self.assertEqual(hashlib.file_digest(f, "sha256").digest(), digest.digest())
        # scrypt's 32 MiB and the buffers: the data's size does not count.
        peak_kib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
        self.assertLess(max(peak_kib, before), 64 << 10)

    def test_passphrase_sources_and_stream_names(self):
        read_end, write_end = os.pipe()
        os.write(write_end, PASSPHRASE.encode() + b"\r\nmore lines\n")
        os.close(write_end)
        result = cli("encrypt", "--sealed", self.source, "--output", os.path.join(self.work, "x.sld"),
                     "--passphrase-fd", str(read_end), pass_fds=(read_end,))
        os.close(read_end)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        key_file = os.path.join(self.work, "key")
        with open(key_file, "w") as f:
            f.write(PASSPHRASE + "\n")
        os.remove(self.source)
        result = cli("decrypt", os.path.join(self.work, "x.sld"), "--key-file", key_file)
        self.assertEqual(result.returncode, 0, result.stderr.decode())
        with open(self.source, "rb") as f:
            self.assertEqual(f.read(), self.plain)
        # Sealed from standard input: no name inside, so a path needs --output.
        with open(self.source, "rb") as f:
            piped = cli("encrypt", "--sealed", "-", "--passphrase-env", "SEALED_PASS", stdin=f)
        self.assertEqual(piped.returncode, 0, piped.stderr.decode())
        self.assertEqual(open_sealed(piped.stdout, PASSPHRASE.encode()), ("", self.plain))
        nameless = os.path.join(self.work, "nameless")
        with open(nameless, "wb") as f:
            f.write(piped.stdout)
        result = cli("decrypt", nameless, "--passphrase-env", "SEALED_PASS")
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"give --output", result.stderr)
        # Legacy keys from the new sources keep their sixteen-character rule.
        env = dict(ENV, LEGACY="0123456789abcdef", SHORT="0123456789abcde")
        self.assertEqual(cli("encrypt", self.source, "--passphrase-env", "LEGACY", env=env).returncode, 0)
        short = cli("encrypt", self.source, "--passphrase-env", "SHORT", env=env)
        self.assertEqual((short.returncode, short.stderr), (1, b"corvanel-cli: Key length must be sixteen!\n"))
        missing = cli("encrypt", self.source, "--passphrase-env", "NO_SUCH_VARIABLE_HERE", env=env)
        self.assertEqual(missing.returncode, 1)
        self.assertIn(b"NO_SUCH_VARIABLE_HERE is not set", missing.stderr)
        # Legacy files stay files: no streams, no --output.
        self.assertEqual(cli("encrypt", "-", "--passphrase-env", "LEGACY", env=env).returncode, 2)
        self.assertEqual(cli("encrypt", self.source, "-o", "x", "--passphrase-env", "LEGACY", env=env).returncode, 2)


if __name__ == "__main__":
    CLI = sys.argv.pop(1)
    unittest.main(verbosity=2)

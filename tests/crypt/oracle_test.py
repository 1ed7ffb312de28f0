#!/usr/bin/python3
"""Independent implementations reproduce corvanel-cli's encrypted files.

openssl (AES), pycryptodome (AES, DES, Blowfish) and Botan (CAST-256, IDEA,
SEED, Serpent, Twofish, and the others again) decrypt the name block and every
4096-byte body chunk of files made by `corvanel-cli encrypt`, each from the
cipher's initial counter, and decode the header's key verifier.
"""
import os
import subprocess
import sys
import tempfile
import unittest

import botan2
from Cryptodome.Cipher import AES, Blowfish, DES
from Cryptodome.Util import Counter

CLI = None
KEY_TEXT = "Zq7#kP2!mW9$xR4@"
KEY = KEY_TEXT.encode("ascii")
VERIFIER_KEY = b"Vq3Lm8Tr2Xe5" + bytes(4)
CHUNK = 4096

# name, suffix, block size, key bytes used, initial counter text, Botan name
CIPHERS = [
    ("aes", "_aes", 16, 16, b"kro", "AES-128"),
    ("blowfish", "_blf", 8, 16, b"vexil", "Blowfish"),
    ("cast256", "_cst", 16, 16, b"vexil", "CAST-256"),
    ("des", "_des", 8, 8, b"zup", "DES"),
    ("idea", "_dea", 8, 16, b"vexil", "IDEA"),
    ("seed", "_sed", 16, 16, b"vexil", "SEED"),
    ("serpent", "_srp", 16, 16, b"vexil", "Serpent"),
    ("twofish", "_twf", 16, 16, b"vexil", "Twofish"),
]


def initial_counter(text, block):
    return text + bytes(block - len(text))


def pycryptodome_ctr(name, key, counter, data):
    module = {"aes": AES, "des": DES, "blowfish": Blowfish}[name]
    ctr = Counter.new(len(counter) * 8, initial_value=int.from_bytes(counter, "big"))
    return module.new(key, module.MODE_CTR, counter=ctr).decrypt(data)


def botan_ctr(botan_name, key, counter, data):
    """CTR over Botan's raw block cipher, the whole block a big-endian counter."""
    cipher = botan2.BlockCipher(botan_name)
    cipher.set_key(key)
    block = len(counter)
    value = int.from_bytes(counter, "big")
    stream = bytearray()
    while len(stream) < len(data):
        stream += cipher.encrypt(value.to_bytes(block, "big"))
        value = (value + 1) % (1 << (8 * block))
    return bytes(a ^ b for a, b in zip(data, stream))


def openssl_aes_ctr(key, counter, data):
    return subprocess.run(
        ["openssl", "enc", "-d", "-aes-128-ctr", "-K", key.hex(), "-iv", counter.hex()],
        input=data, stdout=subprocess.PIPE, check=True).stdout


def chunks(body):
    return [body[i:i + CHUNK] for i in range(0, len(body), CHUNK)]


def run_cli(*args):
    return subprocess.run([CLI, *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE)


class OracleTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.plain = os.urandom(3 * CHUNK + 1234)
        self.source = os.path.join(self.dir.name, "field notes.txt")
        with open(self.source, "wb") as f:
            f.write(self.plain)

    def tearDown(self):
        self.dir.cleanup()

    def encrypt(self, cipher):
        result = run_cli("encrypt", self.source, "--cipher", cipher, "--key", KEY_TEXT)
        self.assertEqual(result.returncode, 0, result.stderr)
        return open(self.source + dict((c[0], c[1]) for c in CIPHERS)[cipher], "rb").read()

    def check_file(self, sealed, decrypt):
        self.assertEqual(len(sealed), len(self.plain) + 560)
        name = decrypt(sealed[300:560])
        self.assertEqual(name, b"field notes.txt".ljust(260, b"\0"))
        body = sealed[560:]
        for index, chunk in enumerate(chunks(body)):
            self.assertEqual(decrypt(chunk), self.plain[index * CHUNK:(index + 1) * CHUNK], f"chunk {index}")

    def test_pycryptodome_and_openssl(self):
        for name, _, block, key_length, text, _ in CIPHERS:
            if name not in ("aes", "des", "blowfish"):
                continue
            with self.subTest(cipher=name):
                counter = initial_counter(text, block)
                key = KEY[:key_length]
                self.check_file(self.encrypt(name), lambda data: pycryptodome_ctr(name, key, counter, data))
        sealed = self.encrypt("aes")
        self.check_file(sealed, lambda data: openssl_aes_ctr(KEY, initial_counter(b"kro", 16), data))

    def test_botan(self):
        for name, _, block, key_length, text, botan_name in CIPHERS:
            with self.subTest(cipher=name):
                counter = initial_counter(text, block)
                key = KEY[:key_length]
                self.check_file(self.encrypt(name), lambda data: botan_ctr(botan_name, key, counter, data))

    def test_header_carries_the_key_under_the_verifier_key(self):
        for name in ("des", "twofish"):
            with self.subTest(cipher=name):
                header = self.encrypt(name)[:300]
                verifier = bytes(
                    sum(((header[2 * (8 * k + i)] >> 7) & 1) << i for i in range(8)) for k in range(16))
                key = pycryptodome_ctr("aes", VERIFIER_KEY, initial_counter(b"kro", 16), verifier)
                self.assertEqual(key, KEY)

    def test_cli_round_trip_and_refusals(self):
        for name, suffix, *_ in CIPHERS + [("mars", "_mas"), ("rc6", "_rc6"), ("skipjack", "_skj"), ("tea", "_tea")]:
            with self.subTest(cipher=name):
                key_file = os.path.join(self.dir.name, "key")
                with open(key_file, "w") as f:
                    f.write(KEY_TEXT + "\n")
                self.assertEqual(run_cli("encrypt", self.source, "--cipher", name, "--key-file", key_file).returncode, 0)
                os.rename(self.source, self.source + ".orig")
                result = run_cli("decrypt", self.source + suffix, "--cipher", name, "--key-file", key_file)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(open(self.source, "rb").read(), self.plain)
                os.remove(self.source + ".orig")
                os.remove(self.source + suffix)
        wrong = run_cli("encrypt", self.source, "--key", "short")
        self.assertEqual(wrong.returncode, 1)
        self.assertTrue(wrong.stderr.endswith(b"\ncorvanel-cli: Key length must be sixteen!\n"), wrong.stderr)
        self.assertIn(b"can be seen by other users", wrong.stderr)  # --key's warning comes first
        empty = run_cli("encrypt", self.source, "--key", "")
        self.assertEqual(empty.returncode, 1)
        self.assertTrue(empty.stderr.endswith(b"\ncorvanel-cli: Key can not be empty!\n"), empty.stderr)
        mismatch = run_cli("decrypt", self.source + "_des", "--cipher", "aes", "--key", KEY_TEXT)
        self.assertEqual(mismatch.returncode, 1)
        self.assertIn(b"Decryption algorithm does not match the selected file", mismatch.stderr)
        self.assertEqual(run_cli("encrypt", self.source, "--cipher", "rot13", "--key", KEY_TEXT).returncode, 2)


if __name__ == "__main__":
    CLI = sys.argv.pop(1)
    unittest.main(verbosity=1)

#!/usr/bin/env python3
"""Opens files sealed by `qorveltools encrypt` with Python's cryptography package, following only
the container layout the README documents, and checks that an altered byte is refused.

usage: decrypt_independently.py QORVELTOOLS"""
import hashlib
import os
import struct
import subprocess
import sys
import tempfile

from cryptography.exceptions import InvalidTag
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

OBFUSCATION_PASSWORD = b"qorveltools obfuscation - this is not a secret"
KEY_CHECK_LABEL = b"qorveltools key check"


def open_sealed(data, password, path_in_tour):
    assert data[:4] == b"QVEF", "magic"
    version, mode, reserved, iterations = struct.unpack(">BBHI", data[4:12])
    assert (version, reserved) == (1, 0) and mode in (1, 2)
    salt, key_check, nonce = data[12:28], data[28:44], data[44:56]
    if mode == 2:
        password = OBFUSCATION_PASSWORD
    key = hashlib.pbkdf2_hmac("sha256", password, salt, iterations, 32)
    aes = AESGCM(key)
    if aes.encrypt(bytes(12), b"", KEY_CHECK_LABEL) != key_check:
        raise ValueError("wrong password")
    return aes.decrypt(nonce, data[56:], data[:56] + path_in_tour.encode("utf-8"))


def main():
    binary = sys.argv[1]
    with tempfile.TemporaryDirectory() as folder:
        files = {
            "tour.xml": b'<tour><preview url="t/preview.jpg"/><image><cube url="t/%s_%v_%h.jpg"/>'
                        b"</image></tour>\n",
            "t/preview.jpg": bytes(range(256)) * 3,
            "t/f_1_1.jpg": os.urandom(70000),
        }
        for name, data in files.items():
            os.makedirs(os.path.dirname(os.path.join(folder, name)), exist_ok=True)
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        with open(os.path.join(folder, "pw"), "w") as f:
            f.write("pässword\n")
        for mode, out in (("-passwordfile=" + os.path.join(folder, "pw"), "sealed"),
                          ("-obfuscate", "obfuscated")):
            subprocess.run([binary, "encrypt", "-images", mode, "-o=" + os.path.join(folder, out),
                            os.path.join(folder, "tour.xml")], check=True, stdout=subprocess.DEVNULL,
                           env={k: v for k, v in os.environ.items() if k != "QV_PASSWORD"})
            for name, data in files.items():
                with open(os.path.join(folder, out, name), "rb") as f:
                    sealed = f.read()
                assert open_sealed(sealed, "pässword".encode(), name) == data, (out, name)
                altered = bytearray(sealed)
                altered[-1] ^= 0x80
                try:
                    open_sealed(bytes(altered), "pässword".encode(), name)
                    raise AssertionError("an altered file opened: " + name)
                except InvalidTag:
                    pass
                try:
                    open_sealed(sealed, "pässword".encode(), name + "x")
                    raise AssertionError("a file opened under another path: " + name)
                except InvalidTag:
                    pass
        with open(os.path.join(folder, "sealed", "tour.xml"), "rb") as f:
            try:
                open_sealed(f.read(), b"wrong", "tour.xml")
                raise AssertionError("a wrong password was accepted")
            except ValueError:
                pass
    print("independent decryption: ok")


main()

#!/usr/bin/env python3
"""scripts/check-kit against kits it must refuse, each made here in its layout with stand-in
programs (headers alone): a PE of another machine, a universal Mach-O with one slice only, and a
manifest naming an add-on the kit lacks. The same kit unspoilt passes first."""
import importlib.machinery
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
CHECK = os.path.join(ROOT, "scripts", "check-kit")
kit_check = importlib.machinery.SourceFileLoader("check_kit", CHECK).load_module()
CPU = {name: cpu for cpu, name in kit_check.MACH_O_CPU.items()}


def pe(machine):  # DOS header, PE signature, file header, an empty PE32+ optional header
    return (b"MZ" + bytes(0x3A) + struct.pack("<I", 0x40) + b"PE\0\0" +
            struct.pack("<HHIIIHH", machine, 0, 0, 0, 0, 240, 0) + struct.pack("<H", 0x20B) + bytes(238))


def universal(archs):
    return b"\xca\xfe\xba\xbe" + struct.pack(">I", len(archs)) + b"".join(
        struct.pack(">IIIII", CPU[arch], 0, 0, 0, 0) for arch in archs)


def program(source, archs):
    if source.startswith("{windows}"):
        return pe(0x8664)
    return universal(archs) if len(archs) > 1 else b"\xcf\xfa\xed\xfe" + struct.pack("<I", CPU[archs[0]])


def write(path, data):
    with open(path, "wb") as file:
        file.write(data)


class CheckKit(unittest.TestCase):
    def check(self, spoil):
        with tempfile.TemporaryDirectory() as kit:
            for place, source, mode, archs in kit_check.LAYOUT:
                os.makedirs(os.path.dirname(os.path.join(kit, place)), exist_ok=True)
                if archs is None:
                    shutil.copy(os.path.join(ROOT, source), os.path.join(kit, place))
                else:
                    write(os.path.join(kit, place), program(source, archs))
                os.chmod(os.path.join(kit, place), mode)
            write(os.path.join(kit, "README.md"), b"")
            spoil(kit)
            return subprocess.run([sys.executable, CHECK, kit, "--complete"], capture_output=True, text=True)

    def test_each_bad_kit_is_refused(self):
        self.assertEqual(self.check(lambda kit: None).stdout, "")
        client = "cep/sandrel-adobe-auth-client/"
        for spoil, said in [
            (lambda kit: write(os.path.join(kit, "uxp/win/x64/sandrel-adobe-auth.exe"), pe(0xAA64)),
             "PE machine 0xaa64, not x86_64"),
            (lambda kit: write(os.path.join(kit, client + "sandrel-adobe-auth"), universal(["arm64"])),
             "arm64, not arm64 x86_64"),
            (lambda kit: write(os.path.join(kit, "uxp/manifest.json"),
                               json.dumps({"addon": {"name": "other.uxpaddon"}}).encode()),
             "names the add-on 'other.uxpaddon'"),
        ]:
            run = self.check(spoil)
            self.assertEqual(run.returncode, 1, said)
            self.assertIn(said, run.stdout)


if __name__ == "__main__":
    unittest.main()

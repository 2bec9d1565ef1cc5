#!/usr/bin/env python3
"""scripts/check-kit refuses a kit with a PE of another machine, a universal Mach-O with one
slice, or a manifest naming an add-on the kit lacks. Each kit is laid out here with stand-in
programs (headers alone); unspoilt, it passes."""
import importlib.machinery, json, os, shutil, struct, subprocess, sys, tempfile, unittest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
CHECK = os.path.join(ROOT, "scripts", "check-kit")
LAYOUT = importlib.machinery.SourceFileLoader("check_kit", CHECK).load_module().LAYOUT
CPU = {"arm64": 0x0100000C, "x86_64": 0x01000007}


def pe(machine):  # the DOS stub's pointer, the PE signature and file header, a PE32+ header
    return (b"MZ" + bytes(0x3A) + struct.pack("<I", 0x40) + b"PE\0\0" +
            struct.pack("<HHIIIHH", machine, 0, 0, 0, 0, 240, 0) + struct.pack("<H", 0x20B) + bytes(238))


def universal(archs):
    return b"\xca\xfe\xba\xbe" + struct.pack(">I", len(archs)) + b"".join(
        struct.pack(">5I", CPU[arch], 0, 0, 0, 0) for arch in archs)


def program(source, archs):
    if source.startswith("{windows}"):
        return pe(0x8664)
    return universal(archs) if len(archs) > 1 else b"\xcf\xfa\xed\xfe" + struct.pack("<I", CPU[archs[0]])


def write(path, data):
    with open(path, "wb") as file:
        file.write(data)


def check(spoil=None):
    with tempfile.TemporaryDirectory() as kit:
        for place, source, mode, archs in LAYOUT + [("README.md", "README.md", 0o644, None)]:
            path = os.path.join(kit, place)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            if archs is None:
                shutil.copy(os.path.join(ROOT, source), path)
            else:
                write(path, program(source, archs))
            os.chmod(path, mode)
        if spoil:
            write(os.path.join(kit, spoil[0]), spoil[1])
        return subprocess.run([sys.executable, CHECK, kit, "--complete"], capture_output=True, text=True)


class CheckKit(unittest.TestCase):
    def test_each_bad_kit_is_refused(self):
        self.assertEqual(check().stdout, "")
        for spoil, said in [
            (("uxp/win/x64/sandrel-adobe-auth.exe", pe(0xAA64)), "PE machine 0xaa64, not x86_64"),
            (("cep/sandrel-adobe-auth-client/sandrel-adobe-auth", universal(["arm64"])), "arm64, not arm64 x86_64"),
            (("uxp/manifest.json", json.dumps({"addon": {"name": "other.uxpaddon"}}).encode()),
             "names the add-on 'other.uxpaddon'"),
        ]:
            run = check(spoil)
            self.assertEqual(run.returncode, 1, said)
            self.assertIn(said, run.stdout)


if __name__ == "__main__":
    unittest.main()

#!/usr/bin/python3
"""Checks of a built TorvaNetWorkSetup.exe as Windows will see it, read with pefile.

  check_executable.py --exe PATH --arch x86|x64 [unittest arguments]
"""

import argparse
import sys
import unittest

import pefile  # Debian's python3-pefile

EXE = None
ARCH = None

MACHINES = {"x86": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"],
            "x64": pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]}
# DLLs that come with every Windows installation.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "ole32.dll", "oleaut32.dll",
               "advapi32.dll", "msvcrt.dll", "shell32.dll", "ntdll.dll"}
RT_MANIFEST = pefile.RESOURCE_TYPE["RT_MANIFEST"]
DLL_FLAGS = pefile.DLL_CHARACTERISTICS


class ExecutableTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(EXE)

    def test_gui_subsystem_and_machine(self):
        self.assertEqual(self.pe.OPTIONAL_HEADER.Subsystem,
                         pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_GUI"],
                         "a GUI program: no console window")
        self.assertEqual(self.pe.FILE_HEADER.Machine, MACHINES[ARCH])

    def test_imports_only_windows_system_dlls(self):
        imported = {entry.dll.decode().lower() for entry in self.pe.DIRECTORY_ENTRY_IMPORT}
        self.assertLessEqual(imported, SYSTEM_DLLS,
                             f"not part of Windows: {sorted(imported - SYSTEM_DLLS)}")

    def test_version_record(self):
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        self.assertEqual((fixed.FileVersionMS, fixed.FileVersionLS), (0x00010000, 0))
        self.assertEqual((fixed.ProductVersionMS, fixed.ProductVersionLS), (0x00010000, 0))
        strings, translations = {}, []
        for info in self.pe.FileInfo[0]:
            for table in getattr(info, "StringTable", []):
                strings[table.LangID.decode()] = {k.decode(): v.decode()
                                                  for k, v in table.entries.items()}
            for var in getattr(info, "Var", []):
                translations.append(var.entry)
        self.assertEqual(strings, {"040904B0": {
            "FileDescription": "update",
            "FileVersion": "1.00",
            "ProductVersion": "1.00",
            "ProductName": "TorvaNetWorkSetup",
            "InternalName": "TorvaNetWorkSetup",
            "OriginalFilename": "TorvaNetWorkSetup.exe",
        }})
        self.assertEqual(translations, [{b"Translation": "0x0409 0x04b0"}])

    def test_no_manifest(self):
        types = [entry.id for entry in self.pe.DIRECTORY_ENTRY_RESOURCE.entries]
        self.assertNotIn(RT_MANIFEST, types, "a manifest would switch installer detection off")

    def test_address_space_hardening(self):
        flags = self.pe.OPTIONAL_HEADER.DllCharacteristics
        self.assertTrue(flags & DLL_FLAGS["IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE"], "ASLR")
        self.assertTrue(flags & DLL_FLAGS["IMAGE_DLLCHARACTERISTICS_NX_COMPAT"], "NX")
        if ARCH == "x64":
            self.assertTrue(flags & DLL_FLAGS["IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA"],
                            "high-entropy addresses")
        self.assertTrue(self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]].Size,
            "relocations, without which ASLR cannot move the image")


    def test_dll_search_restricted_at_start(self):
        # SetDefaultDllDirectories is looked up by name at run time; SetDllDirectoryW is
        # imported. Either missing means the hardening call is gone.
        kernel32 = next(entry for entry in self.pe.DIRECTORY_ENTRY_IMPORT
                        if entry.dll.decode().lower() == "kernel32.dll")
        names = {imported.name.decode() for imported in kernel32.imports if imported.name}
        self.assertIn("SetDllDirectoryW", names)
        self.assertIn("GetProcAddress", names)
        self.assertNotEqual(self.pe.__data__.find(b"SetDefaultDllDirectories\0"), -1)


def main():
    global EXE, ARCH
    parser = argparse.ArgumentParser()
    parser.add_argument("--exe", required=True)
    parser.add_argument("--arch", required=True, choices=MACHINES)
    options, rest = parser.parse_known_args()
    EXE, ARCH = options.exe, options.arch
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()

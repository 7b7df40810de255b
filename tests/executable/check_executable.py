#!/usr/bin/python3
"""Checks of a built TorvaNetWorkSetup.exe as Windows will see it, read with pefile.

  check_executable.py --exe PATH --arch x86|x64 [unittest arguments]
"""

import argparse
import re
import subprocess
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
FILE_FLAGS = pefile.IMAGE_CHARACTERISTICS
DIRECTORY = pefile.DIRECTORY_ENTRY
SCN_WRITE, SCN_EXECUTE, SCN_SHARED = (pefile.SECTION_CHARACTERISTICS[f"IMAGE_SCN_MEM_{flag}"]
                                      for flag in ("WRITE", "EXECUTE", "SHARED"))

# The oldest Windows each build is for (NT version): Windows XP for x86, the first 64-bit Windows
# (XP Professional x64 / Server 2003 x64) for x64.
MINIMUM_WINDOWS = {"x86": (5, 1), "x64": (5, 2)}
# The first Windows (NT version, then service pack where one is needed) that has each imported
# function, from "Minimum supported client" in Microsoft's API reference. Functions whose pages
# name Windows 2000 or XP are filed under XP; the x64-only unwind support came with the first
# x64 Windows (5.2). msvcrt.dll is part of every Windows since 2000; its reference gives no
# Windows version per function, so they are filed under 2000. Functions that need more than the
# minimum are dated too, so that importing one fails: they must be looked up at run time. A new
# import fails the test until it is added.
FIRST_WINDOWS = {
    "kernel32.dll": {
        (5, 1): """AddVectoredExceptionHandler CloseHandle CreateEventA CreateSemaphoreA
            CreateSemaphoreW DeleteCriticalSection DuplicateHandle EnterCriticalSection
            FormatMessageW FreeLibrary GetCurrentProcess GetCurrentProcessId GetCurrentThread
            GetCurrentThreadId GetHandleInformation GetLastError GetModuleHandleA
            GetModuleHandleW GetProcAddress GetProcessAffinityMask GetStartupInfoW
            GetSystemTimeAsFileTime GetThreadContext GetThreadPriority HeapSetInformation
            InitializeCriticalSection IsDBCSLeadByteEx IsDebuggerPresent LeaveCriticalSection
            LoadLibraryA LoadLibraryW MultiByteToWideChar OpenProcess OutputDebugStringA
            RaiseException ReleaseSemaphore RemoveVectoredExceptionHandler ResetEvent
            ResumeThread SetEvent SetLastError SetProcessAffinityMask SetThreadContext
            SetThreadPriority SetUnhandledExceptionFilter Sleep SuspendThread TlsAlloc TlsFree
            TlsGetValue TlsSetValue TryEnterCriticalSection VirtualProtect VirtualQuery
            WaitForMultipleObjects WaitForSingleObject WideCharToMultiByte""",
        (5, 1, 1): "SetDllDirectoryW",  # XP SP1
        (5, 2): """RtlCaptureContext RtlLookupFunctionEntry RtlUnwindEx RtlVirtualUnwind
            __C_specific_handler""",
        (6, 0): "GetTickCount64",
        (6, 2): "SetDefaultDllDirectories",  # and Vista to 7 with KB2533623
    },
    "ole32.dll": {(5, 1): "CLSIDFromProgID CoCreateInstance CoInitializeEx CoUninitialize"},
    "oleaut32.dll": {(5, 1): """SysAllocStringLen SysFreeString SysStringLen
        VariantClear VariantInit"""},
    "user32.dll": {(5, 1): "MessageBoxW"},
    "msvcrt.dll": {(5, 0): """___lc_codepage_func ___mb_cur_max_func __iob_func __mb_cur_max
        __p__commode __p__fmode __p__wcmdln __set_app_type __setusermatherr __wgetmainargs
        __winitenv _amsg_exit _beginthreadex _cexit _close _commode _endthreadex _errno _fmode
        _initterm _iob _onexit _read _setjmp _setjmp3 _strdup _ultoa _wcmdln abort atoi calloc
        exit fprintf fputc fputs fputwc free fwprintf fwrite localeconv longjmp malloc memchr
        memcmp memcpy memmove memset printf realloc setlocale signal strchr strcmp strerror
        strlen strncmp vfprintf wcschr wcslen"""},
}


def frame_handler_registrations():
    """x86 instructions that store to fs:[0], the head of the thread's SEH frame chain: under
    NO_SEH, Windows refuses a handler that lies in this image."""
    listing = subprocess.run(["i686-w64-mingw32-objdump", "-d", EXE], check=True,
                             capture_output=True, text=True).stdout
    return [line.strip() for line in listing.splitlines() if re.search(r",%fs:0x0$", line)]


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

    def test_scan_rules_without_debug_information(self):
        # What an organisation's binary scan (BinSkim's PE rules) checks; each row names what
        # the property protects.
        pe, fh, oh = self.pe, self.pe.FILE_HEADER, self.pe.OPTIONAL_HEADER
        flags = oh.DllCharacteristics
        x64 = ARCH == "x64"
        imports_rva = oh.DATA_DIRECTORY[DIRECTORY["IMAGE_DIRECTORY_ENTRY_IMPORT"]].VirtualAddress
        imports_section = pe.get_section_by_rva(imports_rva)
        imports_in = imports_section.Name.rstrip(b"\0").decode() if imports_section else None
        relocations = oh.DATA_DIRECTORY[DIRECTORY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]].Size
        load_config = oh.DATA_DIRECTORY[DIRECTORY["IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"]].Size
        sections = {s.Name.rstrip(b"\0").decode(): s.Characteristics for s in pe.sections}
        shared_writable = [n for n, c in sections.items() if c & SCN_WRITE and c & SCN_SHARED]
        writable_code = [n for n, c in sections.items() if c & SCN_WRITE and c & SCN_EXECUTE]
        registrations = [] if x64 else frame_handler_registrations()
        rows = [  # (protects, rule, applies, holds, found)
            ("ASLR over the whole 64-bit space: image base above 4 GB", "BA2001", x64,
             oh.ImageBase > 0xFFFFFFFF, f"image base {oh.ImageBase:#x}"),
            ("ASLR: dynamic base, relocations kept", "BA2009", True,
             bool(flags & DLL_FLAGS["IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE"]) and relocations > 0
             and not fh.Characteristics & FILE_FLAGS["IMAGE_FILE_RELOCS_STRIPPED"],
             f"DllCharacteristics {flags:#x}, relocations {relocations} bytes"),
            ("import table not executable", "BA2010", True,
             imports_section is not None and not imports_section.Characteristics & SCN_EXECUTE,
             f"imports in {imports_in}, flags {sections.get(imports_in, 0):#x}"),
            # The cookie's check reads the load configuration; without one there is none to
            # find modified. A load configuration appearing must be looked at anew.
            ("stack-protection cookie not modified: no load configuration", "BA2012", True,
             load_config == 0, f"load configuration {load_config} bytes"),
            ("high-entropy ASLR: 64-bit addresses, large-address-aware", "BA2015", x64,
             bool(flags & DLL_FLAGS["IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA"])
             and bool(fh.Characteristics & FILE_FLAGS["IMAGE_FILE_LARGE_ADDRESS_AWARE"]),
             f"DllCharacteristics {flags:#x}, Characteristics {fh.Characteristics:#x}"),
            # BinSkim does not apply it to 64-bit images, which Windows always runs with DEP.
            ("data never executed: NX compatible", "BA2016", not x64,
             bool(flags & DLL_FLAGS["IMAGE_DLLCHARACTERISTICS_NX_COMPAT"]),
             f"DllCharacteristics {flags:#x}"),
            ("no exception handler but listed ones: NO_SEH, and no handler registered", "BA2018",
             not x64, bool(flags & DLL_FLAGS["IMAGE_DLLCHARACTERISTICS_NO_SEH"])
             and not registrations,
             f"DllCharacteristics {flags:#x}, handler registrations {registrations}"),
            ("no writable section shared between processes", "BA2019", True,
             not shared_writable, f"shared writable sections {shared_writable}"),
            ("no writable code; sections page-aligned", "BA2021", True,
             not writable_code and oh.SectionAlignment >= 0x1000,
             f"writable code {writable_code}, section alignment {oh.SectionAlignment:#x}"),
        ]
        for protects, rule, applies, holds, found in rows:
            if applies:
                with self.subTest(rule):
                    self.assertTrue(holds, f"{rule} ({protects}): found {found}")

    def test_imports_exist_on_the_stated_minimum_windows(self):
        header = (self.pe.OPTIONAL_HEADER.MajorOperatingSystemVersion,
                  self.pe.OPTIONAL_HEADER.MinorOperatingSystemVersion,
                  self.pe.OPTIONAL_HEADER.MajorSubsystemVersion,
                  self.pe.OPTIONAL_HEADER.MinorSubsystemVersion)
        minimum = MINIMUM_WINDOWS[ARCH]
        self.assertEqual(header, minimum * 2,
                         "OS and subsystem versions (major, minor, major, minor)")
        first_windows = {(dll, name): version for dll, by_version in FIRST_WINDOWS.items()
                         for version, names in by_version.items() for name in names.split()}
        for entry in self.pe.DIRECTORY_ENTRY_IMPORT:
            dll = entry.dll.decode().lower()
            for imported in entry.imports:
                name = imported.name.decode() if imported.name else f"#{imported.ordinal}"
                with self.subTest(f"{dll}!{name}"):
                    version = first_windows.get((dll, name))
                    self.assertIsNotNone(version, f"{dll}!{name} is not in FIRST_WINDOWS")
                    self.assertLessEqual(version, minimum,
                                         f"{dll}!{name} needs Windows {version}")

    def test_hardening_calls_at_start(self):
        # The DLL-search calls are looked up by name at run time (neither is on every Windows
        # the build runs on); a name missing means that call is gone. The heap call is imported.
        kernel32 = next(entry for entry in self.pe.DIRECTORY_ENTRY_IMPORT
                        if entry.dll.decode().lower() == "kernel32.dll")
        imported = {entry.name.decode() for entry in kernel32.imports if entry.name}
        rows = [  # (call, applies, how it is reached)
            # x86 only: Windows ends 64-bit processes on heap corruption by itself.
            ("HeapSetInformation", ARCH == "x86", "imported"),
            ("GetProcAddress", True, "imported"),
            ("SetDefaultDllDirectories", True, "looked up"),
            ("SetDllDirectoryW", True, "looked up"),
        ]
        for call, applies, reached in rows:
            if applies:
                with self.subTest(call):
                    if reached == "imported":
                        self.assertIn(call, imported, f"{call} imported from kernel32.dll")
                    else:
                        self.assertNotEqual(self.pe.__data__.find(call.encode() + b"\0"), -1,
                                            f"{call} named in the image, to be looked up")


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

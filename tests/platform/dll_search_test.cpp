// The DLL search on each Windows the tool runs on: what it asks of each one, through a kernel32
// that has only what that Windows has; and, on this one, a DLL planted next to this program
// under a system DLL's name. Run with WINEDLLOVERRIDES="dwmapi,uxtheme=n,b", so that Wine, like
// Windows, takes a DLL found in the program's folder as it is instead of its own built-in one.
#include "dll_search.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

// For messages: the paths here are ASCII.
std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// The calls made through the kernel32 below, in order.
std::string calls;

BOOL WINAPI SetDefaultDllDirectoriesStandIn(DWORD flags) {
    char text[48];
    std::snprintf(text, sizeof text, "SetDefaultDllDirectories(%#lx) ", flags);
    calls += text;
    return TRUE;
}

BOOL WINAPI SetDllDirectoryWStandIn(LPCWSTR path) {
    calls += path ? "SetDllDirectoryW(\"" + Narrow(path) + "\") " : "SetDllDirectoryW(null) ";
    return TRUE;
}

// kernel32.dll of a Windows that has the functions named, and no other.
template <bool hasSetDefaultDllDirectories, bool hasSetDllDirectoryW>
void* Kernel32With(const char* name) {
    if (hasSetDefaultDllDirectories && std::strcmp(name, "SetDefaultDllDirectories") == 0)
        return reinterpret_cast<void*>(&SetDefaultDllDirectoriesStandIn);
    if (hasSetDllDirectoryW && std::strcmp(name, "SetDllDirectoryW") == 0)
        return reinterpret_cast<void*>(&SetDllDirectoryWStandIn);
    return nullptr;
}

TEST(DllSearchTest, EachWindowsIsAskedForWhatItHas) {
    const struct {
        const char* windows;
        platform::windows::Kernel32Lookup kernel32;
        const char* expectedCalls;
    } rows[] = {
        {"Windows 8 and later; Vista and 7 with KB2533623", Kernel32With<true, true>,
         "SetDefaultDllDirectories(0x800) SetDllDirectoryW(\"\") "},
        {"XP SP1 to Vista and 7 without KB2533623", Kernel32With<false, true>,
         "SetDllDirectoryW(\"\") "},
        {"XP before SP1", Kernel32With<false, false>, ""},
    };
    for (const auto& row : rows) {
        calls.clear();
        platform::windows::RestrictDllSearchToSystemDirectory(row.kernel32);
        EXPECT_EQ(calls, row.expectedCalls) << "on " << row.windows;
    }
}

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH];
    std::wstring folder(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

class PlantedDll {
public:
    explicit PlantedDll(const wchar_t* name) : path_(ProgramFolder() + name) {
        DeleteFileW(Marker().c_str());
        EXPECT_TRUE(CopyFileW((ProgramFolder() + L"planted_marker.dll").c_str(), path_.c_str(),
                              FALSE))
            << "planting " << Narrow(path_);
    }
    ~PlantedDll() {
        DeleteFileW(Marker().c_str());
        DeleteFileW(path_.c_str());
    }
    bool WasLoaded() const {
        return GetFileAttributesW(Marker().c_str()) != INVALID_FILE_ATTRIBUTES;
    }

private:
    std::wstring Marker() const { return path_ + L".loaded"; }
    std::wstring path_;
};

std::wstring LoadedFrom(HMODULE module) {
    wchar_t path[MAX_PATH];
    return std::wstring(path, GetModuleFileNameW(module, path, MAX_PATH));
}

TEST(DllSearchTest, PlantedDllIsLoadedBeforeAndIgnoredAfterTheSearchIsRestricted) {
    // This Windows, through the real kernel32. Unrestricted, a DLL loaded by name comes from
    // the program's folder: the plant works, so this test can see it.
    PlantedDll dwmapi(L"dwmapi.dll");
    const HMODULE before = LoadLibraryW(L"dwmapi.dll");
    EXPECT_TRUE(dwmapi.WasLoaded()) << "without the restriction the planted DLL should load; "
                                       "is WINEDLLOVERRIDES=dwmapi,uxtheme=n,b set?";

    platform::windows::RestrictDllSearchToSystemDirectory();

    ASSERT_EQ(GetModuleHandleW(L"uxtheme.dll"), nullptr) << "already loaded, so not searched for";
    PlantedDll uxtheme(L"uxtheme.dll");
    const HMODULE after = LoadLibraryW(L"uxtheme.dll");
    ASSERT_NE(after, nullptr) << "the system's own uxtheme.dll is still found";
    EXPECT_FALSE(uxtheme.WasLoaded())
        << "the planted uxtheme.dll was loaded from " << Narrow(ProgramFolder());
    const std::wstring from = LoadedFrom(after);
    EXPECT_EQ(from.find(ProgramFolder()), std::wstring::npos)
        << "loaded from " << Narrow(from);
    if (before) FreeLibrary(before);
    FreeLibrary(after);
}

}  // namespace

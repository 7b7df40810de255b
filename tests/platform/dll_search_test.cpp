// DLL planting: copies of planted_marker.dll are put next to this program under the names of
// system DLLs. Run with WINEDLLOVERRIDES="dwmapi,uxtheme=n,b", so that Wine, like Windows,
// takes a DLL found in the program's folder as it is instead of its own built-in one.
#include "dll_search.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

namespace {

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH];
    std::wstring folder(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

// For messages: the paths here are ASCII.
std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

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
    // Unrestricted, a DLL loaded by name comes from the program's folder: the plant works,
    // so this test can see it.
    PlantedDll dwmapi(L"dwmapi.dll");
    const HMODULE before = LoadLibraryW(L"dwmapi.dll");
    EXPECT_TRUE(dwmapi.WasLoaded()) << "without the restriction the planted DLL should load; "
                                       "is WINEDLLOVERRIDES=dwmapi,uxtheme=n,b set?";

    platform::windows::RestrictDllSearchToSystemDirectory();

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

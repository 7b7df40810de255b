// boxwatch: starts programs (CreateProcessW), reports their message boxes as a person at the
// screen would see them, and presses OK. Texts are UTF-16 code units in hex ("-" when empty),
// which nothing on the way re-encodes.
//   boxwatch.exe --title T --launch NAME=COMMANDLINE [--launch ...] [--runs N] [--wait-ms N]
//                [--hold-file F] [--hold-ms N] [--poll-ms N]
//     N rounds (1 by default), each running every command line in turn. Each new visible dialog
//     (class "#32770") of the program titled T, looked for every --poll-ms (50 by default), is
//     reported on a line:
//       box title=<hex> text=<hex> icon=information|error|warning|question|none|unknown
//           buttons=<id>:<hex>,...|- rect=left,top,right,bottom
//     and OK is pressed at once or, with --hold-file, once that file exists, the box is gone or
//     --hold-ms has passed ("hold-expired ms=N"). Once the program has ended (after one last
//     look), a line says the microseconds from just before its creation until its first box,
//     its peak working set then and its exit code. A failed run ends the rounds: no box within
//     --wait-ms, or no end within --wait-ms of its last box, ends the program first.
//       run=<i> name=<NAME> visible_us=<n> peak_kb=<n> exit=<code>
//       run=<i> name=<NAME> error=launch|no-box|no-box-within|did-not-end ...
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

struct Options {
    std::wstring title, holdFile;
    std::vector<std::wstring> launches;  // NAME=COMMANDLINE
    DWORD waitMs = 60000, holdMs = 60000, pollMs = 50;
    int runs = 1;
};

std::string Hex(const std::wstring& text) {
    std::string hex;
    char unit[8];
    for (wchar_t c : text) {
        std::snprintf(unit, sizeof unit, "%s%04X", hex.empty() ? "" : "-", unsigned(c));
        hex += unit;
    }
    return hex.empty() ? "-" : hex;
}

std::wstring WindowText(HWND window) {
    std::wstring text(GetWindowTextLengthW(window) + 1, L'\0');
    text.resize(GetWindowTextW(window, text.data(), int(text.size())));
    return text;
}

std::wstring ClassName(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

bool FileExists(const std::wstring& path) {
    return !path.empty() && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

BOOL CALLBACK CollectVisible(HWND window, LPARAM list) {
    if (IsWindowVisible(window)) reinterpret_cast<std::vector<HWND>*>(list)->push_back(window);
    return TRUE;
}

// 32-bit pixels of a width x height image, drawn by `paint` onto a bitmap of its own.
template <typename Paint>
std::vector<DWORD> Pixels(int width, int height, Paint paint) {
    BITMAPINFO format{};
    format.bmiHeader = {sizeof format.bmiHeader, width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HDC screen = GetDC(nullptr), memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateDIBSection(screen, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
    std::vector<DWORD> pixels;
    if (bitmap) {
        HGDIOBJ previous = SelectObject(memory, bitmap);
        paint(memory, screen);
        GdiFlush();
        const DWORD* data = static_cast<const DWORD*>(bits);
        pixels.assign(data, data + size_t(width) * height);
        SelectObject(memory, previous);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

long Distance(const std::vector<DWORD>& a, const std::vector<DWORD>& b) {
    long sum = 0;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i) {
        for (int shift = 0; shift < 24; shift += 8) {
            sum += std::labs(long((a[i] >> shift) & 0xFF) - long((b[i] >> shift) & 0xFF));
        }
    }
    return sum;
}

// Which system message box icon the control shows. Icon handles differ across processes (on
// Wine), so what is on the screen is compared with each system icon on the same background.
const char* IconName(HWND control) {
    RECT rect{};
    GetWindowRect(control, &rect);
    const int width = rect.right - rect.left, height = rect.bottom - rect.top;
    if (width <= 0 || height <= 0) return "none";
    const auto shown = Pixels(width, height, [&](HDC target, HDC screen) {
        BitBlt(target, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    });
    if (shown.empty()) return "unknown";
    const DWORD background = shown.front();  // icons leave their corners transparent
    struct Known { LPCWSTR id; const char* name; };
    const Known known[] = {{IDI_INFORMATION, "information"}, {IDI_ERROR, "error"},
                           {IDI_WARNING, "warning"}, {IDI_QUESTION, "question"}};
    // The closest system icon, when it is clearly closer than any other; "unknown" while the
    // control is not painted yet (or shows something else).
    std::multimap<long, const char*> ranked;  // by distance
    for (const auto& k : known) {
        ranked.emplace(Distance(shown, Pixels(width, height, [&](HDC target, HDC) {
            const RECT all{0, 0, width, height};
            SetDCBrushColor(target, RGB((background >> 16) & 0xFF, (background >> 8) & 0xFF,
                                        background & 0xFF));
            FillRect(target, &all, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
            DrawIconEx(target, 0, 0, LoadIconW(nullptr, k.id), width, height, 0, nullptr,
                       DI_NORMAL);
        })), k.name);
    }
    const auto best = ranked.begin(), runnerUp = std::next(best);
    return best->first * 4 < runnerUp->first ? best->second : "unknown";
}

struct BoxReport {
    std::wstring text;
    std::string buttons;
    HWND iconControl = nullptr, okButton = nullptr;
};

BoxReport ReadBox(HWND box) {
    BoxReport report;
    std::vector<HWND> children;
    EnumChildWindows(box, CollectVisible, reinterpret_cast<LPARAM>(&children));
    for (HWND child : children) {
        const std::wstring kind = ClassName(child);
        if (_wcsicmp(kind.c_str(), L"Static") == 0) {
            const bool icon = (GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
            if (icon) report.iconControl = child;
            else report.text += WindowText(child);
        } else if (_wcsicmp(kind.c_str(), L"Button") == 0) {
            const int id = GetDlgCtrlID(child);
            if (!report.buttons.empty()) report.buttons += ',';
            report.buttons += std::to_string(id) + ':' + Hex(WindowText(child));
            if (id == IDOK) report.okButton = child;
        }
    }
    return report;
}

void Report(HWND box) {
    const BoxReport report = ReadBox(box);
    RECT rect{};
    GetWindowRect(box, &rect);
    // A busy machine may not have painted the icon yet: look again for a few seconds.
    std::string icon = report.iconControl ? "unknown" : "none";
    for (int attempt = 0; attempt < 50 && icon == "unknown"; ++attempt) {
        icon = IconName(report.iconControl);
        if (icon == "unknown") Sleep(100);
    }
    std::printf("box title=%s text=%s icon=%s buttons=%s rect=%ld,%ld,%ld,%ld\n",
                Hex(WindowText(box)).c_str(), Hex(report.text).c_str(), icon.c_str(),
                report.buttons.empty() ? "-" : report.buttons.c_str(), rect.left, rect.top,
                rect.right, rect.bottom);
    std::fflush(stdout);
}

struct Watched {
    std::set<HWND> boxes;          // every box it reported
    LARGE_INTEGER firstVisible{};  // when its first box was found
    SIZE_T peakKb = 0;             // the program's peak working set by then
    bool waitExpired = false;      // waitMs passed without a box
};

// Watches the program's boxes as described at the top, until it has ended (with one last look)
// or --wait-ms has passed since its start or its last box.
Watched WatchBoxes(const Options& options, HANDLE program, DWORD programId) {
    Watched watched;
    DWORD lastActivity = GetTickCount();
    for (bool lastLook = false; !lastLook;) {
        const bool ended = WaitForSingleObject(program, 0) == WAIT_OBJECT_0;
        watched.waitExpired = !ended && GetTickCount() - lastActivity > options.waitMs;
        lastLook = ended || watched.waitExpired;
        std::vector<HWND> boxes;
        EnumWindows(CollectVisible, reinterpret_cast<LPARAM>(&boxes));
        for (HWND box : boxes) {
            DWORD owner = 0;
            GetWindowThreadProcessId(box, &owner);
            if (owner != programId || ClassName(box) != L"#32770" ||
                WindowText(box) != options.title || !watched.boxes.insert(box).second) {
                continue;
            }
            if (watched.boxes.size() == 1) {
                QueryPerformanceCounter(&watched.firstVisible);
                PROCESS_MEMORY_COUNTERS memory{};
                memory.cb = sizeof memory;
                GetProcessMemoryInfo(program, &memory, sizeof memory);
                watched.peakKb = memory.PeakWorkingSetSize / 1024;
            }
            Sleep(300);  // let the box finish painting before it is read or photographed
            Report(box);
            const DWORD holdStart = GetTickCount();
            while (!options.holdFile.empty() && !FileExists(options.holdFile) && IsWindow(box)) {
                if (GetTickCount() - holdStart > options.holdMs) {
                    std::printf("hold-expired ms=%lu\n", options.holdMs);
                    break;
                }
                Sleep(50);
            }
            std::fflush(stdout);
            // Answered as a click on its OK button would answer it.
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                         reinterpret_cast<LPARAM>(ReadBox(box).okButton));
            lastActivity = GetTickCount();
        }
        if (!lastLook) Sleep(options.pollMs);
    }
    return watched;
}

// One timed run of NAME=COMMANDLINE, watched as above; false, said in one line, on failure.
bool TimeOneRun(const Options& options, int run, const std::wstring& launch) {
    const std::wstring name = launch.substr(0, launch.find(L'='));
    std::wstring commandLine = launch.substr(launch.find(L'=') + 1);
    LARGE_INTEGER frequency, start;
    QueryPerformanceFrequency(&frequency);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    QueryPerformanceCounter(&start);
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
        std::printf("run=%d name=%ls error=launch code=%lu\n", run, name.c_str(), GetLastError());
        return false;
    }
    const Watched watched = WatchBoxes(options, process.hProcess, process.dwProcessId);
    // A program that showed no box in time is ended at once; one that did, given time to end.
    const DWORD endMs = watched.boxes.empty() && watched.waitExpired ? 0 : options.waitMs;
    const bool ended = WaitForSingleObject(process.hProcess, endMs) == WAIT_OBJECT_0;
    if (!ended) TerminateProcess(process.hProcess, 1);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    std::printf("run=%d name=%ls ", run, name.c_str());
    if (watched.boxes.empty() && watched.waitExpired) {
        std::printf("error=no-box-within ms=%lu\n", options.waitMs);
    } else if (watched.boxes.empty()) {
        std::printf("error=no-box exit=%lu\n", exitCode);
    } else if (!ended) {
        std::printf("error=did-not-end ms=%lu\n", options.waitMs);
    } else {
        std::printf("visible_us=%lld peak_kb=%zu exit=%lu\n",
                    (watched.firstVisible.QuadPart - start.QuadPart) * 1000000 / frequency.QuadPart,
                    size_t(watched.peakKb), exitCode);
    }
    std::fflush(stdout);
    return !watched.boxes.empty() && ended;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring name = argv[i], value = argv[i + 1];
        if (name == L"--title") options.title = value;
        else if (name == L"--hold-file") options.holdFile = value;
        else if (name == L"--hold-ms") options.holdMs = std::wcstoul(value.c_str(), nullptr, 10);
        else if (name == L"--wait-ms") options.waitMs = std::wcstoul(value.c_str(), nullptr, 10);
        else if (name == L"--poll-ms") options.pollMs = std::wcstoul(value.c_str(), nullptr, 10);
        else if (name == L"--runs") options.runs = int(std::wcstol(value.c_str(), nullptr, 10));
        else if (name == L"--launch") options.launches.push_back(value);
        else {
            std::fprintf(stderr, "boxwatch: unknown option %ls\n", name.c_str());
            return 2;
        }
    }
    if (options.title.empty() || options.launches.empty()) {
        std::fprintf(stderr, "boxwatch: --title and --launch are required\n");
        return 2;
    }
    for (int run = 1; run <= options.runs; ++run) {
        for (const std::wstring& launch : options.launches) {
            if (!TimeOneRun(options, run, launch)) return 2;
        }
    }
    return 0;
}

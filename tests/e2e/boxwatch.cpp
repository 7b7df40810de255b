// boxwatch: watches for message boxes with a given title, the way a person in front of the
// screen would see them, and answers them with OK.
//
//   boxwatch.exe --title T [--stop-file F] [--hold-file F] [--hold-ms N] [--wait-ms N]
//     Every new visible top-level dialog (class "#32770") titled T is reported on one line:
//       box title=<hex> text=<hex> icon=information|error|warning|question|none|unknown
//           buttons=<id>:<hex>,... rect=left,top,right,bottom
//     where <hex> is the text as UTF-16 code units in hex, so that nothing on the way can
//     re-encode it. Its first line, once it has looked at the desktop's windows, is
//       watching
//     so that the program to watch can be started only then. Once reported, the box is
//     answered with OK; with --hold-file, only after that file exists (time for a
//     screenshot), or once the box is gone (a person answered it), or after --hold-ms,
//     which is then said:
//       hold-expired ms=N
//     Watching ends when the stop file exists (one last look is taken first) or after
//     --wait-ms without any box, which is then said:
//       wait-expired ms=N
//     The last line is
//       count=N
//
//   boxwatch.exe --title T --launch NAME=COMMANDLINE [--launch ...] [--runs N]
//     Benchmark mode: N rounds, each starting every command line once, in turn, and watching
//     its boxes as above. For each run it prints the microseconds from just before process
//     creation until the program's box is found, the program's peak working set up to then,
//     and its exit code once OK has been pressed:
//       run=<i> name=<NAME> visible_us=<n> peak_kb=<n> exit=<code>
//     A run that fails ends the rounds with one line saying why, e.g. a program that shows no
//     box within --wait-ms (it is then ended) or does not end within --wait-ms of its box:
//       run=<i> name=<NAME> error=launch|no-box|no-box-within|did-not-end ...
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <set>
#include <string>
#include <vector>

namespace {

struct Options {
    std::wstring title;
    std::wstring stopFile;
    std::wstring holdFile;
    std::vector<std::pair<std::wstring, std::wstring>> launches;  // name, command line
    DWORD waitMs = 60000;
    DWORD holdMs = 60000;
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

// 32-bit pixels of a width x height image, drawn by `paint` onto a bitmap of its own.
template <typename Paint>
std::vector<DWORD> Pixels(int width, int height, Paint paint) {
    BITMAPINFO format{};
    format.bmiHeader.biSize = sizeof format.bmiHeader;
    format.bmiHeader.biWidth = width;
    format.bmiHeader.biHeight = -height;
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    format.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
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

// Which of the system's message box icons the icon control shows. Icon handles cannot be
// compared across processes (they differ on Wine), so what is on the screen is compared with
// each system icon drawn on the same background.
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
    const char* best = "unknown";
    long bestDistance = -1, runnerUp = -1;
    for (const auto& k : known) {
        const auto drawn = Pixels(width, height, [&](HDC target, HDC) {
            const RECT all{0, 0, width, height};
            HBRUSH fill = CreateSolidBrush(
                RGB((background >> 16) & 0xFF, (background >> 8) & 0xFF, background & 0xFF));
            FillRect(target, &all, fill);
            DeleteObject(fill);
            DrawIconEx(target, 0, 0, LoadIconW(nullptr, k.id), width, height, 0, nullptr,
                       DI_NORMAL);
        });
        const long distance = Distance(shown, drawn);
        if (bestDistance < 0 || distance < bestDistance) {
            runnerUp = bestDistance;
            bestDistance = distance;
            best = k.name;
        } else if (runnerUp < 0 || distance < runnerUp) {
            runnerUp = distance;
        }
    }
    return bestDistance * 4 < runnerUp ? best : "unknown";
}

struct BoxReport {
    std::wstring text;
    HWND iconControl = nullptr;
    std::string buttons;
    HWND okButton = nullptr;
};

BOOL CALLBACK InspectChild(HWND child, LPARAM param) {
    auto& report = *reinterpret_cast<BoxReport*>(param);
    const std::wstring kind = ClassName(child);
    if (_wcsicmp(kind.c_str(), L"Static") == 0) {
        const LONG style = GetWindowLongW(child, GWL_STYLE);
        if ((style & SS_TYPEMASK) == SS_ICON) {
            if (IsWindowVisible(child)) report.iconControl = child;
        } else if (IsWindowVisible(child)) {
            report.text += WindowText(child);
        }
    } else if (_wcsicmp(kind.c_str(), L"Button") == 0 && IsWindowVisible(child)) {
        const int id = GetDlgCtrlID(child);
        char entry[32];
        std::snprintf(entry, sizeof entry, "%s%d:", report.buttons.empty() ? "" : ",", id);
        report.buttons += entry + Hex(WindowText(child));
        if (id == IDOK) report.okButton = child;
    }
    return TRUE;
}

struct Search {
    const std::wstring* title;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectBoxes(HWND window, LPARAM param) {
    auto& search = *reinterpret_cast<Search*>(param);
    if (IsWindowVisible(window) && ClassName(window) == L"#32770" &&
        WindowText(window) == *search.title) {
        search.found.push_back(window);
    }
    return TRUE;
}

std::vector<HWND> FindBoxes(const std::wstring& title) {
    Search search{&title, {}};
    EnumWindows(CollectBoxes, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Answers the box as a click on its OK button would.
void PressOk(HWND box) {
    BoxReport report;
    EnumChildWindows(box, InspectChild, reinterpret_cast<LPARAM>(&report));
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(report.okButton));
}

void Report(HWND box) {
    BoxReport report;
    EnumChildWindows(box, InspectChild, reinterpret_cast<LPARAM>(&report));
    RECT rect{};
    GetWindowRect(box, &rect);
    // A busy machine may not have painted the icon yet: look again for a few seconds.
    const char* icon = "none";
    if (report.iconControl) {
        for (int attempt = 0; attempt < 50; ++attempt, Sleep(100)) {
            icon = IconName(report.iconControl);
            if (std::strcmp(icon, "unknown") != 0) break;
        }
    }
    std::printf("box title=%s text=%s icon=%s buttons=%s rect=%ld,%ld,%ld,%ld\n",
                Hex(WindowText(box)).c_str(), Hex(report.text).c_str(), icon,
                report.buttons.empty() ? "-" : report.buttons.c_str(), rect.left, rect.top,
                rect.right, rect.bottom);
    std::fflush(stdout);
}

// What one watch saw of the program it started, if any.
struct Watched {
    size_t boxes = 0;
    LARGE_INTEGER firstVisible{};  // when its first box was found
    SIZE_T peakKb = 0;             // the program's peak working set by then
    bool waitExpired = false;      // waitMs passed without a box
};

// Watches until the stop file exists or `program` (when given) has ended, taking one last
// look; or until --wait-ms passes without any box. Each new box titled T (of `program` alone,
// when given) is reported, held as --hold-file asks, and answered with OK.
Watched WatchBoxes(const Options& options, HANDLE program = nullptr, DWORD programId = 0) {
    Watched watched;
    std::set<HWND> seen;
    DWORD lastActivity = GetTickCount();
    for (bool lastLook = false, first = true; !lastLook; first = false) {
        const bool ended = FileExists(options.stopFile) ||
                           (program && WaitForSingleObject(program, 0) == WAIT_OBJECT_0);
        watched.waitExpired = !ended && GetTickCount() - lastActivity > options.waitMs;
        lastLook = ended || watched.waitExpired;
        std::vector<HWND> boxes = FindBoxes(options.title);
        if (first && !program) {
            std::printf("watching\n");
            std::fflush(stdout);
        }
        for (HWND box : boxes) {
            DWORD owner = 0;
            GetWindowThreadProcessId(box, &owner);
            if ((program && owner != programId) || !seen.insert(box).second) continue;
            if (seen.size() == 1 && program) {
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
            PressOk(box);
            lastActivity = GetTickCount();
        }
        if (!lastLook) Sleep(program ? 1 : 50);
    }
    watched.boxes = seen.size();
    return watched;
}

// One timed run of `commandLine`, watched as above; false when it failed, said in one line.
bool TimeOneRun(const Options& options, int run, const std::wstring& name,
                std::wstring commandLine) {
    LARGE_INTEGER frequency, start;
    QueryPerformanceFrequency(&frequency);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    QueryPerformanceCounter(&start);
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
        std::printf("run=%d name=%ls error=launch code=%lu\n", run, name.c_str(),
                    GetLastError());
        return false;
    }
    const Watched watched = WatchBoxes(options, process.hProcess, process.dwProcessId);
    const bool ended = WaitForSingleObject(process.hProcess, options.waitMs) == WAIT_OBJECT_0;
    if (!ended) TerminateProcess(process.hProcess, 1);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    if (watched.boxes == 0) {
        if (watched.waitExpired) {
            std::printf("run=%d name=%ls error=no-box-within ms=%lu\n", run, name.c_str(),
                        options.waitMs);
        } else {
            std::printf("run=%d name=%ls error=no-box exit=%lu\n", run, name.c_str(), exitCode);
        }
        return false;
    }
    if (!ended) {
        std::printf("run=%d name=%ls error=did-not-end ms=%lu\n", run, name.c_str(),
                    options.waitMs);
        return false;
    }
    std::printf("run=%d name=%ls visible_us=%lld peak_kb=%zu exit=%lu\n", run, name.c_str(),
                (watched.firstVisible.QuadPart - start.QuadPart) * 1000000 / frequency.QuadPart,
                size_t(watched.peakKb), exitCode);
    std::fflush(stdout);
    return true;
}

int Launch(const Options& options) {
    for (int run = 1; run <= options.runs; ++run) {
        for (const auto& [name, commandLine] : options.launches) {
            if (!TimeOneRun(options, run, name, commandLine)) return 2;
        }
    }
    return 0;
}

int Watch(const Options& options) {
    const Watched watched = WatchBoxes(options);
    if (watched.waitExpired) std::printf("wait-expired ms=%lu\n", options.waitMs);
    std::printf("count=%zu\n", watched.boxes);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring name = argv[i];
        const wchar_t* value = argv[i + 1];
        if (name == L"--title") options.title = value;
        else if (name == L"--stop-file") options.stopFile = value;
        else if (name == L"--hold-file") options.holdFile = value;
        else if (name == L"--hold-ms") options.holdMs = std::wcstoul(value, nullptr, 10);
        else if (name == L"--launch") {
            const std::wstring launch = value;
            const size_t separator = launch.find(L'=');
            options.launches.emplace_back(launch.substr(0, separator),
                                          launch.substr(separator + 1));
        }
        else if (name == L"--wait-ms") options.waitMs = std::wcstoul(value, nullptr, 10);
        else if (name == L"--runs") options.runs = int(std::wcstol(value, nullptr, 10));
        else {
            std::fprintf(stderr, "boxwatch: unknown option %ls\n", name.c_str());
            return 2;
        }
    }
    if (options.title.empty()) {
        std::fprintf(stderr, "boxwatch: --title is required\n");
        return 2;
    }
    return options.launches.empty() ? Watch(options) : Launch(options);
}

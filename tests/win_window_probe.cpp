// Windows only: looks at and talks to a running lumesk.exe from outside, as
// Windows itself and a person would, for scripts/test-windows.sh.
//   wait-shown S   its main window is there and visible within S seconds
//   hide           its close box (WM_CLOSE): the window hides to the tray
//   shown          the window is visible now
//   end-session    what Windows does at shut-down: WM_QUERYENDSESSION to each
//                  of the program's top-level windows, then WM_ENDSESSION;
//                  the program must say yes and end with code 0
// Exit code 0 when what was asked holds; each step prints what it saw.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

const wchar_t kTitle[] = L"Lumesk端口映射工具";

using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

HWND mainWindow() {
    return ::FindWindowW(nullptr, kTitle);
}

bool waitFor(bool (*condition)(), int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!condition()) {
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

bool shown() {
    const HWND w = mainWindow();
    return w && ::IsWindowVisible(w);
}

bool hidden() {
    const HWND w = mainWindow();
    return w && !::IsWindowVisible(w);
}

struct Search {
    DWORD process;
    std::vector<HWND> windows;
};

BOOL CALLBACK collect(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<Search*>(param);
    DWORD process = 0;
    ::GetWindowThreadProcessId(window, &process);
    if (process == search->process) search->windows.push_back(window);
    return TRUE;
}

int endSession() {
    const HWND main = mainWindow();
    if (!main) {
        std::puts("no window");
        return 1;
    }
    DWORD pid = 0;
    ::GetWindowThreadProcessId(main, &pid);
    const HANDLE process =
        ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) {
        std::printf("cannot open the process: %lu\n", ::GetLastError());
        return 1;
    }
    // Windows asks every top-level window; one "no" holds up the whole session.
    Search search{pid, {}};
    ::EnumWindows(collect, reinterpret_cast<LPARAM>(&search));
    int refused = 0;
    for (HWND w : search.windows) {
        DWORD_PTR answer = 0;
        const auto start = Clock::now();
        const LRESULT sent =
            ::SendMessageTimeoutW(w, WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, 5000, &answer);
        wchar_t title[64] = {};
        ::GetWindowTextW(w, title, 63);
        std::printf("WM_QUERYENDSESSION to window %p (%ls): answer %llu after %lld ms%s\n",
                    static_cast<void*>(w), title, static_cast<unsigned long long>(answer),
                    msSince(start), sent ? "" : " (no answer in time)");
        if (!sent || answer == 0) ++refused;
    }
    if (search.windows.empty() || refused > 0) {
        ::CloseHandle(process);
        return 1;
    }
    const auto start = Clock::now();
    DWORD_PTR ignored = 0;
    ::SendMessageTimeoutW(main, WM_ENDSESSION, TRUE, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
    const long long sentMs = msSince(start);
    const DWORD waited = ::WaitForSingleObject(process, 10000);
    DWORD code = STILL_ACTIVE;
    ::GetExitCodeProcess(process, &code);
    ::CloseHandle(process);
    std::printf(
        "WM_ENDSESSION: returned after %lld ms; the process %s after %lld ms, exit code %lu\n",
        sentMs, waited == WAIT_OBJECT_0 ? "ended" : "still runs", msSince(start), code);
    return waited == WAIT_OBJECT_0 && code == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const char* command = argc > 1 ? argv[1] : "";
    if (std::strcmp(command, "wait-shown") == 0) {
        const int seconds = argc > 2 ? std::atoi(argv[2]) : 30;
        const auto start = Clock::now();
        const bool ok = waitFor(shown, seconds * 1000);
        std::printf("window %s after %lld ms\n", ok ? "shown" : "not shown", msSince(start));
        return ok ? 0 : 1;
    }
    if (std::strcmp(command, "hide") == 0) {
        const HWND w = mainWindow();
        if (w) ::PostMessageW(w, WM_CLOSE, 0, 0);
        const bool ok = w && waitFor(hidden, 5000);
        std::printf("window %s\n", ok ? "hidden" : "not hidden");
        return ok ? 0 : 1;
    }
    if (std::strcmp(command, "shown") == 0) {
        const bool ok = waitFor(shown, 3000);
        std::printf("window %s\n", ok ? "shown" : "not shown");
        return ok ? 0 : 1;
    }
    if (std::strcmp(command, "end-session") == 0) return endSession();
    std::fprintf(stderr, "usage: %s wait-shown S | hide | shown | end-session\n", argv[0]);
    return 2;
}

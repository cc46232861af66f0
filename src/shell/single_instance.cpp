#include "shell/single_instance.h"

#include <algorithm>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#endif

namespace lumesk::shell {

namespace {

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

#ifdef _WIN32

namespace {

std::wstring wide(const std::string& text) {
    const int n =
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

}  // namespace

struct SingleInstance::State {
    std::wstring title;
    HANDLE mutex = nullptr;
    bool first = true;
};

SingleInstance::SingleInstance(const std::string& name, const std::string&)
    : state_(std::make_unique<State>()) {
    state_->title = wide(name);
    // "Local\": one per sign-in session, as a tray program is.
    state_->mutex = ::CreateMutexW(nullptr, FALSE, (L"Local\\" + state_->title).c_str());
    const DWORD error = ::GetLastError();
    // Access denied: it exists, made by a process we may not open.
    if (error == ERROR_ALREADY_EXISTS || (!state_->mutex && error == ERROR_ACCESS_DENIED)) {
        state_->first = false;
    }
}

SingleInstance::~SingleInstance() {
    if (state_->mutex) ::CloseHandle(state_->mutex);
}

bool SingleInstance::first() const {
    return state_->first;
}

void SingleInstance::serve(std::function<void()>) {}

bool SingleInstance::askToShow(std::chrono::milliseconds wait) const {
    const UINT message = ::RegisterWindowMessageW((state_->title + L".show").c_str());
    const auto deadline = Clock::now() + wait;
    do {
        // The running one may still be making its window; and another
        // program's window may have the same title (Explorer on a folder of
        // that name): ask each, and only ours says yes.
        for (HWND window = ::FindWindowExW(nullptr, nullptr, nullptr, state_->title.c_str());
             window; window = ::FindWindowExW(nullptr, window, nullptr, state_->title.c_str())) {
            // Only a process the user just worked with may take the
            // foreground; we are that process and pass the right on.
            DWORD process = 0;
            ::GetWindowThreadProcessId(window, &process);
            ::AllowSetForegroundWindow(process);
            DWORD_PTR answer = 0;
            const UINT ms = static_cast<UINT>(std::max(remainingMs(deadline), 1));
            if (::SendMessageTimeoutW(window, message, 0, 0, SMTO_ABORTIFHUNG, ms, &answer) &&
                answer == 1) {
                return true;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (Clock::now() < deadline);
    return false;
}

#else

namespace {

// FNV-1a: file names that stay the same from build to build.
std::uint32_t stableHash(const std::string& text) {
    std::uint32_t h = 2166136261u;
    for (unsigned char c : text) h = (h ^ c) * 16777619u;
    return h;
}

std::string runtimeFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime && ::access(runtime, W_OK) == 0) return runtime;
    return "/tmp";
}

bool fillAddress(const std::string& path, sockaddr_un& address) {
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool waitReadable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) == 1;
}

const char kRequest[] = "show\n";
const char kAnswer[] = "ok\n";

}  // namespace

struct SingleInstance::State {
    std::string socketPath;
    int lockFd = -1;
    bool first = true;
    int listenFd = -1;
    int wake[2] = {-1, -1};
    std::thread server;
};

SingleInstance::SingleInstance(const std::string& name, const std::string& folder)
    : state_(std::make_unique<State>()) {
    char tag[32];
    std::snprintf(tag, sizeof tag, "%u-%08x", static_cast<unsigned>(::getuid()), stableHash(name));
    const std::string base = (folder.empty() ? runtimeFolder() : folder) + "/lumesk-" + tag;
    state_->socketPath = base + ".sock";
    // The user's id in the names, the owner's rights only: in a shared
    // temporary folder nobody else's file is taken for ours.
    state_->lockFd =
        ::open((base + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    // Without a lock file there is no telling: run rather than refuse to.
    if (state_->lockFd >= 0 && ::flock(state_->lockFd, LOCK_EX | LOCK_NB) != 0) {
        state_->first = errno != EWOULDBLOCK;
    }
}

SingleInstance::~SingleInstance() {
    State& s = *state_;
    if (s.server.joinable()) {
        const char stop = 0;
        [[maybe_unused]] const ssize_t n = ::write(s.wake[1], &stop, 1);
        s.server.join();
    }
    if (s.listenFd >= 0) {
        ::close(s.listenFd);
        ::unlink(s.socketPath.c_str());
    }
    for (int fd : s.wake) {
        if (fd >= 0) ::close(fd);
    }
    if (s.lockFd >= 0) ::close(s.lockFd);  // and the lock with it
}

bool SingleInstance::first() const {
    return state_->first;
}

void SingleInstance::serve(std::function<void()> onShow) {
    State& s = *state_;
    if (!s.first || s.server.joinable()) return;
    sockaddr_un address;
    if (!fillAddress(s.socketPath, address)) return;
    // A socket left by a program that ended without tidying up.
    ::unlink(s.socketPath.c_str());
    s.listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s.listenFd < 0) return;
    if (::bind(s.listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(s.socketPath.c_str(), 0600) != 0 || ::listen(s.listenFd, 4) != 0 ||
        ::pipe2(s.wake, O_CLOEXEC) != 0) {
        ::close(s.listenFd);
        s.listenFd = -1;
        return;
    }
    s.server = std::thread([listenFd = s.listenFd, wake = s.wake[0], onShow = std::move(onShow)] {
        for (;;) {
            pollfd p[2] = {{listenFd, POLLIN, 0}, {wake, POLLIN, 0}};
            if (::poll(p, 2, -1) < 0 && errno == EINTR) continue;
            if (p[1].revents) return;
            if (!(p[0].revents & POLLIN)) continue;
            const int peer = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (peer < 0) continue;
            char request[sizeof kRequest] = {};
            // A peer that says nothing is dropped after a second.
            if (waitReadable(peer, 1000) &&
                ::recv(peer, request, sizeof request - 1, 0) == sizeof kRequest - 1 &&
                std::strcmp(request, kRequest) == 0) {
                onShow();
                ::send(peer, kAnswer, sizeof kAnswer - 1, MSG_NOSIGNAL);
            }
            ::close(peer);
        }
    });
}

bool SingleInstance::askToShow(std::chrono::milliseconds wait) const {
    sockaddr_un address;
    if (!fillAddress(state_->socketPath, address)) return false;
    const auto deadline = Clock::now() + wait;
    do {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        // The running one may not be listening yet: try again until the time is up.
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::send(fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) == sizeof kRequest - 1) {
            char answer[sizeof kAnswer] = {};
            const bool ok =
                waitReadable(fd, remainingMs(deadline)) &&
                ::recv(fd, answer, sizeof answer - 1, MSG_WAITALL) == sizeof kAnswer - 1 &&
                std::strcmp(answer, kAnswer) == 0;
            ::close(fd);
            return ok;
        }
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    } while (Clock::now() < deadline);
    return false;
}

#endif

}  // namespace lumesk::shell

#include "shell/mapping_store.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "model/mapping_file.h"
#include "shell/utf8_path.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace lumesk::shell {

namespace fs = std::filesystem;

namespace {

// The part file, opened for writing; `write` returns the bytes taken, or -1
// with `error` set. Closing it is all a stop (a crash) does.
#ifdef _WIN32
using ErrorCode = DWORD;
std::string systemError(DWORD code) {
    return "错误码:" + std::to_string(code);
}

struct PartFile {
    HANDLE h;
    ErrorCode error;
    explicit PartFile(const fs::path& part)
        : h(CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_NORMAL, nullptr)),
          error(h == INVALID_HANDLE_VALUE ? GetLastError() : 0) {}
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;
    ~PartFile() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    bool open() const { return h != INVALID_HANDLE_VALUE; }
    long long write(const char* p, std::size_t n) {
        DWORD wrote = 0;
        if (WriteFile(h, p, static_cast<DWORD>(n), &wrote, nullptr)) return wrote;
        error = GetLastError();
        return -1;
    }
    bool flush() {
        if (FlushFileBuffers(h)) return true;
        error = GetLastError();
        return false;
    }
};

std::string putInPlace(const fs::path& part, const fs::path& path) {
    if (!MoveFileExW(part.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return systemError(GetLastError());
    }
    return {};
}
#else
using ErrorCode = int;
std::string systemError(int code) {
    return std::string(std::strerror(code));
}

struct PartFile {
    int fd;
    ErrorCode error;
    explicit PartFile(const fs::path& part)
        : fd(::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)),
          error(fd < 0 ? errno : 0) {}
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;
    ~PartFile() {
        if (fd >= 0) ::close(fd);
    }
    bool open() const { return fd >= 0; }
    long long write(const char* p, std::size_t n) {
        for (;;) {
            const ssize_t k = ::write(fd, p, n);
            if (k >= 0) return k;
            if (errno != EINTR) break;
        }
        error = errno;
        return -1;
    }
    bool flush() {
        if (::fsync(fd) == 0) return true;
        error = errno;
        return false;
    }
};

std::string putInPlace(const fs::path& part, const fs::path& path) {
    if (::rename(part.c_str(), path.c_str()) != 0) return systemError(errno);
    // The rename itself reaches the disk with its folder.
    const int dir = ::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return {};
}
#endif

// The first write takes half the text, so a stop after it leaves a half file.
std::string writeDurably(const fs::path& part, const std::string& text,
                         const std::function<bool(WriteStep)>& stopAt) {
    PartFile file(part);
    if (!file.open()) return systemError(file.error);
    auto stopped = [&](WriteStep step) { return stopAt && stopAt(step); };
    if (stopped(WriteStep::Created)) return "stopped";
    std::size_t done = 0;
    bool half = false;
    while (done < text.size()) {
        std::size_t chunk = text.size() - done;
        if (!half) chunk = std::max<std::size_t>(chunk / 2, 1);
        const long long n = file.write(text.data() + done, chunk);
        if (n < 0) return systemError(file.error);
        done += static_cast<std::size_t>(n);
        if (!half) {
            half = true;
            if (stopped(WriteStep::HalfWritten)) return "stopped";
        }
    }
    if (stopped(WriteStep::Written)) return "stopped";
    if (!file.flush()) return systemError(file.error);
    return {};
}

std::string environment(const char* name) {
#ifdef _WIN32
    // The variable's own UTF-16, not the ANSI code page's reading of it.
    std::wstring wide(name, name + std::strlen(name));
    const DWORD size = GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
    if (size == 0) return {};
    std::wstring value(size, L'\0');
    const DWORD got = GetEnvironmentVariableW(wide.c_str(), value.data(), size);
    value.resize(got);
    return toUtf8(fs::path(value));
#else
    const char* value = std::getenv(name);
    return value ? value : "";
#endif
}

std::string timeTag() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
    return text;
}

}  // namespace

std::string settingsFolder() {
    std::string own = environment("LUMESK_CONFIG_DIR");
    if (!own.empty()) return own;
#ifdef _WIN32
    const std::string appData = environment("APPDATA");
    return appData.empty() ? std::string() : toUtf8(fromUtf8(appData) / "Lumesk");
#else
    const std::string xdg = environment("XDG_CONFIG_HOME");
    if (!xdg.empty()) return toUtf8(fromUtf8(xdg) / "lumesk");
    const std::string home = environment("HOME");
    return home.empty() ? std::string() : toUtf8(fromUtf8(home) / ".config" / "lumesk");
#endif
}

std::string replaceFile(const std::string& path, const std::string& text,
                        const std::function<bool(WriteStep)>& stopAt) {
    const fs::path target = fromUtf8(path);
    fs::path part = target;
    part += ".new";
    std::string why = writeDurably(part, text, stopAt);
    if (!why.empty()) {
        if (why != "stopped") {
            std::error_code ec;
            fs::remove(part, ec);
        }
        return why;
    }
    if (stopAt && stopAt(WriteStep::Flushed)) return "stopped";
    why = putInPlace(part, target);
    if (!why.empty()) {
        std::error_code ec;
        fs::remove(part, ec);
        return why;
    }
    if (stopAt && stopAt(WriteStep::Replaced)) return "stopped";
    return {};
}

MappingStore::MappingStore(std::string folder) : folder_(std::move(folder)) {
    if (!folder_.empty()) file_ = toUtf8(fromUtf8(folder_) / "mappings.json");
}

std::vector<std::string> MappingStore::load(model::MappingTable& table, std::vector<int>& order) {
    std::vector<std::string> lines;
    if (file_.empty()) return lines;
    const fs::path path = fromUtf8(file_);
    std::error_code ec;
    // A write that stopped before its rename left only its new file.
    fs::path part = path;
    part += ".new";
    fs::remove(part, ec);
    if (!fs::exists(path, ec)) return lines;
    std::ifstream in(path, std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    model::MappingFileRead read;
    if (!in.good() && !in.eof()) {
        read.bad = true;
        read.skipped.push_back("映射文件无法读取,没有读入任何映射");
    } else {
        read = model::readMappingFile(text);
    }
    for (auto& [n, record] : read.mappings) {
        table.at(n) = std::move(record);
        order.push_back(n);
    }
    for (const std::string& why : read.skipped) lines.push_back(why);
    if (read.bad) {
        badFile_ = file_ + ".bad-" + timeTag();
        lines.push_back("原映射文件将另存为" + badFile_);
    }
    return lines;
}

std::string MappingStore::save(const model::MappingTable& table, const std::vector<int>& order) {
    if (file_.empty()) {
        if (failing_) return {};
        failing_ = true;
        return "找不到保存映射的设置文件夹,映射不会被保存";
    }
    std::error_code ec;
    fs::create_directories(fromUtf8(folder_), ec);
    std::string why;
    if (!badFile_.empty()) {
        // The bad file stays, under another name, for whoever wants to mend it.
        fs::rename(fromUtf8(file_), fromUtf8(badFile_), ec);
        if (!ec || !fs::exists(fromUtf8(file_))) {
            badFile_.clear();
        } else {
            why = ec.message();
        }
    }
    if (why.empty()) why = replaceFile(file_, model::mappingFileText(table, order));
    if (why.empty()) {
        failing_ = false;
        return {};
    }
    if (failing_) return {};
    failing_ = true;
    return "无法保存映射到" + file_ + ":" + why;
}

}  // namespace lumesk::shell

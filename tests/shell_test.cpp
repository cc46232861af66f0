// The shell's parts that need no window: the one-instance lock with its show
// request, and the help page the program carries and writes out.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "shell/help_page.h"
#include "shell/single_instance.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#endif

using namespace lumesk;
namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// A folder of its own for each test, gone afterwards.
class TempFolder {
  public:
    explicit TempFolder(const std::string& name)
        : path_(fs::temp_directory_path() /
                ("lumesk-shell-test-" + name + "-" +
                 std::to_string(Clock::now().time_since_epoch().count()))) {
        fs::create_directories(path_);
    }
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }
    std::string utf8() const {
        const std::u8string t = path_.u8string();
        return std::string(t.begin(), t.end());
    }

  private:
    fs::path path_;
};

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

fs::path fromUtf8(const std::string& text) {
    return fs::path(std::u8string(text.begin(), text.end()));
}

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

}  // namespace

// The first holds the instance; a later one asks it to show and gets its
// answer; once the first has gone the next start holds it again, even over
// the socket file a killed program would leave.
TEST(SingleInstance, LaterStartsAskTheFirstToShow) {
    TempFolder folder("instance");
    const std::string name =
        "Lumesk单实例测试" + std::to_string(Clock::now().time_since_epoch().count());
    std::atomic<int> shown{0};
    {
        shell::SingleInstance first(name, folder.utf8());
        ASSERT_TRUE(first.first());
        first.serve([&] { shown.fetch_add(1); });
        {
            shell::SingleInstance second(name, folder.utf8());
            EXPECT_FALSE(second.first());
#ifdef _WIN32
            // The window answers on Windows, and there is none here.
            const auto start = Clock::now();
            EXPECT_FALSE(second.askToShow(std::chrono::milliseconds(300)));
            EXPECT_GE(msSince(start), 250);
            EXPECT_LT(msSince(start), 3000);
#else
            const auto start = Clock::now();
            EXPECT_TRUE(second.askToShow(std::chrono::seconds(5)));
            EXPECT_LT(msSince(start), 1000);
            EXPECT_EQ(shown.load(), 1);
            EXPECT_TRUE(second.askToShow(std::chrono::seconds(5)));
            EXPECT_EQ(shown.load(), 2);
#endif
            // A third start while the second still runs is no first either.
            shell::SingleInstance third(name, folder.utf8());
            EXPECT_FALSE(third.first());
        }
        // Another program's name is another instance.
        shell::SingleInstance other(name + "2", folder.utf8());
        EXPECT_TRUE(other.first());
    }
    shell::SingleInstance next(name, folder.utf8());
    EXPECT_TRUE(next.first());
#ifndef _WIN32
    // Left behind by a first that never tidied up: a socket nobody listens on.
    {
        shell::SingleInstance later(name, folder.utf8());
        EXPECT_FALSE(later.first());
        const auto start = Clock::now();
        EXPECT_FALSE(later.askToShow(std::chrono::milliseconds(300)));  // not served yet
        EXPECT_GE(msSince(start), 250);
        EXPECT_LT(msSince(start), 3000);
        EXPECT_EQ(shown.load(), 2);
    }
    next.serve([&] { shown.fetch_add(10); });
    shell::SingleInstance later(name, folder.utf8());
    EXPECT_TRUE(later.askToShow(std::chrono::seconds(5)));
    EXPECT_EQ(shown.load(), 12);
    // Only the user's own files, and only theirs to read.
    int files = 0;
    for (const auto& entry : fs::directory_iterator(folder.path())) {
        ++files;
        EXPECT_EQ(
            fs::status(entry.path()).permissions() & (fs::perms::group_all | fs::perms::others_all),
            fs::perms::none)
            << entry.path();
    }
    EXPECT_EQ(files, 3);  // the lock and the socket, and the other name's lock
#endif
}

#ifndef _WIN32
// A request that is not ours, or one that never comes, is not a show request.
TEST(SingleInstance, OnlyTheRequestShows) {
    TempFolder folder("request");
    std::atomic<int> shown{0};
    shell::SingleInstance first("Lumesk请求测试", folder.utf8());
    ASSERT_TRUE(first.first());
    first.serve([&] { shown.fetch_add(1); });
    fs::path socket;
    for (const auto& entry : fs::directory_iterator(folder.path())) {
        if (entry.path().extension() == ".sock") socket = entry.path();
    }
    ASSERT_FALSE(socket.empty());
    auto sendRaw = [&](const std::string& bytes) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        if (!bytes.empty()) ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        char answer[8] = {};
        const ssize_t n = ::recv(fd, answer, sizeof answer, 0);  // the server closes
        ::close(fd);
        return n;
    };
    EXPECT_EQ(sendRaw("quit\n"), 0);
    EXPECT_EQ(sendRaw(""), 0);  // dropped after its second of silence
    EXPECT_EQ(shown.load(), 0);
    shell::SingleInstance second("Lumesk请求测试", folder.utf8());
    EXPECT_TRUE(second.askToShow(std::chrono::seconds(5)));
    EXPECT_EQ(shown.load(), 1);
}
#endif

#ifdef _WIN32
namespace {

UINT showMessage = 0;
int showsAnswered = 0;

LRESULT CALLBACK answeringWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == showMessage && showMessage != 0) {
        ++showsAnswered;
        return 1;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

// Another program's window may bear the program's title (Explorer open on a
// folder of that name): the request goes past it to the window that answers.
TEST(SingleInstance, OnlyTheProgramsWindowAnswers) {
    const std::string name = "Lumesk同名窗口测试";
    const wchar_t title[] = L"Lumesk同名窗口测试";
    showMessage = ::RegisterWindowMessageW((std::wstring(title) + L".show").c_str());
    const HINSTANCE module = ::GetModuleHandleW(nullptr);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = answeringWindow;
    windowClass.hInstance = module;
    windowClass.lpszClassName = L"LumeskShellTestWindow";
    ASSERT_NE(::RegisterClassW(&windowClass), 0);
    auto make = [&](const wchar_t* className) {
        return ::CreateWindowExW(0, className, title, WS_OVERLAPPED, 0, 0, 50, 50, nullptr, nullptr,
                                 module, nullptr);
    };
    // One made before ours and one after: whichever way the search runs, it
    // meets one that does not answer first.
    const HWND before = make(L"STATIC");
    const HWND ours = make(L"LumeskShellTestWindow");
    const HWND after = make(L"STATIC");
    ASSERT_TRUE(before && ours && after);
    EXPECT_NE(::FindWindowW(nullptr, title), ours);

    shell::SingleInstance first(name);
    shell::SingleInstance second(name);
    ASSERT_TRUE(first.first());
    ASSERT_FALSE(second.first());
    EXPECT_TRUE(second.askToShow(std::chrono::seconds(2)));
    EXPECT_EQ(showsAnswered, 1);
    ::DestroyWindow(ours);
    const auto start = Clock::now();
    EXPECT_FALSE(second.askToShow(std::chrono::milliseconds(300)));
    EXPECT_GE(msSince(start), 250);
    EXPECT_EQ(showsAnswered, 1);
    ::DestroyWindow(before);
    ::DestroyWindow(after);
}
#endif

// The page the program carries is docs/help.html as built, with the
// firewall section for Windows users.
TEST(HelpPage, CarriedPageIsTheDocument) {
    const std::string_view page = shell::helpPageText();
    EXPECT_EQ(std::string(page), readFile(LUMESK_HELP_PAGE));
    EXPECT_NE(page.find("Windows Defender 防火墙"), std::string_view::npos);
    EXPECT_NE(page.find("专用网络"), std::string_view::npos);
    EXPECT_NE(page.find("公用网络"), std::string_view::npos);
    EXPECT_NE(page.find("netsh advfirewall firewall add rule name=\"Lumesk 8080\" dir=in "
                        "action=allow protocol=TCP localport=8080"),
              std::string_view::npos);
}

// Written out when missing; a page already beside the program is left as it
// is; where the program's folder cannot be written, the fallback copy is
// written and kept up to date; nowhere to write gives no path.
TEST(HelpPage, WrittenOutWhereMissing) {
    TempFolder folder("help");
    const std::string text = "<html>帮助 1</html>";
    // Narrow texts are UTF-8 here; Windows would read them in its ANSI code page.
    const fs::path beside = fromUtf8(folder.utf8() + "/程序");
    fs::create_directories(beside);
    const std::string besideUtf8 = folder.utf8() + "/程序";
    const std::string fallback = folder.utf8() + "/备用/Lumesk";

    std::string page = shell::helpPageFile(besideUtf8, fallback, text);
    EXPECT_EQ(fs::canonical(fromUtf8(page)), fs::canonical(beside / "help.html"));
    EXPECT_EQ(readFile(beside / "help.html"), text);
    EXPECT_FALSE(fs::exists(beside / "help.html.part"));

    // One the zip brought along (or the user changed) stays.
    { std::ofstream(beside / "help.html", std::ios::binary) << "<html>旧</html>"; }
    page = shell::helpPageFile(besideUtf8, fallback, text);
    EXPECT_EQ(readFile(fromUtf8(page)), "<html>旧</html>");

    // Refreshed where it is our own copy.
    EXPECT_EQ(readFile(fromUtf8(shell::helpPageIn(fallback, text, true))), text);
    EXPECT_EQ(readFile(fromUtf8(shell::helpPageIn(fallback, "<html>帮助 2</html>", true))),
              "<html>帮助 2</html>");
    EXPECT_EQ(readFile(fromUtf8(shell::helpPageIn(fallback, text, false))), "<html>帮助 2</html>");

    EXPECT_EQ(shell::helpPageIn("", text, true), "");
    // A program folder that cannot take the page (here a file stands where
    // its folder would be; for root, a read-only folder would not do).
    { std::ofstream(fromUtf8(folder.utf8() + "/文件")) << "x"; }
    const std::string blocked = folder.utf8() + "/文件";
    EXPECT_EQ(shell::helpPageIn(blocked, text, false), "");
    page = shell::helpPageFile(blocked, folder.utf8() + "/临时", text);
    EXPECT_EQ(fs::canonical(fromUtf8(page)),
              fs::canonical(fromUtf8(folder.utf8() + "/临时/help.html")));
    EXPECT_EQ(readFile(fromUtf8(page)), text);
    EXPECT_EQ(shell::helpPageFile(blocked, blocked + "/子", text), "");
    EXPECT_EQ(readFile(fromUtf8(folder.utf8() + "/文件")), "x");
}

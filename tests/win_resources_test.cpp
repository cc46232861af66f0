// Windows only: reads back from the built programs what Explorer, the taskbar
// and the loader read: the icon, the version and the manifest.
#ifndef UNICODE
#define UNICODE  // the wide resource types (RT_ICON and the others)
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "shell/app_icon.h"

namespace {

std::string ascii(const wchar_t* text) {
    std::string out;
    for (; *text != 0; ++text) out.push_back(static_cast<char>(*text));
    return out;
}

// A program beside this test.
std::wstring besideMe(const wchar_t* name) {
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L"\\/") + 1) + name;
}

class Program {
  public:
    explicit Program(const wchar_t* name) : path_(besideMe(name)) {
        module_ = LoadLibraryExW(path_.c_str(), nullptr,
                                 LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    }
    ~Program() {
        if (module_ != nullptr) FreeLibrary(module_);
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    HMODULE module() const { return module_; }
    const std::wstring& path() const { return path_; }

    // A resource's bytes; empty when it is missing.
    std::vector<unsigned char> resource(const wchar_t* name, const wchar_t* type) const {
        HRSRC found = FindResourceW(module_, name, type);
        if (found == nullptr) return {};
        HGLOBAL loaded = LoadResource(module_, found);
        const auto* bytes = static_cast<const unsigned char*>(LockResource(loaded));
        if (bytes == nullptr) return {};
        return {bytes, bytes + SizeofResource(module_, found)};
    }

    // The names of every resource of a type, in the order the module lists them.
    std::vector<std::wstring> names(const wchar_t* type) const {
        std::vector<std::wstring> out;
        EnumResourceNamesW(
            module_, type,
            [](HMODULE, LPCWSTR, LPWSTR name, LONG_PTR list) -> BOOL {
                auto* names = reinterpret_cast<std::vector<std::wstring>*>(list);
                names->push_back(IS_INTRESOURCE(name)
                                     ? L"#" + std::to_wstring(reinterpret_cast<ULONG_PTR>(name))
                                     : std::wstring(name));
                return TRUE;
            },
            reinterpret_cast<LONG_PTR>(&out));
        return out;
    }

  private:
    std::wstring path_;
    HMODULE module_ = nullptr;
};

unsigned read16(const std::vector<unsigned char>& b, std::size_t at) {
    return b.at(at) | b.at(at + 1) << 8;
}

std::uint32_t read32(const std::vector<unsigned char>& b, std::size_t at) {
    return read16(b, at) | static_cast<std::uint32_t>(read16(b, at + 2)) << 16;
}

std::wstring versionText(const std::vector<unsigned char>& info, const wchar_t* name) {
    void* value = nullptr;
    UINT length = 0;
    const std::wstring key = std::wstring(L"\\StringFileInfo\\080404b0\\") + name;
    if (!VerQueryValueW(info.data(), key.c_str(), &value, &length) || value == nullptr) return {};
    std::wstring text(static_cast<const wchar_t*>(value), length);
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return text;
}

}  // namespace

// The first icon group, the one Explorer and the taskbar show, is ours: the
// picture the program draws at 16, 32, 48 and 256 pixels, byte for byte, and
// each image is one the system can make an icon of.
TEST(Resources, TheProgramsIconComesFirst) {
    for (const wchar_t* name : {L"lumesk.exe", L"lumesk_gui_tests.exe"}) {
        SCOPED_TRACE(ascii(name));
        Program program(name);
        ASSERT_NE(program.module(), nullptr) << GetLastError();
        const std::vector<std::wstring> groups = program.names(RT_GROUP_ICON);
        ASSERT_FALSE(groups.empty());
        EXPECT_EQ(groups.front(), L"APPICON");

        const auto group = program.resource(L"APPICON", RT_GROUP_ICON);
        ASSERT_GE(group.size(), 6u);
        const std::vector<int> sizes{16, 32, 48, 256};
        ASSERT_EQ(read16(group, 4), sizes.size());
        const auto ico = lumesk::shell::icoFile(sizes);
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            SCOPED_TRACE(sizes[i]);
            const std::size_t entry = 6 + 14 * i;  // GRPICONDIRENTRY: 14 bytes, an id at 12
            EXPECT_EQ(group.at(entry), sizes[i] == 256 ? 0 : sizes[i]);
            EXPECT_EQ(read16(group, entry + 6), 32u);
            const unsigned id = read16(group, entry + 12);
            const auto image = program.resource(MAKEINTRESOURCEW(id), RT_ICON);
            const std::uint32_t offset = read32(ico, 6 + 16 * i + 12);
            const std::uint32_t bytes = read32(ico, 6 + 16 * i + 8);
            ASSERT_EQ(image.size(), bytes);
            EXPECT_EQ(std::memcmp(image.data(), ico.data() + offset, bytes), 0);
            HICON icon = CreateIconFromResourceEx(const_cast<unsigned char*>(image.data()),
                                                  static_cast<DWORD>(image.size()), TRUE,
                                                  0x00030000, sizes[i], sizes[i], 0);
            EXPECT_NE(icon, nullptr);
            if (icon != nullptr) DestroyIcon(icon);
        }
    }
}

// The version Explorer shows in the file's properties and Apps & features
// reads: product Lumesk端口映射工具 1.0, file 1.0.0.0, in Simplified Chinese.
TEST(Resources, VersionNamesTheProductInChinese) {
    const std::wstring path = besideMe(L"lumesk.exe");
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    ASSERT_GT(size, 0u) << GetLastError();
    std::vector<unsigned char> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_NE(fixed, nullptr);
    EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0u);
    EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));

    WORD* translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
    ASSERT_GE(length, 4u);
    EXPECT_EQ(translation[0], 0x0804);
    EXPECT_EQ(translation[1], 1200);

    // Spelt in code points, so the check does not hang on this file's encoding.
    const std::wstring name = L"Lumesk\u7aef\u53e3\u6620\u5c04\u5de5\u5177";
    EXPECT_EQ(versionText(info, L"ProductName"), name);
    EXPECT_EQ(versionText(info, L"FileDescription"), name);
    EXPECT_EQ(versionText(info, L"ProductVersion"), L"1.0");
    EXPECT_EQ(versionText(info, L"FileVersion"), L"1.0.0.0");
    EXPECT_EQ(versionText(info, L"OriginalFilename"), L"lumesk.exe");
}

// One manifest, ours: themed common controls, GDI scaling, every supported
// system, and no DPI awareness (the window's pixel places stay whole).
TEST(Resources, ManifestScalesGdiAndStaysDpiUnaware) {
    for (const wchar_t* name : {L"lumesk.exe", L"lumesk_gui_tests.exe"}) {
        SCOPED_TRACE(ascii(name));
        Program program(name);
        ASSERT_NE(program.module(), nullptr) << GetLastError();
        EXPECT_EQ(program.names(RT_MANIFEST), std::vector<std::wstring>{L"#1"});
        const auto bytes = program.resource(MAKEINTRESOURCEW(1), RT_MANIFEST);
        const std::string text(bytes.begin(), bytes.end());
        EXPECT_NE(text.find("<gdiScaling xmlns=\"http://schemas.microsoft.com/SMI/2017/"
                            "WindowsSettings\">true</gdiScaling>"),
                  std::string::npos);
        EXPECT_NE(text.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
                  std::string::npos);
        for (const char* os :
             {"e2011457-1546-43c5-a5fe-008deee3d3f0", "35138b9a-5d96-4fbd-8e2d-a2440225f93a",
              "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38", "1f676c76-80e1-4239-95bb-83d0f6d0da78",
              "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"}) {
            EXPECT_NE(text.find(std::string("<supportedOS Id=\"{") + os + "}\"/>"),
                      std::string::npos)
                << os;
        }
        EXPECT_EQ(text.find("dpiAware"), std::string::npos);
        EXPECT_NE(text.find("level=\"asInvoker\""), std::string::npos);
    }
}

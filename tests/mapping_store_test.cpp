// The mappings kept between runs: the file's format, what a bad file costs,
// and a write that can stop anywhere.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>

#include "model/mapping_file.h"
#include "shell/mapping_store.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace lumesk {
namespace {

namespace fs = std::filesystem;
using model::MappingRecord;
using model::MappingTable;
using model::Mode;

MappingRecord mapping(const std::string& name, int port, Mode mode = Mode::PortMapping) {
    MappingRecord r;
    r.name = name;
    r.mode = mode;
    r.listen_ip = "0.0.0.0";
    r.listen_port = port;
    if (mode == Mode::PortMapping) {
        r.forward_ip = "10.1.2.3";
        r.forward_port = 8080;
    }
    r.capacity = 100;
    r.blacklist.clear();
    return r;
}

void expectSame(const MappingRecord& a, const MappingRecord& b) {
    EXPECT_EQ(a.name, b.name);
    EXPECT_EQ(a.autostart, b.autostart);
    EXPECT_EQ(a.mode, b.mode);
    EXPECT_EQ(a.listen_ip, b.listen_ip);
    EXPECT_EQ(a.listen_port, b.listen_port);
    EXPECT_EQ(a.forward_ip, b.forward_ip);
    EXPECT_EQ(a.forward_port, b.forward_port);
    EXPECT_EQ(a.capacity, b.capacity);
    EXPECT_EQ(a.per_ip_limit, b.per_ip_limit);
    EXPECT_EQ(a.blacklist, b.blacklist);
}

MappingTable sampleTable() {
    MappingTable t;
    t.at(1) = mapping("网页", 80);
    t.at(1).autostart = true;
    t.at(1).blacklist = {"192.168.1.9", "10.0.0.1"};
    t.at(4) = mapping("代理 \"甲\"", 3128, Mode::HttpProxy);
    t.at(4).listen_ip = "127.0.0.1";
    t.at(4).per_ip_limit = 3;
    t.at(1000) = mapping("last", 65535);
    t.at(1000).capacity = 0;
    return t;
}

TEST(MappingFile, EveryFieldNumberAndOrderComeBack) {
    // The tree's order, which is not the numbers' (a freed number is reused
    // by the next mapping added, at the tree's end); one missing from it
    // still comes along.
    const MappingTable table = sampleTable();
    const model::MappingFileRead read =
        model::readMappingFile(model::mappingFileText(table, {1000, 4, 77}));
    EXPECT_FALSE(read.bad);
    EXPECT_TRUE(read.skipped.empty());
    ASSERT_EQ(read.mappings.size(), 3u);
    const int numbers[] = {1000, 4, 1};
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(read.mappings[i].first, numbers[i]);
        expectSame(read.mappings[i].second, table.at(numbers[i]));
    }
}

// One entry of version 1, with one field replaced.
std::string fileWith(const std::string& entries, int version = 1) {
    return "{\"version\": " + std::to_string(version) + ", \"mappings\": [" + entries + "]}";
}
std::string entry(int number, const std::string& name, int port, const std::string& extra = "") {
    return "{\"number\": " + std::to_string(number) + ", \"name\": \"" + name +
           "\", \"mode\": 1, \"listen_ip\": \"0.0.0.0\", \"listen_port\": " + std::to_string(port) +
           ", \"forward_ip\": \"10.0.0.2\", \"forward_port\": 80" + extra + "}";
}

TEST(MappingFile, WholeFilesTheProgramCannotTakeGiveNothingAndSaySo) {
    for (const std::string& text :
         {std::string("not json {"), std::string("[1, 2]"), fileWith("", 2),
          std::string("{\"mappings\": []}"), std::string("{\"version\": 1}")}) {
        const model::MappingFileRead read = model::readMappingFile(text);
        EXPECT_TRUE(read.bad) << text;
        EXPECT_TRUE(read.mappings.empty()) << text;
        ASSERT_EQ(read.skipped.size(), 1u) << text;
        EXPECT_NE(read.skipped[0].find("没有读入任何映射"), std::string::npos) << read.skipped[0];
    }
    EXPECT_NE(model::readMappingFile(fileWith("", 2)).skipped[0].find("版本(2)比本程序新"),
              std::string::npos);
}

TEST(MappingFile, EntriesTheEditorWouldRefuseAreSkippedTheOthersKept) {
    const std::string text = fileWith(
        entry(1, "good", 80) + "," + entry(2, "zero port", 0) + "," +
        entry(3, "bad ip", 81).replace(entry(3, "bad ip", 81).find("0.0.0.0"), 7, "1.2.3") + "," +
        entry(1, "same number", 82) + "," + entry(5, "good", 83) + "," + entry(6, "same port", 80) +
        "," + entry(7, "no forward", 84, ", \"forward_port\": 0") + "," +
        entry(8, "bad black", 85, ", \"blacklist\": [\"x\"]") + "," + entry(9, "second", 86));
    const model::MappingFileRead read = model::readMappingFile(text);
    EXPECT_TRUE(read.bad);
    ASSERT_EQ(read.mappings.size(), 2u);
    EXPECT_EQ(read.mappings[0].second.name, "good");
    EXPECT_EQ(read.mappings[1].first, 9);
    const std::vector<std::string> reasons = {
        "监听端口不对",       "监听IP不对",   "编号重复",    "相同服务或监听重复",
        "相同服务或监听重复", "转接端口不对", "IP黑名单不对"};
    ASSERT_EQ(read.skipped.size(), reasons.size());
    for (std::size_t i = 0; i < reasons.size(); ++i) {
        EXPECT_NE(read.skipped[i].find("未读入:" + reasons[i]), std::string::npos)
            << read.skipped[i];
    }
    EXPECT_NE(read.skipped[0].find("第2项(zero port)"), std::string::npos) << read.skipped[0];
}

TEST(MappingFile, NoMoreThanAThousandMappings) {
    std::string entries;
    for (int i = 1; i <= 1001; ++i) {
        if (i > 1) entries += ",";
        entries += entry(i > 1000 ? 1 : i, "m" + std::to_string(i), i);
    }
    const model::MappingFileRead read = model::readMappingFile(fileWith(entries));
    EXPECT_EQ(read.mappings.size(), 1000u);
    ASSERT_EQ(read.skipped.size(), 1u);
    EXPECT_NE(read.skipped[0].find("超过1000个映射"), std::string::npos);
}

class Store : public ::testing::Test {
  protected:
    Store()
        : folder(fs::temp_directory_path() /
                 ("lumesk-store-" +
                  std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name())) {
        fs::remove_all(folder);
    }
    ~Store() override { fs::remove_all(folder); }
    std::string file() const { return (folder / "mappings.json").string(); }
    static std::string contents(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    fs::path folder;
};

TEST_F(Store, SavedTableIsReadBackAndAMissingFileIsAnEmptyTable) {
    shell::MappingStore store(folder.string());
    MappingTable empty;
    std::vector<int> order;
    EXPECT_TRUE(store.load(empty, order).empty());
    EXPECT_EQ(empty.firstFree(), 1);
    EXPECT_EQ(store.save(sampleTable(), {4, 1, 1000}), "");  // the folder is made
    MappingTable back;
    std::vector<int> backOrder;
    EXPECT_TRUE(shell::MappingStore(folder.string()).load(back, backOrder).empty());
    const MappingTable want = sampleTable();
    for (int n : {1, 4, 1000}) expectSame(back.at(n), want.at(n));
    EXPECT_EQ(backOrder, (std::vector<int>{4, 1, 1000}));
    EXPECT_EQ(back.firstFree(), 2);
}

TEST_F(Store, ABadFileIsKeptAsideBeforeTheNextWrite) {
    fs::create_directories(folder);
    const std::string bad = fileWith(entry(1, "kept", 80) + "," + entry(2, "zero", 0));
    std::ofstream(file(), std::ios::binary) << bad;
    shell::MappingStore store(folder.string());
    MappingTable table;
    std::vector<int> order;
    const std::vector<std::string> lines = store.load(table, order);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("mappings.json.bad-"), std::string::npos);
    EXPECT_EQ(table.at(1).name, "kept");
    EXPECT_EQ(contents(file()), bad) << "untouched until the next write";
    EXPECT_EQ(store.save(table), "");
    int kept = 0;
    for (const auto& e : fs::directory_iterator(folder)) {
        if (e.path().filename().string().rfind("mappings.json.bad-", 0) == 0) {
            ++kept;
            EXPECT_EQ(contents(e.path()), bad);
        }
    }
    EXPECT_EQ(kept, 1);
    EXPECT_FALSE(model::readMappingFile(contents(file())).bad);
}

TEST_F(Store, AWriteStoppedAtAnyStepLeavesTheOldTableOrTheNewOne) {
    const std::string before = model::mappingFileText(sampleTable());
    MappingTable changed = sampleTable();
    changed.at(2) = mapping("新的", 90);
    const std::string after = model::mappingFileText(changed);
    using shell::WriteStep;
    for (WriteStep stop : {WriteStep::Created, WriteStep::HalfWritten, WriteStep::Written,
                           WriteStep::Flushed, WriteStep::Replaced}) {
        fs::remove_all(folder);
        fs::create_directories(folder);
        ASSERT_EQ(shell::replaceFile(file(), before), "");
        EXPECT_EQ(shell::replaceFile(file(), after, [&](WriteStep s) { return s == stop; }),
                  "stopped");
        const std::string now = contents(file());
        EXPECT_TRUE(now == before || now == after) << static_cast<int>(stop);
        EXPECT_EQ(now == after, stop == WriteStep::Replaced) << static_cast<int>(stop);
        // The next start reads a whole table and clears what the stop left.
        MappingTable table;
        std::vector<int> order;
        EXPECT_TRUE(shell::MappingStore(folder.string()).load(table, order).empty());
        EXPECT_EQ(table.at(2).name.empty(), now == before);
        EXPECT_FALSE(fs::exists(file() + ".new"));
    }
}

TEST_F(Store, AFolderThatCannotBeMadeIsSaidOnceAndTheProgramGoesOn) {
    fs::create_directories(folder);
    std::ofstream(folder / "plain-file") << "x";
    shell::MappingStore store((folder / "plain-file" / "lumesk").string());
    MappingTable table;
    std::vector<int> order;
    EXPECT_TRUE(store.load(table, order).empty());
    const std::string first = store.save(sampleTable());
    EXPECT_NE(first.find("无法保存映射到"), std::string::npos) << first;
    EXPECT_EQ(store.save(sampleTable()), "") << "said once";
    shell::MappingStore nowhere("");
    EXPECT_NE(nowhere.save(table), "");
    EXPECT_EQ(nowhere.save(table), "");
}

}  // namespace
}  // namespace lumesk

namespace lumesk {
namespace {

void setVariable(const char* name, const char* value) {
#ifdef _WIN32
    std::wstring wide(name, name + std::strlen(name));
    std::wstring text =
        value ? std::filesystem::path(std::u8string(value, value + std::strlen(value))).wstring()
              : std::wstring();
    ::SetEnvironmentVariableW(wide.c_str(), value ? text.c_str() : nullptr);
#else
    if (value) {
        ::setenv(name, value, 1);
    } else {
        ::unsetenv(name);
    }
#endif
}

// Puts the variables back as they were.
class SavedVariables {
  public:
    SavedVariables() {
        for (const char* name : kNames) {
            const char* value = std::getenv(name);
            saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        }
    }
    ~SavedVariables() {
        for (const auto& [name, value] : saved_)
            setVariable(name, value ? value->c_str() : nullptr);
    }

  private:
    static constexpr const char* kNames[] = {"LUMESK_CONFIG_DIR", "XDG_CONFIG_HOME", "HOME",
                                             "APPDATA"};
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

TEST(SettingsFolder, TheOwnFolderFirstThenThePlatformsSettings) {
    const SavedVariables keep;
    setVariable("LUMESK_CONFIG_DIR", "/tmp/自己的文件夹");
    EXPECT_EQ(shell::settingsFolder(), "/tmp/自己的文件夹");
    setVariable("LUMESK_CONFIG_DIR", nullptr);
#ifdef _WIN32
    setVariable("APPDATA", "C:\\Users\\用户\\AppData\\Roaming");
    EXPECT_EQ(shell::settingsFolder(), "C:\\Users\\用户\\AppData\\Roaming\\Lumesk");
#else
    setVariable("XDG_CONFIG_HOME", "/home/用户/.cfg");
    EXPECT_EQ(shell::settingsFolder(), "/home/用户/.cfg/lumesk");
    setVariable("XDG_CONFIG_HOME", nullptr);
    setVariable("HOME", "/home/用户");
    EXPECT_EQ(shell::settingsFolder(), "/home/用户/.config/lumesk");
#endif
}

}  // namespace
}  // namespace lumesk

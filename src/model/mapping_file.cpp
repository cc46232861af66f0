#include "model/mapping_file.h"

#include <nlohmann/json.hpp>
#include <set>

#include "model/address.h"

namespace lumesk::model {

using nlohmann::json;

namespace {

bool isPort(const json& v) {
    return v.is_number_integer() && v.get<long long>() >= 1 && v.get<long long>() <= 65535;
}

bool isCount(const json& v) {
    return v.is_number_integer() && v.get<long long>() >= 0 && v.get<long long>() <= 0x7FFFFFFFLL;
}

// Why the editor would refuse this entry; empty when it would not.
std::string refusal(const json& e, MappingRecord& r, int& number) {
    if (!e.is_object()) return "不是一个映射";
    const json& n = e.value("number", json());
    if (!n.is_number_integer() || !MappingTable::validNumber(n.get<int>())) return "编号不对";
    number = n.get<int>();
    const json& name = e.value("name", json());
    if (!name.is_string() || name.get<std::string>().empty()) return "没有名称";
    r.name = name.get<std::string>();
    const json& mode = e.value("mode", json());
    if (!mode.is_number_integer() || mode.get<int>() < 1 || mode.get<int>() > 3) {
        return "模式不对";
    }
    r.mode = static_cast<Mode>(mode.get<int>());
    const json& listenIp = e.value("listen_ip", json());
    if (!listenIp.is_string()) return "监听IP不对";
    r.listen_ip = listenIp.get<std::string>();
    if (!normalizeIpText(r.listen_ip)) return "监听IP不对";
    if (!isPort(e.value("listen_port", json()))) return "监听端口不对";
    r.listen_port = e.at("listen_port").get<std::int32_t>();
    const json& forwardIp = e.value("forward_ip", json(""));
    const json& forwardPort = e.value("forward_port", json(0));
    if (!forwardIp.is_string() || !forwardPort.is_number_integer()) return "转接地址不对";
    r.forward_ip = forwardIp.get<std::string>();
    r.forward_port = forwardPort.get<std::int32_t>();
    if (r.mode == Mode::PortMapping) {
        if (!normalizeIpText(r.forward_ip) || isAnyAddress(r.forward_ip)) return "转接IP不对";
        if (!isPort(forwardPort)) return "转接端口不对";
    }
    const json& capacity = e.value("capacity", json(0));
    const json& perIp = e.value("per_ip_limit", json(0));
    if (!isCount(capacity) || !isCount(perIp)) return "容量或单IP限制不对";
    r.capacity = capacity.get<std::int32_t>();
    r.per_ip_limit = perIp.get<std::int32_t>();
    const json& blacklist = e.value("blacklist", json::array());
    if (!blacklist.is_array()) return "IP黑名单不对";
    r.blacklist.clear();
    for (const json& ip : blacklist) {
        std::string text = ip.is_string() ? ip.get<std::string>() : std::string();
        if (!looksLikeIPv4(text) || isAnyAddress(text)) return "IP黑名单不对";
        r.blacklist.push_back(text);
    }
    const json& autostart = e.value("autostart", json(false));
    if (!autostart.is_boolean()) return "随程序启动不对";
    r.autostart = autostart.get<bool>();
    return {};
}

// The editor's own rule: no two names alike, no two listeners on one port
// whose addresses overlap.
bool clashes(const MappingRecord& r, const std::vector<std::pair<int, MappingRecord>>& taken) {
    for (const auto& [n, other] : taken) {
        if (other.name == r.name) return true;
        if (other.listen_port == r.listen_port &&
            (isAnyAddress(other.listen_ip) || isAnyAddress(r.listen_ip) ||
             other.listen_ip == r.listen_ip)) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::string mappingFileText(const MappingTable& table, const std::vector<int>& order) {
    std::vector<int> numbers;
    std::set<int> listed;
    for (int n : order) {
        if (MappingTable::validNumber(n) && !table.at(n).name.empty() && listed.insert(n).second) {
            numbers.push_back(n);
        }
    }
    for (int n = 1; n <= kMappingCount; ++n) {
        if (!table.at(n).name.empty() && !listed.count(n)) numbers.push_back(n);
    }
    json list = json::array();
    for (int n : numbers) {
        const MappingRecord& r = table.at(n);
        json blacklist = json::array();
        for (const std::string& ip : r.blacklist) {
            if (!ip.empty()) blacklist.push_back(ip);
        }
        list.push_back({{"number", n},
                        {"name", r.name},
                        {"mode", static_cast<int>(r.mode)},
                        {"listen_ip", r.listen_ip},
                        {"listen_port", r.listen_port},
                        {"forward_ip", r.forward_ip},
                        {"forward_port", r.forward_port},
                        {"capacity", r.capacity},
                        {"per_ip_limit", r.per_ip_limit},
                        {"blacklist", blacklist},
                        {"autostart", r.autostart}});
    }
    const json doc = {
        {"format", "lumesk-mappings"}, {"version", kMappingFileVersion}, {"mappings", list}};
    return doc.dump(2) + "\n";
}

MappingFileRead readMappingFile(const std::string& text) {
    MappingFileRead out;
    const json doc = json::parse(text, nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) {
        out.bad = true;
        out.skipped.push_back("映射文件不是有效的JSON,没有读入任何映射");
        return out;
    }
    const json& version = doc.value("version", json());
    if (!version.is_number_integer() || version.get<long long>() < 1) {
        out.bad = true;
        out.skipped.push_back("映射文件没有有效的格式版本,没有读入任何映射");
        return out;
    }
    if (version.get<long long>() > kMappingFileVersion) {
        out.bad = true;
        out.skipped.push_back("映射文件的格式版本(" + std::to_string(version.get<long long>()) +
                              ")比本程序新,没有读入任何映射");
        return out;
    }
    const json& list = doc.value("mappings", json());
    if (!list.is_array()) {
        out.bad = true;
        out.skipped.push_back("映射文件没有映射列表,没有读入任何映射");
        return out;
    }
    std::set<int> numbers;
    int index = 0;
    for (const json& e : list) {
        ++index;
        const std::string which = "映射文件第" + std::to_string(index) + "项";
        if (out.mappings.size() >= static_cast<std::size_t>(kMappingCount)) {
            out.bad = true;
            out.skipped.push_back(which + "起未读入:超过" + std::to_string(kMappingCount) +
                                  "个映射");
            break;
        }
        MappingRecord r;
        int number = 0;
        std::string why = refusal(e, r, number);
        if (why.empty() && numbers.count(number)) why = "编号重复";
        if (why.empty() && clashes(r, out.mappings)) why = "相同服务或监听重复";
        if (!why.empty()) {
            out.bad = true;
            std::string line = which;
            if (!r.name.empty()) line += "(" + r.name + ")";
            line += "未读入:";
            line += why;
            out.skipped.push_back(line);
            continue;
        }
        numbers.insert(number);
        out.mappings.emplace_back(number, std::move(r));
    }
    return out;
}

}  // namespace lumesk::model

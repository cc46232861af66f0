#include "ui/form_logic.h"

#include <algorithm>
#include <cctype>
#include <climits>

namespace lumesk::ui {

namespace {

bool isAll(const std::string& ip) {
    return model::isAnyAddress(ip);
}

bool contains(const std::vector<std::string>& rows, const std::string& ip) {
    return std::find(rows.begin(), rows.end(), ip) != rows.end();
}

// UTF-8 full-width forms U+FF01..U+FF5E are ASCII 0x21..0x7E; U+3000 is a blank.
std::string toHalfWidth(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == 0xEF && i + 2 < text.size()) {
            const unsigned cp = ((c & 0x0Fu) << 12) |
                                ((static_cast<unsigned char>(text[i + 1]) & 0x3Fu) << 6) |
                                (static_cast<unsigned char>(text[i + 2]) & 0x3Fu);
            if (cp >= 0xFF01 && cp <= 0xFF5E) {
                out.push_back(static_cast<char>(cp - 0xFF01 + 0x21));
                i += 3;
                continue;
            }
        }
        if (c == 0xE3 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
            static_cast<unsigned char>(text[i + 2]) == 0x80) {
            out.push_back(' ');
            i += 3;
            continue;
        }
        out.push_back(text[i++]);
    }
    return out;
}

std::vector<std::string> nonEmpty(const std::vector<std::string>& rows) {
    std::vector<std::string> out;
    for (const auto& r : rows) {
        if (!r.empty()) out.push_back(r);
    }
    return out;
}

// Leading blanks, a sign and digits, as atoi reads them; `digits` says
// whether any came.
long long leadingNumber(const std::string& text, bool& digits) {
    const std::string t = toHalfWidth(text);
    std::size_t i = 0;
    while (i < t.size() && std::isspace(static_cast<unsigned char>(t[i]))) ++i;
    bool negative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
    constexpr long long kCap = static_cast<long long>(INT_MAX) + 1;
    long long value = 0;
    digits = false;
    for (; i < t.size() && t[i] >= '0' && t[i] <= '9'; ++i) {
        digits = true;
        value = std::min(kCap, value * 10 + (t[i] - '0'));
    }
    return negative ? -value : std::min<long long>(value, INT_MAX);
}

}  // namespace

int readNumber(const std::string& text) {
    bool digits = false;
    return static_cast<int>(leadingNumber(text, digits));
}

int readPort(const std::string& text) {
    const int port = readNumber(text);
    return port >= 1 && port <= 65535 ? port : 0;
}

int readCount(const std::string& text) {
    bool digits = false;
    const long long n = leadingNumber(text, digits);
    return digits && n >= 0 ? static_cast<int>(n) : -1;
}

std::string listenAddressOf(const std::string& selectedItem) {
    return selectedItem == kAllAddresses ? model::kAnyAddress : selectedItem;
}

MappingForm defaultForm(const std::string& firstAddress) {
    MappingForm f;
    f.name = "测试映射";
    f.mode = model::Mode::PortMapping;
    f.listenIpItem = kAllAddresses;
    f.listenPort = "7000";
    f.forwardIp = firstAddress;
    f.forwardPort = "7001";
    f.capacity = "10000";
    f.perIpLimit = "20";
    return f;
}

MappingForm formOf(const model::MappingRecord& r) {
    MappingForm f;
    f.name = r.name;
    f.autostart = r.autostart;
    f.mode = r.mode;
    f.listenIpItem = model::isAnyAddress(r.listen_ip) ? kAllAddresses : r.listen_ip;
    f.listenPort = std::to_string(r.listen_port);
    f.forwardIp = r.forward_ip;
    f.forwardPort = std::to_string(r.forward_port);
    f.capacity = std::to_string(r.capacity);
    f.perIpLimit = std::to_string(r.per_ip_limit);
    f.blacklist = r.blacklist;
    return f;
}

int reserveSlot(model::MappingTable& table, const std::string& name, const std::string& ip,
                int port) {
    int free = 0;
    for (int i = 1; i <= model::kMappingCount; ++i) {
        const model::MappingRecord& r = table.at(i);
        if (free == 0 && r.name.empty()) free = i;
        if (!r.name.empty() && r.listen_port == port && (isAll(r.listen_ip) || isAll(ip))) {
            return 0;
        }
    }
    if (free == 0) return 0;
    model::MappingRecord& r = table.at(free);
    r.name = name;
    r.listen_ip = ip;
    r.listen_port = port;
    return free;
}

bool isDuplicate(const model::MappingTable& table, int n, const std::string& name,
                 const std::string& ip, int port) {
    for (int i = 1; i <= model::kMappingCount; ++i) {
        if (i == n) continue;
        const model::MappingRecord& r = table.at(i);
        if (r.name == name) return true;
        if (r.listen_port == port &&
            (ip == model::kAnyAddress || r.listen_ip == model::kAnyAddress || r.listen_ip == ip)) {
            return true;
        }
    }
    return false;
}

int addMapping(model::MappingTable& table, const MappingForm& form) {
    if (form.name.empty()) return 0;
    const int port = readPort(form.listenPort);
    if (port == 0) return 0;
    const int capacity = readCount(form.capacity);
    const int perIpLimit = readCount(form.perIpLimit);
    if (capacity < 0 || perIpLimit < 0) return 0;
    std::string ip = listenAddressOf(form.listenIpItem);
    if (!model::normalizeIpText(ip)) return 0;
    const int n = reserveSlot(table, form.name, ip, port);
    if (n == 0) return 0;
    model::MappingRecord r;
    r.name = form.name;
    r.mode = form.mode;
    r.autostart = form.autostart;
    r.listen_ip = ip;  // as checked and reserved: no selection is all addresses
    r.listen_port = port;
    // A proxy goes where each client asks: no forward address, as a save keeps it.
    if (form.mode == model::Mode::PortMapping) r.forward_ip = form.forwardIp;
    r.forward_port = readPort(form.forwardPort);
    r.capacity = capacity;
    r.per_ip_limit = perIpLimit;
    r.blacklist = nonEmpty(form.blacklist);
    table.at(n) = model::copyRecord(r);
    return n;
}

std::string saveEditor(model::MappingTable& table, int n, const MappingForm& form,
                       std::mutex* clientTableLock) {
    if (!model::MappingTable::validNumber(n)) return {};
    std::string listenIp = listenAddressOf(form.listenIpItem);
    if (!model::normalizeIpText(listenIp)) return "监听IP填写错误";
    const int port = readPort(form.listenPort);
    if (port == 0) return "监听端口填写错误";
    if (isDuplicate(table, n, form.name, listenIp, port)) return "相同服务或监听重复";
    std::string forwardIp = form.forwardIp;
    if (form.mode == model::Mode::PortMapping) {
        if (!model::normalizeIpText(forwardIp) || isAll(forwardIp)) {
            return "转接IP填写错误";
        }
        if (readPort(form.forwardPort) == 0) return "转接端口填写错误";
    } else {
        forwardIp.clear();
    }
    // Text that is no count would otherwise be saved as 0 and refuse everyone.
    const int capacity = readCount(form.capacity);
    if (capacity < 0) return "承载人数填写错误";
    const int perIpLimit = readCount(form.perIpLimit);
    if (perIpLimit < 0) return "单IP连接数填写错误";
    model::MappingRecord& r = table.at(n);
    // A running mapping's workers read these.
    std::unique_lock<std::mutex> hold;
    if (clientTableLock) hold = std::unique_lock<std::mutex>(*clientTableLock);
    r.name = form.name;
    r.autostart = form.autostart;
    r.mode = form.mode;
    r.listen_ip = listenIp;
    r.listen_port = port;
    r.forward_ip = forwardIp;
    r.forward_port = readPort(form.forwardPort);
    r.capacity = capacity;
    r.per_ip_limit = perIpLimit;
    r.blacklist = nonEmpty(form.blacklist);
    return {};
}

bool editorBlacklistAccepts(const std::vector<std::string>& rows, const std::string& ip) {
    std::string copy = ip;
    return model::normalizeIpText(copy) && !isAll(ip) && !contains(rows, ip);
}

bool dialogBlacklistAccepts(const std::vector<std::string>& rows, const std::string& ip) {
    return !ip.empty() && !contains(rows, ip);
}

}  // namespace lumesk::ui

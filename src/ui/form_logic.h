// What the add dialog and the editor panel do with their input, without the
// toolkit: number reading, slot reservation, duplicate checks, validation.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "model/address.h"
#include "model/mapping.h"

namespace lumesk::ui {

inline constexpr const char* kAllAddresses = "本机所有可用IP";
inline constexpr const char* kMessageCaption = "信息：";

// Full-width characters become their ASCII forms, then leading blanks, a sign
// and digits are read as atoi reads them: "７０００" and "7000x" give 7000.
// Past the int range it stops at the bound instead of overflowing.
int readNumber(const std::string& text);

// A port box's value, or 0 when it is none (outside 1..65535): a port the
// socket would cut short, or the kept mappings refuse on the next start.
int readPort(const std::string& text);

// A count box (capacity, per-IP limit): -1 unless it starts with a number of
// 0 or more. An explicit 0 is kept: it refuses every client.
int readCount(const std::string& text);

// The listen-IP box's selected text as an address: the first item means all.
std::string listenAddressOf(const std::string& selectedItem);

// What a form holds, as texts.
struct MappingForm {
    std::string name;
    bool autostart = false;
    model::Mode mode = model::Mode::PortMapping;  // the checked radio
    std::string listenIpItem;                     // text of the selected listen-IP item
    std::string listenPort;
    std::string forwardIp;
    std::string forwardPort;
    std::string capacity;
    std::string perIpLimit;
    // Column 1 of the list's rows, in order. Shown, row i is numbered i + 1
    // and an empty entry makes none, leaving its number unused.
    std::vector<std::string> blacklist;
};

// What the editor shows of a record.
MappingForm formOf(const model::MappingRecord& r);

// The add dialog's defaults; `firstAddress` is the forward-IP box's item 0.
MappingForm defaultForm(const std::string& firstAddress);

int reserveSlot(model::MappingTable& table, const std::string& name, const std::string& ip,
                int port);
bool isDuplicate(const model::MappingTable& table, int n, const std::string& name,
                 const std::string& ip, int port);

// The dialog's OK: the new mapping's number, 0 when refused (silently).
int addMapping(model::MappingTable& table, const MappingForm& form);

// The editor's save of mapping n: "" when written, else the message to show.
// Fields the engine reads while running are written under `clientTableLock`.
std::string saveEditor(model::MappingTable& table, int n, const MappingForm& form,
                       std::mutex* clientTableLock);

// Whether the blacklist add buttons take `ip` into a list holding `rows`.
bool editorBlacklistAccepts(const std::vector<std::string>& rows, const std::string& ip);
bool dialogBlacklistAccepts(const std::vector<std::string>& rows, const std::string& ip);

}  // namespace lumesk::ui

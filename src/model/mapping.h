// A mapping record, its client slots and the table of 1000 mappings.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace lumesk::net {
struct IoRecord;
}

namespace lumesk::model {

constexpr int kMappingCount = 1000;
constexpr int kClientSlots = 100;

// One client of a running mapping: element 0 the client, element 1 its relay.
struct ClientSlot {
    // The relay holds a reference of the slot's; the client is kept by the
    // service until its close clears the slot (net/records.h).
    std::array<net::IoRecord*, 2> connections{};
    std::array<std::string, 2> addresses;
    std::array<std::int32_t, 2> ports{};
    std::uint64_t serial = 0;  // the client connection's serial (net/records.h)

    bool isFree() const { return connections[0] == nullptr; }
    void clear() { *this = ClientSlot{}; }
};

// The 100 client slots of a mapping. They read as free until the first is
// written, so the 1000 blank records of the table cost no slot memory.
class ClientTable {
  public:
    ClientTable() = default;
    ClientTable(const ClientTable& other)
        : slots_(other.slots_ ? std::make_unique<Slots>(*other.slots_) : nullptr) {}
    ClientTable& operator=(const ClientTable& other) {
        if (this != &other)
            slots_ = other.slots_ ? std::make_unique<Slots>(*other.slots_) : nullptr;
        return *this;
    }
    ClientTable(ClientTable&&) noexcept = default;
    ClientTable& operator=(ClientTable&&) noexcept = default;

    static constexpr std::size_t size() { return kClientSlots; }
    const ClientSlot& operator[](std::size_t i) const { return all()[i]; }
    ClientSlot& operator[](std::size_t i) {
        if (!slots_) slots_ = std::make_unique<Slots>();
        return (*slots_)[i];
    }
    const ClientSlot* begin() const { return all().data(); }
    const ClientSlot* end() const { return all().data() + kClientSlots; }

  private:
    using Slots = std::array<ClientSlot, kClientSlots>;
    const Slots& all() const {
        static const Slots blank{};
        return slots_ ? *slots_ : blank;
    }
    std::unique_ptr<Slots> slots_;
};

// What a mapping's listener does with a client; the values are the stored ones.
enum class Mode : std::int32_t {
    None = 0,  // a free record
    PortMapping = 1,
    HttpProxy = 2,
    Socks4Proxy = 3,
};

struct MappingRecord {
    std::string name;  // empty: a free slot of the table
    bool autostart = false;
    net::IoRecord* service = nullptr;  // the listener while running
    Mode mode = Mode::None;
    std::string listen_ip;
    std::int32_t listen_port = 0;
    std::string forward_ip;
    std::int32_t forward_port = 0;
    std::int32_t capacity = 0;
    std::int32_t per_ip_limit = 0;
    std::vector<std::string> blacklist{std::string()};
    ClientTable clients;
};

// Texts, blacklist and client slots are copied; the record pointers in it
// (the listener, each slot's connections) still name the same service
// records, and the copy holds no reference of its own: read them only under
// the client table lock, while the source still holds them (net/records.h).
inline MappingRecord copyRecord(const MappingRecord& record) {
    return record;
}

class MappingTable {
  public:
    MappingTable() : records_(kMappingCount) {}

    static bool validNumber(int n) { return n > 0 && n <= kMappingCount; }
    MappingRecord& at(int n) { return records_.at(static_cast<std::size_t>(n - 1)); }
    const MappingRecord& at(int n) const { return records_.at(static_cast<std::size_t>(n - 1)); }
    // The lowest-numbered free slot, 0 when all 1000 are in use.
    int firstFree() const;
    void reset(int n) { at(n) = MappingRecord{}; }

  private:
    std::vector<MappingRecord> records_;
};

}  // namespace lumesk::model

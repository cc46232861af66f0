// Internal to the Windows layer: what an operation keeps inside the caller's
// Overlapped, beside the system's OVERLAPPED.
#pragma once

#include <winsock2.h>

#include <windows.h>

#include <cstddef>
#include <new>

#include "platform/platform.h"

namespace lumesk::platform::win32 {

constexpr DWORD kAddressSlot = sizeof(sockaddr_in) + 16;  // what AcceptEx asks per address

// What we keep inside an Overlapped. The system OVERLAPPED comes first so the
// pointer the port hands back is the caller's Overlapped itself.
struct Record {
    OVERLAPPED system;
    unsigned char* peerBlock;
    unsigned char acceptOutput[2 * kAddressSlot];
};

static_assert(sizeof(Record) <= sizeof(Overlapped::storage), "Record must fit in Overlapped");
static_assert(alignof(Record) <= alignof(Overlapped), "Record needs stronger alignment");
static_assert(offsetof(Record, system) == 0, "OVERLAPPED must be the first member");
static_assert(offsetof(Overlapped, storage) == 0, "storage must start the Overlapped");

// Starts a fresh record for a new operation; the OVERLAPPED must be zero
// before the system sees it.
inline Record* beginRecord(Overlapped* overlapped) {
    return ::new (static_cast<void*>(overlapped->storage)) Record{};
}

inline OVERLAPPED* systemOverlapped(Overlapped* overlapped) {
    return reinterpret_cast<OVERLAPPED*>(overlapped->storage);
}

inline Overlapped* fromSystemOverlapped(OVERLAPPED* overlapped) {
    return reinterpret_cast<Overlapped*>(overlapped);
}

}  // namespace lumesk::platform::win32

// Internal to the Windows layer: Win32 codes as the Winsock codes every
// message shows, and the code lastSocketError() reports.
#pragma once

// winsock2.h must precede windows.h, or the old winsock.h gets pulled in.
#include <winsock2.h>

#include <windows.h>

namespace lumesk::platform::win32 {

// A failed record reports the Win32 code translated from the kernel status;
// the layers above speak Winsock, so the socket-related ones are translated
// the way Winsock itself does.
int toWinsockError(DWORD code);
// What lastSocketError() reports on this thread (createSocket's failure).
void setSocketError(int code);

}  // namespace lumesk::platform::win32

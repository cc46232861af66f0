// Internal to the POSIX layer: errno values as the Winsock codes every
// message shows, and the code lastSocketError() reports.
#pragma once

namespace lumesk::platform::posix {

int mapErrno(int e);
// What lastSocketError() reports on this thread (createSocket's failure).
void setSocketError(int code);

}  // namespace lumesk::platform::posix

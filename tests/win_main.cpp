// Windows only: WSAStartup before any test touches a socket, since the test
// clients use Winsock directly, some before a service has started it.
#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

class WinsockEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { ASSERT_EQ(lumesk::platform::startup(), 0); }
};

[[maybe_unused]] ::testing::Environment* const kWinsock =
    ::testing::AddGlobalTestEnvironment(new WinsockEnvironment);

}  // namespace

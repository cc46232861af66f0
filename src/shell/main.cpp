// Program entry. For now it starts both instances of the socket service and
// says so; the window comes later.
#include <cstdio>
#include <string>

#include "net/service.h"

int main() {
    lumesk::net::ServiceContext context;
    lumesk::net::WnSocketService server(context, lumesk::net::ServiceRole::Server);
    lumesk::net::WnSocketService client(context, lumesk::net::ServiceRole::Client);
    std::string error;
    const bool serverUp = server.start(10, true, error);
    const bool clientUp = client.start(10, true, error);
    if (!serverUp || !clientUp) {
        std::fprintf(stderr, "WnSocket服务启动失败: %s\n", error.c_str());
        return 1;
    }
    std::printf("WnSocket服务已启动: 服务端 %d 个工作线程, 客户端 %d 个工作线程\n",
                server.createdThreads(), client.createdThreads());
    return 0;
}

// Texts for failed receive and send posts, by Winsock code.
#include "net/error_texts.h"

namespace lumesk::net {
namespace {

struct Row {
    int code;
    bool receive;  // sends know every row
    const char* text;
};

constexpr Row kRows[] = {
    {10004, true, "WSAEINTR 通过WSACancelBlockingCall()函数取消（阻塞）调用。"},
    {10013, false, "WSAEACCES 请求的地址是一个广播地址,但适当的国旗是不确定的"},
    {10014, false,
     "WSAEFAULT "
     "这lpBuffers,lpNumberOfBytesSent,lpOverlapped,"
     "lpCompletionRoutineparameter并非完全包含一个有效部分的用户地址空间。"},
    {10022, true, "WSAEINVAL 套接口未用bind()捆绑，或者套接口未用重叠标志创建。"},
    {10035, true,
     "WSAEWOULDBLOCK "
     "重叠套接口：太多重叠的输入/"
     "输出请求。非重叠套接口：套接口被标志为非阻塞，但是操作不能立即完成。"},
    {10036, true,
     "WSAEINPROGRESS 一个阻塞的WinSock调用正在进行中，或者服务提供者仍在处理一个回调函数"},
    {10038, true, "WSAENOTSOCK 描述字不是一个套接口。"},
    {10040, false, "WSAEMSGSIZE 这个套接字是面向信息,信息是没有大于它的最大支持的潜在运输。"},
    {10045, true,
     "WSAEOPNOTSUPP "
     "设置了MSG_OOB，但是该套接口不是诸如SOCK_"
     "STREAM流类型的，与套接口相关的通讯域不支持带外数据，或者套接口是单向的，只支持发送操作。"},
    {10050, true, "WSAENETDOWN 网络子系统失效。 "},
    {10052, true, "WSAENETRESET 由于远端的复位造成连接的中止。"},
    {10053, true, "WSAECONNABORTED 由于超时或其他错误导致虚电路中止。"},
    {10054, true, "WSAECONNRESET 虚电路被远端复位。"},
    {10058, true,
     "WSAESHUTDOWN 套接口已经关闭；一个套接口以SD_RECEIVE或 "
     "SD_BOTH的how参数shutdown()后，无法进行WSARecv()调用。"},
    {10093, true, "WSANOTINITIALISED 在调用本API之前应成功调用WSAStartup()。"},
    {10101, true, "WSAEDISCON 远端优雅的结束了连接。"},
};

std::string lookup(int code, bool forReceive) {
    if (code <= 0) return {};
    std::string text = "错误码:" + std::to_string(code) + " ";
    for (const Row& row : kRows) {
        if (row.code == code && (row.receive || !forReceive)) return text + row.text;
    }
    return text;
}

}  // namespace

std::string receiveErrorText(int code) {
    return lookup(code, true);
}
std::string sendErrorText(int code) {
    return lookup(code, false);
}

}  // namespace lumesk::net

#include <gtest/gtest.h>

#include "net/error_texts.h"

using lumesk::net::receiveErrorText;
using lumesk::net::sendErrorText;

TEST(ErrorTexts, CodeDigitsSpaceAndRowText) {
    EXPECT_EQ(receiveErrorText(10054), "错误码:10054 WSAECONNRESET 虚电路被远端复位。");
    EXPECT_EQ(sendErrorText(10054), receiveErrorText(10054));
    EXPECT_EQ(sendErrorText(10038), "错误码:10038 WSAENOTSOCK 描述字不是一个套接口。");
    // The one row whose text keeps a trailing space.
    EXPECT_EQ(receiveErrorText(10050), "错误码:10050 WSAENETDOWN 网络子系统失效。 ");
}

TEST(ErrorTexts, SendOnlyRowsAreUnknownToReceive) {
    EXPECT_EQ(receiveErrorText(10013), "错误码:10013 ");
    EXPECT_EQ(sendErrorText(10013),
              "错误码:10013 WSAEACCES 请求的地址是一个广播地址,但适当的国旗是不确定的");
    for (int code : {10014, 10040}) {
        EXPECT_EQ(receiveErrorText(code), "错误码:" + std::to_string(code) + " ");
        EXPECT_GT(sendErrorText(code).size(), receiveErrorText(code).size());
    }
}

TEST(ErrorTexts, UnknownAndNonPositiveCodes) {
    EXPECT_EQ(receiveErrorText(12345), "错误码:12345 ");
    EXPECT_EQ(sendErrorText(997), "错误码:997 ");
    EXPECT_EQ(receiveErrorText(0), "");
    EXPECT_EQ(sendErrorText(0), "");
    EXPECT_EQ(receiveErrorText(-10054), "");
}

// zefBase_Classes: the comma list and the header list.
#include "websocket/core/zefBase_Classes.h"

#include <gtest/gtest.h>

using namespace zef;

TEST(TzefDelimitedStringList, CommaStrictQuotesGroup) {
    TzefDelimitedStringList List;
    List.SetDelimitedText("a, b,\"c,d\"");
    EXPECT_EQ(std::vector<std::string>(List.begin(), List.end()),
              (std::vector<std::string>{"a", " b", "c,d"}));
}

TEST(TzefHeaderList, CaseInsensitiveLookup) {
    TzefHeaderList Headers;
    Headers.Add("GET / HTTP/1.1");
    Headers.Add("Sec-WebSocket-Key:  abc ");
    Headers.Add("Host: x");
    EXPECT_EQ(Headers.IndexOfHeader("sec-websocket-key"), 1);
    EXPECT_EQ(Headers.GetHeaderValue("HOST"), "x");
    EXPECT_EQ(Headers.GetHeaderValue("Sec-WebSocket-Key"), "abc");
    EXPECT_EQ(Headers.IndexOfHeader("Origin"), -1);
    EXPECT_EQ(Headers.GetHeaderValue("Origin"), "");
}

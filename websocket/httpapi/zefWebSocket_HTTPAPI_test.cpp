// zefWebSocket_HTTPAPI tests: the response-record routines.
#include "websocket/httpapi/zefWebSocket_HTTPAPI.h"

#include <gtest/gtest.h>

namespace zef {
namespace {

TEST(StatusText, KnownCodesAndDigitsForOthers) {
    EXPECT_EQ(StatusText(101), "Switching Protocols");
    EXPECT_EQ(StatusText(302), "Moved Temporarily");
    EXPECT_EQ(StatusText(418), "418");
}

} // namespace
} // namespace zef

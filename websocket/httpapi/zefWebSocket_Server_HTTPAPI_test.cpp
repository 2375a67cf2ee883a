#include "websocket/httpapi/zefWebSocket.h"

#include <gtest/gtest.h>
TEST(X, Y) {
}

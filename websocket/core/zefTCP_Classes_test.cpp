// zefTCP_Classes: the root connection level.
#include "websocket/core/zefTCP_Classes.h"

#include "testing/zefWebSocket_TestConnection.h"

#include <gtest/gtest.h>

using namespace zef;
using namespace zef::testing;

TEST(TzefTCPConnection_Base, CountersDelimiterAndFlags) {
    TzefWSTestConnection Connection;
    TzefTCPConnection_Base& Base = Connection;
    EXPECT_EQ(Base.RecBytes(), 0);
    EXPECT_EQ(Base.SendBytes(), 0);
    EXPECT_EQ(Base.Data(), nullptr);
    EXPECT_FALSE(Base.Freed());
    Connection.WriteData(std::string("abc"));
    EXPECT_EQ(Base.SendBytes(), 5);
    Base.AddTCPEndOfFrame('\r');
    Base.AddTCPEndOfFrame('\n');
    EXPECT_EQ(Base.TCPEndOfFrame(), (std::vector<std::uint8_t>{'\r', '\n'}));
    Base.ClearTCPEndOfFrame();
    EXPECT_TRUE(Base.TCPEndOfFrame().empty());
    EXPECT_EQ(Base.MsgBinaryReceived().Size(), 0);
    Base.SetMsgReceived("m");
    EXPECT_EQ(Base.MsgReceived(), "m");
    Base.MarkFreed();
    EXPECT_TRUE(Base.Freed());
    Base.EnterCS(5);
    Base.LeaveCS(5);
}

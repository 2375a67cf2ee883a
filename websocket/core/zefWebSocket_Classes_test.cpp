// zefWebSocket_Classes: the connection's queues, subscriptions and options, and the server
// component's release of ended connections.
#include "websocket/core/zefWebSocket_Classes.h"

#include "testing/zefWebSocket_TestConnection.h"

#include <gtest/gtest.h>

#include <mutex>

using namespace zef;
using namespace zef::testing;

TEST(TzefWSConnection, Defaults) {
    TzefWSTestConnection Connection;
    TzefWSConnection& C = Connection;
    EXPECT_FALSE(C.ValidateUTF8());
    EXPECT_TRUE(C.RaiseDisconnectExceptions());
    EXPECT_TRUE(C.CleanDisconnect());
    EXPECT_EQ(C.FragmentedMessages(), TwsFragmentedMessages::frgOnlyBuffer);
    EXPECT_EQ(C.TCPEndOfFrameScanBuffer(), TtcpEOFScanBuffer::eofScanNone);
    EXPECT_FALSE(C.Disconnected());
    EXPECT_EQ(C.CloseCode(), 0);
    std::string Guid = C.Guid();
    EXPECT_EQ(Guid.size(), 32u);
    EXPECT_EQ(C.Guid(), Guid);
}

TEST(TzefWSConnection, QueuedWritesWaitAndDieWithTheConnection) {
    struct TCase {
        TwsQueueMsgLevels Level;
    };
    for (TwsQueueMsgLevels Level :
         {TwsQueueMsgLevels::qmLevel0, TwsQueueMsgLevels::qmLevel1, TwsQueueMsgLevels::qmLevel2}) {
        SCOPED_TRACE(int(Level));
        TzefWSTestConnection Connection;
        TzefWSQueueOptions Options;
        Options.Text().SetLevel(Level);
        Options.Binary().SetLevel(Level);
        Options.Ping().SetLevel(Level);
        Connection.SetQueueOptions(Options);
        Connection.WriteData(std::string("text"), 3, TwsStreaming::stmFirst);
        rtl::TMemoryStream Data("bin");
        Connection.WriteData(Data);
        Data.Clear(); // the queue keeps its own copy
        Connection.Ping("p");
        EXPECT_TRUE(Connection.Written.empty());
        TzefQueueList& Queue = Connection.QueueLevel(Level);
        ASSERT_EQ(Queue.Count(), 3u);
        auto Items = Queue.TakeAll();
        EXPECT_EQ(Items[0]->OpCode(), TOpcode::opText);
        EXPECT_EQ(Items[0]->Text(), "text");
        EXPECT_EQ(Items[0]->Size(), 3);
        EXPECT_EQ(Items[0]->Streaming(), TwsStreaming::stmFirst);
        EXPECT_EQ(Items[1]->OpCode(), TOpcode::opBinary);
        EXPECT_EQ(Items[1]->Stream()->DataString(), "bin");
        EXPECT_EQ(Items[2]->OpCode(), TOpcode::opPing);
        Connection.WriteData(std::string("again"));
        EXPECT_EQ(Queue.Count(), 1u);
        Connection.SetDisconnected(true);
        EXPECT_EQ(Queue.Count(), 0u);
    }
}

TEST(TzefWSConnection, Subscriptions) {
    TzefWSTestConnection Connection;
    std::vector<std::string> Added, Removed;
    Connection.OnSubscription = [&](TzefWSConnection&, const std::string& S) {
        Added.push_back(S);
    };
    Connection.OnUnSubscription = [&](TzefWSConnection&, const std::string& S) {
        Removed.push_back(S);
    };
    EXPECT_TRUE(Connection.Subscribed(""));
    Connection.DoSubscribe("a,b");
    Connection.DoSubscribe("a");
    EXPECT_EQ(Added, (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(Connection.Subscribed("x,b"));
    EXPECT_FALSE(Connection.Subscribed(" a"));
    EXPECT_FALSE(Connection.Subscribed("A"));
    Connection.DoUnSubscribe("b,zz");
    EXPECT_EQ(Removed, std::vector<std::string>{"b"});
    EXPECT_FALSE(Connection.Subscribed("b"));
}

TEST(TzefWSConnection, WriteAndWaitData) {
    TzefWSTestConnection Connection;
    EXPECT_EQ(Connection.WriteAndWaitData("q", 0), "");
    EXPECT_EQ(Connection.Written.size(), 1u);
    Connection.OnWrite = [&] { Connection.SetMsgReceived("answer"); };
    EXPECT_EQ(Connection.WriteAndWaitData("q", 10000), "answer");
}

TEST(TzefWSQueueOptions, AssignCopiesLevels) {
    TzefWSQueueOptions A, B;
    A.Text().SetLevel(TwsQueueMsgLevels::qmLevel1);
    A.Ping().SetLevel(TwsQueueMsgLevels::qmLevel2);
    B.Assign(A);
    EXPECT_EQ(B.Text().Level(), TwsQueueMsgLevels::qmLevel1);
    EXPECT_EQ(B.Ping().Level(), TwsQueueMsgLevels::qmLevel2);
    EXPECT_EQ(B.Binary().Level(), TwsQueueMsgLevels::qmNone);
}

namespace {

/// A server component without a transport whose stop begins after the first StopAfter
/// questions whether it is stopping (-1: never), wherever they are asked.
class TStoppingComponent : public TzefWSComponent_Server {
public:
    explicit TStoppingComponent(int aStopAfter) : FStopAfter(aStopAfter) {}
    ~TStoppingComponent() override {
        MarkDestroying();
        FreeTimers();
    }
    bool IsDestroying() const override {
        return TzefWSComponent_Server::IsDestroying() ||
               (FStopAfter >= 0 && FQuestions++ >= FStopAfter);
    }
    TzefWSConnectionList& LockList() override {
        FLock.lock(); // Released by UnLockList.
        return FList;
    }
    void UnLockList() override { FLock.unlock(); }

protected:
    void DoHeartBeat() override {}
    void DoHeartBeatException(const std::exception&) override {}
    void DoHeartBeatTimeout() override {}
    void DoHeartBeatTimeoutException(const std::exception&) override {}
    void DoWatchDogException(const std::exception&) override {}

private:
    const int FStopAfter;
    mutable int FQuestions = 0; // The test's thread only.
    std::mutex FLock;
    TzefWSConnectionList FList; // Guarded by FLock; stays empty.
};

/// Counts its live instances in a counter the test owns.
class TCountedConnection : public TzefWSTestConnection {
public:
    explicit TCountedConnection(int& aLive) : FLive(aLive) { ++FLive; }
    ~TCountedConnection() override { --FLive; }

private:
    int& FLive;
};

} // namespace

// A transport hands an ended connection over for its disconnect event. When the component
// begins to stop on the way, at any point, the event may be left out but the connection is
// released all the same, exactly once.
TEST(TzefWSComponent_Server, AConnectionHandedOverAsTheStopBeginsIsStillReleased) {
    struct TCase {
        const char* Name;
        int StopAfter; // Questions answered "not stopping" (-1: all).
        int Events;    // Disconnect events (-1: either way).
    };
    const TCase Cases[] = {
        {"stopping already", 0, 0},
        {"stop begins after the first check", 1, -1},
        {"stop begins after the second check", 2, -1},
        {"stop begins after the third check", 3, -1},
        {"never stopping", -1, 1},
    };
    for (bool Deferred : {false, true}) {
        for (const TCase& Case : Cases) {
            SCOPED_TRACE(std::string(Case.Name) + (Deferred ? ", deferred release" : ""));
            int Live = 0;
            {
                TStoppingComponent Component(Case.StopAfter);
                Component.Optimizations().ConnectionsFree().SetEnabled(Deferred);
                int Events = 0;
                Component.OnDisconnect = [&](TzefWSConnection&, int) { ++Events; };
                Component.DoNotifyDisconnect(new TCountedConnection(Live)); // Now the component's.
                if (Case.Events >= 0) {
                    EXPECT_EQ(Events, Case.Events);
                }
                EXPECT_LE(Events, 1);
                EXPECT_EQ(Component.ConnectionsFreeCount(), Deferred ? 1u : 0u);
                EXPECT_EQ(Live, Deferred ? 1 : 0);
                // The deferred release never ran (no timer): stopping it still frees.
                Component.StopConnectionsFree();
                EXPECT_EQ(Component.ConnectionsFreeCount(), 0u);
                EXPECT_EQ(Live, 0);
            }
            EXPECT_EQ(Live, 0);
        }
    }
}

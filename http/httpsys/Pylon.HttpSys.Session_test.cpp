// Pylon.HttpSys.Session: the platform objects of a server and the request intake.
#include "http/httpsys/Pylon.HttpSys.Api.h"
#include "http/httpsys/Pylon.HttpSys.Session.h"
#include "testing/HttpTestClient.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace pylon {
namespace {

TEST(THttpSysSession, StartWithoutPrefixesFailsAndCreatesNothing) {
    THttpSysSession Session;
    try {
        Session.Start();
        FAIL() << "no exception";
    } catch (const EHttpSysSessionException& E) {
        EXPECT_EQ(std::string(E.what()), SNoUrlPrefix);
    }
    EXPECT_FALSE(Session.IsListening());
    EXPECT_EQ(Session.SessionId(), HTTP_NULL_ID);
    EXPECT_EQ(Session.UrlGroupID(), HTTP_NULL_ID);
    EXPECT_EQ(Session.QueueId(), nullptr);
}

TEST(THttpSysSession, SetQueueLengthNeedsAStartedSession) {
    THttpSysSession Session;
    try {
        Session.SetQueueLength(10);
        FAIL() << "no exception";
    } catch (const EHttpSysSessionException& E) {
        EXPECT_EQ(std::string(E.what()), SQueueLengthNotStarted);
    }
}

TEST(THttpSysSession, ARefusedPrefixNamesItselfAndTheSystemText) {
    THttpSysSession Session;
    Session.UrlPrefixes().Add("http://+:2001/no-trailing-slash");
    try {
        Session.Start();
        FAIL() << "no exception";
    } catch (const EHttpSysSessionException& E) {
        EXPECT_EQ(std::string(E.what()),
                  "Could not add the following Url to the server.\r\nBe sure that you have "
                  "reserved the Url in Http.Sys with proper permissions.\r\n\r\nUrl: "
                  "http://+:2001/no-trailing-slash\r\nError: The parameter is incorrect.");
    }
    EXPECT_FALSE(Session.IsListening());
}

TEST(THttpSysSession, ReceivesARequestLargerThanTheBufferAndStopsAgain) {
    const std::uint16_t Port = testsupport::FreePort();
    THttpSysSession Session;
    Session.UrlPrefixes().Add("http://127.0.0.1:" + std::to_string(Port) + "/big/");
    for (int Round = 0; Round < 2; ++Round) {
        SCOPED_TRACE(Round);
        Session.Start();
        ASSERT_TRUE(Session.IsListening());
        Session.SetQueueLength(100);
        const std::string Large(6000, 'v');
        testsupport::THttpTestClient Client(Port);
        ASSERT_TRUE(Client.Connected());
        EXPECT_TRUE(Client.Send("GET /big/x HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Large: " + Large +
                                "\r\n\r\n"));
        std::unique_ptr<THttpSysContext> Context = Session.GetContext();
        ASSERT_NE(Context, nullptr);
        EXPECT_EQ(Context->Request().Headers().Get("x-large"), Large);
        EXPECT_EQ(Context->Request().Method(), "GET");
        Context.reset(); // Unanswered: the queue's close resets the client.
        Session.Stop();
        EXPECT_FALSE(Session.IsListening());
        EXPECT_EQ(Session.QueueId(), nullptr);
        EXPECT_EQ(Session.GetContext(), nullptr);
    }
}

TEST(THttpSysSession, StopWakesABlockedReceive) {
    const std::uint16_t Port = testsupport::FreePort();
    THttpSysSession Session;
    Session.UrlPrefixes().Add("http://127.0.0.1:" + std::to_string(Port) + "/");
    Session.Start();
    std::unique_ptr<THttpSysContext> Got;
    std::thread Receiver([&] { Got = Session.GetContext(); });
    Session.Stop(); // Before or during the receive: either way it returns nothing.
    Receiver.join();
    EXPECT_EQ(Got, nullptr);
}

} // namespace
} // namespace pylon

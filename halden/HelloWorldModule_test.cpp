// HelloWorldModule: the greeting, checked on the framework's in-memory host.
#include "halden/HelloWorldModule.h"

#include "http/framework/Pylon.HttpServer.Dispatcher.h"
#include "testing/PylonTestHost.h"

#include <gtest/gtest.h>

namespace pylon {
namespace {

using testing::TTestHttpContext;
using testing::TWireCall;

TEST(THelloWorldModule, EveryRoutedRequestGetsTheSameGreeting) {
    THttpDispatcher Dispatcher;
    Dispatcher.AddModule(std::make_unique<THelloWorldModule>(HelloBaseUrl));
    struct TCase {
        const char* Method;
        const char* Url;
    };
    constexpr TCase Cases[] = {
        {"GET", "http://127.0.0.1:2001/vek/orbis/hello"},
        {"POST", "http://127.0.0.1:2001/vek/orbis/hello/any/deeper/path?x=1"},
        {"GET", "http://127.0.0.1:2001/VEK/Orbis/HELLO"},
        {"DELETE", "http://127.0.0.1:2001/vek/orbis/hello/"},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Url);
        TTestHttpContext Context(Case.Method, Case.Url);
        Dispatcher.DispatchRequest(Context);
        const auto& Response = Context.TestResponse();
        EXPECT_TRUE(Response.Violations.empty());
        EXPECT_EQ(Response.StatusCode(), 200);
        EXPECT_EQ(Response.StatusReason(), "OK");
        EXPECT_EQ(Response.Headers().Get("content-type"), "text/plain");
        EXPECT_EQ(Response.Headers().Get("content-length"), "13");
        EXPECT_FALSE(Response.Headers().Exists("connection"));
        // Status line and headers, one body piece of 13 bytes, then the end.
        ASSERT_EQ(Response.Calls.size(), 3u);
        EXPECT_EQ(Response.Calls[0].Call, TWireCall::SendResponse);
        EXPECT_EQ(Response.Calls[1].Call, TWireCall::SendBody);
        EXPECT_EQ(Response.Calls[1].Bytes, "\x48\x65\x6C\x6C\x6F\x2C\x20\x57\x6F\x72\x6C\x64\x21");
        EXPECT_EQ(Response.Calls[2].Call, TWireCall::EndResponse);
        EXPECT_TRUE(Response.Calls[2].KeepAlive);
        EXPECT_TRUE(Response.Completed());
    }
}

TEST(THelloWorldModule, OutsideItsBaseUrlNothingIsRouted) {
    THttpDispatcher Dispatcher;
    Dispatcher.AddModule(std::make_unique<THelloWorldModule>(HelloBaseUrl));
    TTestHttpContext Context("GET", "http://127.0.0.1:2001/vek/orbis");
    Dispatcher.DispatchRequest(Context);
    EXPECT_EQ(Context.TestResponse().StatusCode(), 404);
}

} // namespace
} // namespace pylon

// Pylon.HttpServer.Dispatcher: tests of routing, the 404/500 answers and the error boundary.
#include "http/framework/Pylon.HttpServer.Dispatcher.h"
#include "testing/PylonTestHost.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace pylon {
namespace {

using testing::TTestHttpContext;
using testing::TTestLogEngine;

// Answers with its own name, or runs Body when one is set.
class TNamedModule : public THttpServerModule {
public:
    TNamedModule(std::string_view BaseUri, std::string Name)
        : THttpServerModule(BaseUri)
        , FName(std::move(Name)) {}
    std::function<void(THttpServerContext&)> Body;
    void ProcessRequest(THttpServerContext& C) override {
        if (Body) {
            Body(C);
            return;
        }
        C.Response().SetStatusCode(200);
        C.Response().Close(FName);
    }

private:
    std::string FName;
};

class TDetailLessDispatcher : public THttpDispatcher {
public:
    TDetailLessDispatcher() { SetDetailedErrorResponse(false); }
};

std::string Dispatch(THttpDispatcher& Dispatcher, const std::string& Url) {
    TTestHttpContext Context("GET", Url);
    Dispatcher.DispatchRequest(Context);
    EXPECT_EQ(Context.TestResponse().Violations, std::vector<std::string>());
    EXPECT_TRUE(Context.TestResponse().Completed());
    return Context.TestResponse().StatusCode() == 200
               ? Context.TestResponse().Body()
               : std::to_string(Context.TestResponse().StatusCode());
}

TEST(THttpDispatcher, NoModuleAnswers404WithAnEmptyBody) {
    THttpDispatcher Dispatcher;
    TTestHttpContext Context("GET", "http://h/anything");
    Dispatcher.DispatchRequest(Context);
    EXPECT_EQ(Context.TestResponse().Wire(), "HTTP/1.1 404 Not Found\r\ncontent-length: 0\r\n\r\n");
}

TEST(THttpDispatcher, LongestWholeSegmentPrefixWins) {
    struct TCase {
        const char* Name;
        std::vector<std::pair<const char*, const char*>> Modules;  // base URL, name
        std::vector<std::pair<const char*, const char*>> Requests; // URL, expected answer
    };
    const TCase Cases[] = {
        {"nested",
         {{"http://h/a", "A"}, {"http://h/a/b", "AB"}},
         {{"http://h/a/b/c", "AB"},
          {"http://h/a/x", "A"},
          {"http://h/b", "404"},
          {"http://h/ab", "404"},
          {"http://h/a", "A"}}},
        {"same base: first registered",
         {{"http://h/a", "first"}, {"http://h/a", "second"}},
         {{"http://h/a/x", "first"}}},
        {"root registered first",
         {{"http://h/", "root"}, {"http://h/a", "A"}},
         {{"http://h/a/x", "A"}, {"http://h/z", "root"}, {"http://h/", "root"}}},
        {"root registered last",
         {{"http://h/a", "A"}, {"http://h", "root"}, {"http://h/", "root2"}},
         {{"http://h/a/x", "A"}, {"http://h/z", "root"}}},
        {"case, empty and encoded segments",
         {{"http://h/a/b", "AB"}, {"http://h/vek/orbis/hello", "hello"}},
         {{"http://h/A/B", "AB"},
          {"http://h//a//b/", "AB"},
          {"http://h/%61/b", "AB"},
          {"http://other:99/VEK/Orbis/HELLO/any/deeper?x=1", "hello"},
          {"/vek/orbis/hello", "hello"}}},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        THttpDispatcher Dispatcher;
        for (const auto& [Base, Name] : Case.Modules) {
            Dispatcher.AddModule(std::make_unique<TNamedModule>(Base, Name));
        }
        for (const auto& [Url, Expected] : Case.Requests) {
            SCOPED_TRACE(Url);
            EXPECT_EQ(Dispatch(Dispatcher, Url), Expected);
        }
    }
}

TEST(THttpDispatcher, ModuleThatSetsNothingAnswers400) {
    THttpDispatcher Dispatcher;
    auto Module = std::make_unique<TNamedModule>("http://h/a", "A");
    Module->Body = [](THttpServerContext&) {};
    Dispatcher.AddModule(std::move(Module));
    TTestHttpContext Context("GET", "http://h/a");
    Dispatcher.DispatchRequest(Context);
    EXPECT_EQ(Context.TestResponse().Wire(),
              "HTTP/1.1 400 Bad Request\r\ncontent-length: 0\r\n\r\n");
}

struct TErrorCase {
    const char* Name;
    std::function<void(THttpServerContext&)> Body;
    bool Detailed;
    std::string ExpectedWire;
    std::string ExpectedLog;
    bool ExpectedKeepAlive;
};

TEST(THttpDispatcher, ErrorsBecomeAnswers) {
    const TErrorCase Cases[] = {
        {"framework exception before writing",
         [](THttpServerContext& C) {
             C.Response().Headers().SetValue("x-custom", "1");
             C.Response().SetChunked(true);
             throw rtl::EConvertError("boom");
         },
         true,
         "HTTP/1.1 500 Internal Server Error\r\ncontent-type: text/plain\r\ncontent-length: 46\r\n"
         "\r\nException Class: EConvertError \r\nMessage: boom",
         "Exception on process requesting. EConvertError: boom", true},
        {"without details the body is empty",
         [](THttpServerContext&) { throw rtl::Exception("boom"); }, false,
         "HTTP/1.1 500 Internal Server Error\r\ncontent-type: text/plain\r\ncontent-length: "
         "0\r\n\r\n",
         "Exception on process requesting. Exception: boom", true},
        {"standard exception", [](THttpServerContext&) { throw std::out_of_range("index"); }, true,
         "HTTP/1.1 500 Internal Server Error\r\ncontent-type: text/plain\r\ncontent-length: 51\r\n"
         "\r\nException Class: std::out_of_range \r\nMessage: index",
         "Exception on process requesting. std::out_of_range: index", true},
        {"anything else", [](THttpServerContext&) { throw 42; }, true,
         "HTTP/1.1 500 Internal Server Error\r\ncontent-type: text/plain\r\ncontent-length: 46\r\n"
         "\r\nException Class: unknown exception \r\nMessage: ",
         "Exception on process requesting. unknown exception: ", true},
        {"after the headers the answer is cut short",
         [](THttpServerContext& C) {
             C.Response().SetStatusCode(200);
             C.Response().SetMinChunkSize(1);
             C.Response().Content().WriteAll(std::string_view("partial"));
             throw rtl::Exception("late");
         },
         true, "HTTP/1.1 200 OK\r\ntransfer-encoding: chunked\r\n\r\n7\r\npartial\r\n",
         "Exception on process requesting. Exception: late", false},
        {"after the headers with a length",
         [](THttpServerContext& C) {
             C.Response().SetContentLength(10);
             C.Response().Content().WriteAll(std::string_view("part"));
             throw rtl::Exception("late");
         },
         true, "HTTP/1.1 400 Bad Request\r\ncontent-length: 10\r\n\r\npart",
         "Exception on process requesting. Exception: late", false},
    };
    for (const TErrorCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        std::unique_ptr<THttpDispatcher> Dispatcher =
            Case.Detailed ? std::make_unique<THttpDispatcher>()
                          : std::make_unique<TDetailLessDispatcher>();
        auto Log = std::make_shared<TTestLogEngine>();
        Dispatcher->SetLogEngine(Log);
        auto Module = std::make_unique<TNamedModule>("http://h/a", "A");
        Module->Body = Case.Body;
        Dispatcher->AddModule(std::move(Module));
        TTestHttpContext Context("GET", "http://h/a");
        Dispatcher->DispatchRequest(Context);
        EXPECT_EQ(Context.TestResponse().Wire(), Case.ExpectedWire);
        EXPECT_EQ(Log->Lines(), std::vector<std::string>{Case.ExpectedLog});
        EXPECT_EQ(Context.TestResponse().KeepAliveSetting(), Case.ExpectedKeepAlive);
        EXPECT_TRUE(Context.TestResponse().Completed());
        EXPECT_EQ(Context.TestResponse().Violations, std::vector<std::string>());
    }
}

TEST(THttpDispatcher, ModulesGetTheEngineCurrentWhenAdded) {
    THttpDispatcher Dispatcher;
    auto First = std::make_shared<TTestLogEngine>();
    Dispatcher.SetLogEngine(First);
    Dispatcher.AddModule(std::make_unique<TNamedModule>("http://h/a", "A"));
    Dispatcher.SetLogEngine(std::make_shared<TTestLogEngine>());
    Dispatcher.AddModule(std::make_unique<TNamedModule>("http://h/b", "B"));
    ASSERT_EQ(Dispatcher.ModulesInfo().size(), 2u);
    EXPECT_EQ(Dispatcher.ModulesInfo()[0]->Module().LogEngine(), First);
    EXPECT_EQ(Dispatcher.ModulesInfo()[1]->Module().LogEngine(), Dispatcher.LogEngine());
    EXPECT_EQ(Dispatcher.ModulesInfo()[1]->BaseUri().OriginalUri(), "http://h/b");
    Dispatcher.ClearModules();
    EXPECT_TRUE(Dispatcher.GetModulesInfo().empty());
}

TEST(THttpDispatcher, FollowsTheClientProtocolAndHead) {
    THttpDispatcher Dispatcher;
    Dispatcher.AddModule(std::make_unique<TNamedModule>("http://h/", "Hello, World!"));
    TTestHttpContext Head("HEAD", "http://h/");
    Dispatcher.DispatchRequest(Head);
    EXPECT_EQ(Head.TestResponse().Wire(), "HTTP/1.1 200 OK\r\ncontent-length: 13\r\n\r\n");
    EXPECT_TRUE(Head.TestResponse().Completed());
    EXPECT_EQ(Head.TestResponse().Violations, std::vector<std::string>());

    auto Streaming = std::make_unique<TNamedModule>("http://h/s", "");
    Streaming->Body = [](THttpServerContext& C) {
        C.Response().SetStatusCode(200);
        C.Response().Content().WriteAll(std::string_view("abc"));
    };
    Dispatcher.AddModule(std::move(Streaming));
    TTestHttpContext Old("GET", "http://h/s", "HTTP/1.0");
    Dispatcher.DispatchRequest(Old);
    EXPECT_EQ(Old.TestResponse().Wire(), "HTTP/1.0 200 OK\r\nconnection: close\r\n\r\nabc");
}

TEST(THttpDispatcher, DispatchesOnSeveralThreadsAtOnce) {
    THttpDispatcher Dispatcher;
    auto Log = std::make_shared<TTestLogEngine>();
    Dispatcher.SetLogEngine(Log);
    Dispatcher.AddModule(std::make_unique<TNamedModule>("http://h/hello", "Hello"));
    auto Failing = std::make_unique<TNamedModule>("http://h/fail", "");
    Failing->Body = [](THttpServerContext&) { throw rtl::Exception("boom"); };
    Dispatcher.AddModule(std::move(Failing));
    constexpr int Threads = 4;
    constexpr int Requests = 200;
    std::atomic<int> Wrong{0};
    {
        std::vector<std::jthread> Workers;
        for (int T = 0; T < Threads; ++T) {
            Workers.emplace_back([&, T] {
                for (int I = 0; I < Requests; ++I) {
                    const bool Fail = (I + T) % 2 == 0;
                    TTestHttpContext Context("GET", Fail ? "http://h/fail" : "http://h/hello");
                    Dispatcher.DispatchRequest(Context);
                    const int Expected = Fail ? 500 : 200;
                    if (Context.TestResponse().StatusCode() != Expected ||
                        !Context.TestResponse().Completed()) {
                        ++Wrong;
                    }
                }
            });
        }
    }
    EXPECT_EQ(Wrong, 0);
    EXPECT_EQ(Log->Lines().size(), std::size_t(Threads * Requests / 2));
}

// The host fails its N-th call for N = 0, 1, 2, ... until a run reaches no failure: every run
// must end with the dispatcher returning and the host contract kept.
TEST(THttpDispatcher, HostFailingAnyCall) {
    for (const char* Url : {"http://h/hello", "http://h/chunks", "http://h/none"}) {
        for (int FailOn = 0;; ++FailOn) {
            SCOPED_TRACE(std::string(Url) + " fail on " + std::to_string(FailOn));
            ASSERT_LT(FailOn, 20);
            THttpDispatcher Dispatcher;
            auto Log = std::make_shared<TTestLogEngine>();
            Dispatcher.SetLogEngine(Log);
            Dispatcher.AddModule(std::make_unique<TNamedModule>("http://h/hello", "Hello"));
            auto Chunks = std::make_unique<TNamedModule>("http://h/chunks", "");
            Chunks->Body = [](THttpServerContext& C) {
                C.Response().SetMinChunkSize(1);
                C.Response().Content().WriteAll(std::string_view("ab"));
                C.Response().Content().WriteAll(std::string_view("cd"));
            };
            Dispatcher.AddModule(std::move(Chunks));
            TTestHttpContext Context("GET", Url);
            Context.TestResponse().FailOnCall = FailOn;
            Dispatcher.DispatchRequest(Context);
            EXPECT_EQ(Context.TestResponse().Violations, std::vector<std::string>());
            if (Log->Lines().empty()) {
                EXPECT_TRUE(Context.TestResponse().Completed());
                break; // the failure was never reached
            }
            EXPECT_EQ(Log->Lines().size(), 1u);
        }
    }
}

} // namespace
} // namespace pylon

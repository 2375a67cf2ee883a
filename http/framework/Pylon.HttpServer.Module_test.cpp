// Pylon.HttpServer.Module: tests of the middleware chain, closing, and relative segments.
#include "http/framework/Pylon.HttpServer.Module.h"
#include "testing/PylonTestHost.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pylon {
namespace {

using testing::TTestHttpContext;

class TRecordingModule : public THttpServerModule {
public:
    using THttpServerModule::THttpServerModule;
    std::function<void(THttpServerContext&)> Body;
    std::vector<std::string>* Trace = nullptr;
    void ProcessRequest(THttpServerContext& C) override {
        if (Trace != nullptr) {
            Trace->push_back("process");
        }
        if (Body) {
            Body(C);
        }
    }
};

// Records its calls; answers by itself instead of passing on when Stop is set.
class TTraceMiddleware : public IHttpServerMiddleware {
public:
    TTraceMiddleware(std::string Name, std::vector<std::string>& Trace, bool Stop = false)
        : FName(std::move(Name))
        , FTrace(&Trace)
        , FStop(Stop) {}
    THttpMiddlewareFunc GetMiddlewareFunc() override {
        FTrace->push_back(FName + " built");
        return [this](THttpServerProc Next) -> THttpServerProc {
            return [this, Next](THttpServerContext& C) {
                FTrace->push_back(FName + " in");
                if (FStop) {
                    C.Response().SetStatusCode(403);
                    C.Response().Close();
                    return;
                }
                Next(C);
                FTrace->push_back(FName + " out");
            };
        };
    }

private:
    std::string FName;
    std::vector<std::string>* FTrace;
    bool FStop;
};

TEST(TBaseHttpServerModule, WithoutMiddlewareProcessesOnceAndCloses) {
    TRecordingModule Module("http://h/base");
    std::vector<std::string> Trace;
    Module.Trace = &Trace;
    Module.Body = [](THttpServerContext& C) { C.Response().SetStatusCode(204); };
    TTestHttpContext Context("GET", "http://h/base");
    Module.Execute(Context);
    EXPECT_EQ(Trace, std::vector<std::string>{"process"});
    EXPECT_TRUE(Context.Response().Closed());
    EXPECT_EQ(Context.TestResponse().Wire(),
              "HTTP/1.1 204 No Content\r\ncontent-length: 0\r\n\r\n");
}

TEST(TBaseHttpServerModule, FirstMiddlewareAddedRunsOutermost) {
    TRecordingModule Module("http://h/base");
    std::vector<std::string> Trace;
    Module.Trace = &Trace;
    Module.AddMiddleware(std::make_shared<TTraceMiddleware>("M1", Trace));
    Module.AddMiddleware(std::make_shared<TTraceMiddleware>("M2", Trace));
    for (int Request = 0; Request < 2; ++Request) {
        Trace.clear();
        TTestHttpContext Context("GET", "http://h/base");
        Module.Execute(Context);
        const std::vector<std::string> Expected = {"M2 built", "M1 built", "M1 in", "M2 in",
                                                   "process",  "M2 out",   "M1 out"};
        EXPECT_EQ(Trace, Expected); // built anew for every request
        EXPECT_TRUE(Context.Response().Closed());
    }
}

TEST(TBaseHttpServerModule, MiddlewareThatAnswersStopsTheChain) {
    TRecordingModule Module("http://h/base");
    std::vector<std::string> Trace;
    Module.Trace = &Trace;
    Module.AddMiddleware(std::make_shared<TTraceMiddleware>("Guard", Trace, true));
    TTestHttpContext Context("GET", "http://h/base");
    Module.Execute(Context);
    EXPECT_EQ(Trace, (std::vector<std::string>{"Guard built", "Guard in"}));
    EXPECT_EQ(Context.TestResponse().Wire(), "HTTP/1.1 403 Forbidden\r\ncontent-length: 0\r\n\r\n");
    EXPECT_EQ(Context.TestResponse().Violations, std::vector<std::string>());
}

TEST(TBaseHttpServerModule, ErrorsPassToTheCallerWithoutClosing) {
    TRecordingModule Module("http://h/base");
    Module.Body = [](THttpServerContext&) { throw rtl::Exception("boom"); };
    TTestHttpContext Context("GET", "http://h/base");
    EXPECT_THROW(Module.Execute(Context), rtl::Exception);
    EXPECT_FALSE(Context.Response().Closed());
}

TEST(THttpServerModule, GetRelativeSegments) {
    const TRecordingModule Module("http://127.0.0.1:2001/vek/orbis/hello");
    struct TCase {
        const char* Uri;
        std::vector<std::string> Expected;
    };
    const TCase Cases[] = {{"http://h/vek/orbis/hello/a/b", {"a", "b"}},
                           {"http://h/vek/orbis/hello", {}},
                           {"http://h/vek", {}},
                           {"http://h/x/y/z/w", {"w"}}};
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Uri);
        EXPECT_EQ(Module.GetRelativeSegments(TUri(Case.Uri)), Case.Expected);
    }
    EXPECT_EQ(Module.BaseUri().Port(), 2001);
}

TEST(THttpServerModule, LogEngineGoesToTheLogger) {
    TRecordingModule Module("/");
    EXPECT_EQ(Module.LogEngine(), nullptr);
    auto Engine = std::make_shared<testing::TTestLogEngine>();
    Module.SetLogEngine(Engine);
    EXPECT_EQ(Module.LogEngine(), Engine);
}

} // namespace
} // namespace pylon

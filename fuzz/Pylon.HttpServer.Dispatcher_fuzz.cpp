// Pylon.HttpServer.Dispatcher: arbitrary request text dispatched to a few modules, answered
// through a host that may take few bytes or stop taking them.
// Input: one option byte, then "<method> <uri> <protocol>" CR LF, header lines, an empty line,
// and the body. Option bits 0-1: the host's appetite (all, 1 byte a call, stops after 10
// bytes, fails its first body call); bit 2: a 64-byte body limit; bit 3: the echo answers
// chunked; bit 4: the declared body length is wrong by one byte (both ways, by bit 5).
#include "http/framework/Pylon.HttpServer.Context.h"
#include "http/framework/Pylon.HttpServer.Dispatcher.h"
#include "http/framework/Pylon.HttpServer.Module.h"
#include "http/framework/Pylon.Utils.h"
#include "platform/rtl/Exception.h"
#include "platform/rtl/Utf.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

using namespace pylon;

namespace {

class EFuzzHostFailure : public rtl::Exception {
public:
    using Exception::Exception;
    std::string_view ClassName() const noexcept override { return "EFuzzHostFailure"; }
};

class TFuzzResponse : public THttpServerResponse {
public:
    int Appetite = 0;
    int SendResponses = 0;
    int EndResponses = 0;
    std::int64_t Taken = 0;

protected:
    void SendResponse() override { ++SendResponses; }
    int SendBody(const void*, int BufferSize) override {
        if (BufferSize <= 0) {
            __builtin_trap(); // the framework never hands over an empty or negative buffer
        }
        int Take = BufferSize;
        switch (Appetite) {
        case 1:
            Take = 1;
            break;
        case 2:
            Take = int(std::clamp<std::int64_t>(10 - Taken, 0, BufferSize));
            break;
        case 3:
            throw EFuzzHostFailure("host failed");
        default:
            break;
        }
        Taken += Take;
        return Take;
    }
    void EndResponse() override { ++EndResponses; }
};

class TFuzzRequestStream : public THttpRequestStream {
public:
    TFuzzRequestStream(std::string_view Bytes, std::int64_t Declared)
        : FBytes(Bytes)
        , FDeclared(Declared) {}
    std::int64_t GetContentLength() override { return FDeclared; }
    int ReadBuffer(void* Buffer, int Count) override {
        if (Count < 0) {
            __builtin_trap();
        }
        const std::size_t Take = std::min(FBytes.size() - FPosition, std::size_t(Count));
        std::memcpy(Buffer, FBytes.data() + FPosition, Take);
        FPosition += Take;
        return int(Take);
    }

private:
    std::string_view FBytes;
    std::size_t FPosition = 0;
    std::int64_t FDeclared;
};

class TFuzzContext : public THttpServerContext {
public:
    THttpServerRequest FRequest;
    TFuzzResponse FResponse;

protected:
    THttpServerRequest& GetRequest() override { return FRequest; }
    THttpServerResponse& GetResponse() override { return FResponse; }
};

class THelloModule : public THttpServerModule {
public:
    using THttpServerModule::THttpServerModule;
    void ProcessRequest(THttpServerContext& C) override {
        C.Response().SetStatusCode(200);
        C.Response().SetContentType("text/plain");
        C.Response().Close("Hello, World!");
    }
};

// Reads everything a request offers and writes it back.
class TEchoModule : public THttpServerModule {
public:
    TEchoModule(std::string_view BaseUri, bool Chunked)
        : THttpServerModule(BaseUri)
        , FChunked(Chunked) {}
    void ProcessRequest(THttpServerContext& C) override {
        THttpServerRequest& Request = C.Request();
        THttpServerResponse& Response = C.Response();
        std::string Text = Request.Method() + " " + Request.Uri().Path() + "\n";
        for (const auto& Param : TPylonUtils::GetQueryParams(Request.Uri().Query(), true)) {
            Text += Param.Key + "=" + Param.Value + "\n";
        }
        for (const std::string& Segment : GetRelativeSegments(Request.Uri())) {
            Text += Segment + "/";
        }
        const THeaderParamsInfo Type =
            TPylonUtils::ParseHeaderParams(Request.Headers().Get("content-type"));
        Text += Type.Value + "\n";
        // A named vector: a braced pair of literals would pick the single-value overload.
        const std::vector<std::string> Offered = {"text/plain", "application/json"};
        Text += TPylonUtils::AcceptsType(Request.Headers().Get("accept"), Offered);
        const std::vector<std::uint8_t>& Body = Request.Content();
        if (std::int64_t(Body.size()) > Request.MaxContentLength()) {
            __builtin_trap(); // a body over the limit is refused, never handed out
        }
        Response.SetStatusCode(200);
        Response.SetChunked(FChunked);
        Response.SetSuppressBody(Request.MethodType() == THttpMethod::Head);
        Response.Content().WriteAll(Text.data(), std::int64_t(Text.size()));
        Response.Content().WriteAll(Body.data(), std::int64_t(Body.size()));
        Response.Close();
    }

private:
    bool FChunked;
};

class TThrowModule : public THttpServerModule {
public:
    using THttpServerModule::THttpServerModule;
    void ProcessRequest(THttpServerContext& C) override {
        C.Response().Content().WriteAll("partial", 7);
        throw rtl::EConvertError(C.Request().RawUri());
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
    if (Size == 0) {
        return 0;
    }
    const std::uint8_t Options = Data[0];
    const std::string_view Text(reinterpret_cast<const char*>(Data + 1), Size - 1);

    THttpDispatcher Dispatcher;
    Dispatcher.AddModule(std::make_unique<THelloModule>("http://127.0.0.1:2001/vek/orbis/hello"));
    Dispatcher.AddModule(std::make_unique<TEchoModule>("http://+:2001/echo/", Options & 0x08));
    Dispatcher.AddModule(std::make_unique<TThrowModule>("http://+:2001/echo/throw"));

    TFuzzContext Context;
    Context.FResponse.Appetite = Options & 0x03;
    THttpServerRequest& Request = Context.FRequest;
    if (Options & 0x04) {
        Request.SetMaxContentLength(64);
    }
    const std::size_t HeadEnd = std::min(Text.find("\r\n\r\n"), Text.size());
    const std::string_view Head = Text.substr(0, HeadEnd);
    const std::string_view Body = Text.substr(std::min(HeadEnd + 4, Text.size()));
    const std::size_t LineEnd = std::min(Head.find("\r\n"), Head.size());
    const std::string_view Line = Head.substr(0, LineEnd);
    const std::size_t Space1 = std::min(Line.find(' '), Line.size());
    const std::size_t Space2 = std::min(Line.find(' ', Space1 + 1), Line.size());
    Request.SetMethod(std::string(Line.substr(0, Space1)));
    Request.SetRawUri(std::string(Line.substr(std::min(Space1 + 1, Line.size()),
                                              Space2 - std::min(Space1 + 1, Line.size()))));
    Request.SetProtocol(std::string(Line.substr(std::min(Space2 + 1, Line.size()))));
    Request.Headers().SetRawHeaders(Head.substr(std::min(LineEnd + 2, Head.size())));
    std::int64_t Declared = Request.ContentLength();
    if (Options & 0x10) {
        Declared = std::int64_t(Body.size()) + ((Options & 0x20) ? 1 : -1);
    }
    Request.SetContentStream(std::make_unique<TFuzzRequestStream>(Body, Declared));

    Dispatcher.DispatchRequest(Context);

    const TFuzzResponse& Response = Context.FResponse;
    // Every request gets its head sent once and a status; while the host takes every byte the
    // answer is also completed.
    if (Response.SendResponses != 1 || Response.EndResponses > 1 || Response.StatusCode() < 100 ||
        Response.StatusCode() > 599 || (Response.Appetite < 2 && !Response.Closed())) {
        __builtin_trap();
    }
    return 0;
}

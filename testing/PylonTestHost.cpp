// PylonTestHost: an in-memory host for the HTTP server framework that records the exact bytes.
#include "testing/PylonTestHost.h"

#include <algorithm>
#include <cstring>

namespace pylon::testing {

std::string TTestHttpResponse::Wire() const {
    std::string Result;
    for (const TWireRecord& Record : Calls) {
        Result += Record.Bytes;
    }
    return Result;
}

std::string TTestHttpResponse::Body() const {
    std::string Result;
    for (const TWireRecord& Record : Calls) {
        if (Record.Call == TWireCall::SendBody) {
            Result += Record.Bytes;
        }
    }
    return Result;
}

std::string TTestHttpResponse::Head() const {
    std::string Result;
    for (const TWireRecord& Record : Calls) {
        if (Record.Call == TWireCall::SendResponse) {
            Result = Record.Bytes;
        }
    }
    return Result;
}

std::size_t TTestHttpResponse::Count(TWireCall Call) const {
    return std::size_t(std::count_if(Calls.begin(), Calls.end(),
                                     [&](const TWireRecord& R) { return R.Call == Call; }));
}

void TTestHttpResponse::CountCall() {
    if (FCallIndex++ == FailOnCall) {
        throw ETestHostFailure("host call " + std::to_string(FailOnCall) + " failed");
    }
}

void TTestHttpResponse::SendResponse() {
    if (FHeaderSent) {
        Violations.push_back("SendResponse after the headers were sent");
    }
    CountCall();
    std::string Head =
        Protocol() + " " + std::to_string(StatusCode()) + " " + StatusReason() + "\r\n";
    for (const THttpHeaderInfo& Header : Headers().AllHeaders()) {
        Head += Header.Name() + ": " + Header.Value() + "\r\n";
    }
    Head += "\r\n";
    if (Headers().Exists("content-length") && Headers().Exists("transfer-encoding")) {
        Violations.push_back("content-length together with transfer-encoding");
    }
    Calls.push_back({TWireCall::SendResponse, std::move(Head), KeepAlive()});
    FHeaderSent = true;
    FCompleted = Headers().Get("content-length") == "0" || SuppressBody();
}

int TTestHttpResponse::SendBody(const void* PBuf, int BufferSize) {
    if (!FHeaderSent || FCompleted) {
        Violations.push_back("SendBody outside an open body");
    }
    if (BufferSize <= 0) {
        Violations.push_back("SendBody with nothing to send");
    }
    CountCall();
    std::int64_t Take = std::min(BufferSize, MaxTakePerCall);
    if (TakeLimit >= 0) {
        Take = std::clamp<std::int64_t>(TakeLimit - FTaken, 0, Take);
    }
    FTaken += Take;
    if (Take > 0) {
        Calls.push_back({TWireCall::SendBody,
                         std::string(static_cast<const char*>(PBuf), std::size_t(Take)),
                         KeepAlive()});
    }
    return int(Take);
}

void TTestHttpResponse::EndResponse() {
    if (!FHeaderSent || FCompleted) {
        Violations.push_back("EndResponse outside an open body");
    }
    CountCall();
    Calls.push_back({TWireCall::EndResponse, std::string(), KeepAlive()});
    FCompleted = true;
}

int TTestRequestStream::ReadBuffer(void* Buffer, int Count) {
    ++FReads;
    FLargestAsk = std::max(FLargestAsk, Count);
    const std::size_t Step =
        std::min({std::size_t(std::max(Count, 0)), std::size_t(std::max(FMaxPerRead, 0)),
                  FBytes.size() - FPosition});
    std::memcpy(Buffer, FBytes.data() + FPosition, Step);
    FPosition += Step;
    return int(Step);
}

int TTestGeneratedStream::ReadBuffer(void* Buffer, int Count) {
    const std::int64_t Step = std::min<std::int64_t>(std::max(Count, 0), FRemaining);
    std::memset(Buffer, 'x', std::size_t(Step));
    FRemaining -= Step;
    return int(Step);
}

TTestHttpContext::TTestHttpContext(std::string Method, std::string Url, std::string Protocol) {
    FRequest.SetMethod(std::move(Method));
    FRequest.SetRawUri(std::move(Url));
    FRequest.SetProtocol(std::move(Protocol));
}

void TTestLogEngine::Log(const std::string& Msg) {
    std::scoped_lock Lock(FLock);
    FLines.push_back(Msg);
}

std::vector<std::string> TTestLogEngine::Lines() const {
    std::scoped_lock Lock(FLock);
    return FLines;
}

} // namespace pylon::testing

// HttpApiTestQueue: the HTTP Server API objects a listener test serves from: the API initialised
// as a server, a session, a URL group bound to a request queue, and one prefix on a free port.
#pragma once

#include "testing/Loopback.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <http.h>
#include <string>

namespace testsupport {

/// Creates the objects in order and expects each step to succeed; the destructor closes them in
/// reverse order and ends the API. One test thread owns it; the queue handle may be used by any.
class THttpApiTestQueue {
public:
    /// Registers http://127.0.0.1:<free port><aPath> (aPath begins and ends with "/").
    explicit THttpApiTestQueue(const std::wstring& aPath = L"/") {
        EXPECT_EQ(HttpInitialize(Version2, HTTP_INITIALIZE_SERVER, nullptr), NO_ERROR);
        EXPECT_EQ(HttpCreateServerSession(Version2, &FSession, 0), NO_ERROR);
        EXPECT_EQ(HttpCreateUrlGroup(FSession, &FGroup, 0), NO_ERROR);
        EXPECT_EQ(HttpCreateRequestQueue(Version2, nullptr, nullptr, 0, &FQueue), NO_ERROR);
        HTTP_BINDING_INFO Binding{};
        Binding.Flags.Present = 1;
        Binding.RequestQueueHandle = FQueue;
        EXPECT_EQ(
            HttpSetUrlGroupProperty(FGroup, HttpServerBindingProperty, &Binding, sizeof(Binding)),
            NO_ERROR);
        // Another program may take the free port first: a few candidates.
        for (int Attempt = 0; Attempt < 20 && FPort == 0; ++Attempt) {
            const std::uint16_t Candidate = FreePort();
            const std::wstring Url = L"http://127.0.0.1:" + std::to_wstring(Candidate) + aPath;
            if (HttpAddUrlToUrlGroup(FGroup, Url.c_str(), 0, 0) == NO_ERROR) {
                FPort = Candidate;
            }
        }
        EXPECT_NE(FPort, 0);
    }
    ~THttpApiTestQueue() {
        if (FQueue != nullptr) {
            HttpCloseRequestQueue(FQueue);
        }
        HttpRemoveUrlFromUrlGroup(FGroup, nullptr, HTTP_URL_FLAG_REMOVE_ALL);
        HttpCloseUrlGroup(FGroup);
        HttpCloseServerSession(FSession);
        EXPECT_EQ(HttpTerminate(HTTP_INITIALIZE_SERVER, nullptr), NO_ERROR);
    }
    THttpApiTestQueue(const THttpApiTestQueue&) = delete;
    THttpApiTestQueue& operator=(const THttpApiTestQueue&) = delete;

    static constexpr HTTPAPI_VERSION Version2 = HTTPAPI_VERSION_2;

    HANDLE Queue() const { return FQueue; }
    HTTP_URL_GROUP_ID Group() const { return FGroup; }
    HTTP_SERVER_SESSION_ID Session() const { return FSession; }
    std::uint16_t Port() const { return FPort; }
    /// Closes the queue now (the destructor then leaves it alone).
    void CloseQueue() {
        EXPECT_EQ(HttpCloseRequestQueue(FQueue), NO_ERROR);
        FQueue = nullptr;
    }

private:
    HTTP_SERVER_SESSION_ID FSession = 0;
    HTTP_URL_GROUP_ID FGroup = 0;
    HANDLE FQueue = nullptr;
    std::uint16_t FPort = 0;
};

} // namespace testsupport

// zefWebSocket_HTTPAPI_Server tests: the operation record, the listener's hexadecimal
// conversion, its log folder bounds and its pool sizes.
#include "websocket/httpapi/zefWebSocket_HTTPAPI_Server.h"

#include "websocket/core/zefWebSocket_Types.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace zef {
namespace {

TEST(TzefHTTPAPIContext, TheOverlappedBlockIsTheRecordsAddress) {
    // The platform hands back only the OVERLAPPED's address; the record must start there.
    // (The members' library types keep the record from being standard-layout with every
    // compiler, so this is checked here rather than by a static assertion.)
    auto Context = std::make_unique<TzefHTTPAPIContext>();
    EXPECT_EQ(static_cast<void*>(&Context->overlapped), static_cast<void*>(Context.get()));
    EXPECT_EQ(TzefHTTPAPIContext::FromOverlapped(&Context->overlapped), Context.get());
}

TEST(TzefHTTPServerAPI, HexToBytes) {
    const std::pair<const char*, std::vector<std::uint8_t>> Cases[] = {
        {"", {}},
        {"00ff", {0x00, 0xFF}},
        {"A1b2", {0xA1, 0xB2}},
        {"abc", {0xAB}},        // An odd last digit is ignored.
        {"zz10", {0x00, 0x10}}, // Other characters count as 0.
    };
    for (const auto& [Hex, Bytes] : Cases) {
        SCOPED_TRACE(Hex);
        EXPECT_EQ(TzefHTTPServerAPI::HexToBytes(Hex), Bytes);
    }
}

TEST(TzefHTTPServerAPI, LogFolderBoundsAndPoolSizes) {
    TzefHTTPServerAPI Listener(true, 0);
    EXPECT_EQ(Listener.ThreadCount(), 1); // 0 threads run one worker.
    struct TCase {
        const char* Name;
        std::string Folder;
        const char* Message; // nullptr: accepted.
    };
    const TCase Cases[] = {
        {"empty", "", "LogStart(aLogFolder=\"\")"},
        {"213 characters", "/" + std::string(212, 'a'), nullptr},
    };
    for (const TCase& Case : Cases) {
        SCOPED_TRACE(Case.Name);
        try {
            Listener.LogStart(Case.Folder, THttpApiLoggingType::hltW3C, "test",
                              THttpApiLoggingRollOver::hlrDaily, 0, AllLogFields, 0);
            ADD_FAILURE() << "accepted";
        } catch (const TzefWSException& E) {
            if (Case.Message != nullptr) {
                EXPECT_STREQ(E.what(), Case.Message);
            } else {
                EXPECT_EQ(std::string(E.what()).rfind("aLogFolder is too long for LogStart(", 0),
                          0u);
            }
        }
    }
    EXPECT_EQ(Listener.LogData(), nullptr);
    TzefHTTPServerAPI Wide(true, 70); // More than 64 workers still all end.
    EXPECT_EQ(Wide.ThreadCount(), 70);
}

} // namespace
} // namespace zef

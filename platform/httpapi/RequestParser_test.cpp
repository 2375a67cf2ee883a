// RequestParser: heads and bodies fed whole, byte by byte and split at every offset.
#include "platform/httpapi/RequestParser.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

namespace httpapi {
namespace {

// Feeds Input the way a connection does: each call sees every byte buffered so far, in an
// exact-size copy, so a read past the end is caught by ASan. Cuts lists where reads end.
struct THeadOutcome {
    TRequestParser::TStatus Status;
    TListenerAnswer Answer;
    std::size_t Consumed;
    TRequestHead Head;
};

THeadOutcome ParseInSteps(std::string_view Input, const std::vector<std::size_t>& Cuts) {
    TRequestParser Parser;
    THeadOutcome Outcome{TRequestParser::TStatus::NeedMore, TListenerAnswer::None, 0, {}};
    for (const std::size_t Cut : Cuts) {
        auto Copy = std::make_unique_for_overwrite<char[]>(Cut);
        std::copy(Input.begin(), Input.begin() + static_cast<std::ptrdiff_t>(Cut), Copy.get());
        Outcome.Status = Parser.ParseHead({Copy.get(), Cut}, Outcome.Consumed);
        if (Outcome.Status != TRequestParser::TStatus::NeedMore) {
            break;
        }
    }
    Outcome.Answer = Parser.Answer();
    Outcome.Head = Parser.Head();
    return Outcome;
}

struct THeadCase {
    const char* Name;
    std::string Input;
    TListenerAnswer Answer; // None: a head
    const char* Method = "";
    const char* Target = "";
};

const THeadCase HeadCases[] = {
    {"simple", "GET /a?b HTTP/1.1\r\nHost: h\r\n\r\n", TListenerAnswer::None, "GET", "/a?b"},
    {"leading empty lines", "\r\n\r\nGET / HTTP/1.1\r\nHost: h\r\n\r\n", TListenerAnswer::None,
     "GET", "/"},
    {"http/1.0 without host", "GET / HTTP/1.0\r\n\r\n", TListenerAnswer::None, "GET", "/"},
    {"unknown verb", "XYZZY / HTTP/1.1\r\nHost: h\r\n\r\n", TListenerAnswer::None, "XYZZY", "/"},
    {"no host", "GET / HTTP/1.1\r\n\r\n", TListenerAnswer::BadRequest},
    {"bare LF", "GET / HTTP/1.1\nHost: h\r\n\r\n", TListenerAnswer::BadRequest},
    {"bare CR", "GET / HTTP/1.1\rHost: h\r\n\r\n", TListenerAnswer::BadRequest},
    {"folding", "GET / HTTP/1.1\r\nHost: h\r\nX: a\r\n\tb\r\n\r\n", TListenerAnswer::BadRequest},
    {"NUL", std::string("GET / HTTP/1.1\r\nHost: h\0\r\n\r\n", 26), TListenerAnswer::BadRequest},
    {"version 2", "GET / HTTP/2.0\r\nHost: h\r\n\r\n", TListenerAnswer::VersionNotSupported},
    {"version 0.9", "GET / HTTP/0.9\r\nHost: h\r\n\r\n", TListenerAnswer::BadRequest},
    {"bad verb", "G@T / HTTP/1.1\r\nHost: h\r\n\r\n", TListenerAnswer::InvalidVerb},
    {"two lengths", "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 2\r\nContent-Length: 2\r\n\r\n",
     TListenerAnswer::BadRequest},
    {"signed length", "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: +2\r\n\r\n",
     TListenerAnswer::BadRequest},
    {"length and chunked",
     "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\n",
     TListenerAnswer::BadRequest},
    {"gzip coding", "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: gzip, chunked\r\n\r\n",
     TListenerAnswer::NotImplemented},
    {"post no length", "POST / HTTP/1.1\r\nHost: h\r\n\r\n", TListenerAnswer::LengthRequired},
    {"long line", "GET /" + std::string(17000, 'a') + " HTTP/1.1\r\n\r\n",
     TListenerAnswer::UrlTooLong},
    {"long field", "GET / HTTP/1.1\r\nX: " + std::string(17000, 'a') + "\r\n\r\n",
     TListenerAnswer::HeaderFieldTooLong},
};

TEST(TRequestParser, HeadsWholeByteByByteAndSplit) {
    for (const THeadCase& Case : HeadCases) {
        SCOPED_TRACE(Case.Name);
        std::vector<std::vector<std::size_t>> Plans;
        Plans.push_back({Case.Input.size()});
        std::vector<std::size_t> Bytes;
        for (std::size_t I = 1; I <= Case.Input.size(); ++I) {
            Bytes.push_back(I);
        }
        Plans.push_back(Bytes);
        for (std::size_t Split = 1; Split < Case.Input.size() && Case.Input.size() < 200; ++Split) {
            Plans.push_back({Split, Case.Input.size()});
        }
        for (const auto& Plan : Plans) {
            const THeadOutcome Outcome = ParseInSteps(Case.Input, Plan);
            if (Case.Answer == TListenerAnswer::None) {
                ASSERT_EQ(Outcome.Status, TRequestParser::TStatus::Head);
                EXPECT_EQ(Outcome.Consumed, Case.Input.size());
                EXPECT_EQ(Outcome.Head.Method, Case.Method);
                EXPECT_EQ(Outcome.Head.Target, Case.Target);
            } else {
                ASSERT_EQ(Outcome.Status, TRequestParser::TStatus::Error);
                EXPECT_EQ(Outcome.Answer, Case.Answer);
            }
        }
    }
}

TEST(TRequestParser, ManySmallHeadersOverTheLimit) {
    std::string Input = "GET / HTTP/1.1\r\nHost: h\r\n";
    while (Input.size() < 17000) {
        Input += "X-A: " + std::string(50, 'v') + "\r\n";
    }
    Input += "\r\n";
    const THeadOutcome Outcome = ParseInSteps(Input, {Input.size()});
    EXPECT_EQ(Outcome.Answer, TListenerAnswer::RequestTooLong);
}

struct TBodyCase {
    const char* Name;
    std::string Input;
    std::optional<std::string> Body; // nullopt: framing error
    std::string After;               // bytes left for the next request
};

const TBodyCase BodyCases[] = {
    {"length", "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nhelloNEXT", "hello", "NEXT"},
    {"chunked",
     "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: "
     "chunked\r\n\r\n3\r\nabc\r\n2;e=1\r\nde\r\n0\r\n"
     "T: x\r\n\r\nNEXT",
     "abcde", "NEXT"},
    {"bad chunk size", "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
     std::nullopt, ""},
    {"absurd chunk size",
     "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\nfffffffffffffffffff\r\n",
     std::nullopt, ""},
    {"chunk without CRLF",
     "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabcX\r\n0\r\n\r\n",
     std::nullopt, ""},
};

TEST(TRequestParser, BodiesIntoTinyBuffers) {
    for (const TBodyCase& Case : BodyCases) {
        SCOPED_TRACE(Case.Name);
        for (std::size_t Sink = 1; Sink <= 4; ++Sink) {
            TRequestParser Parser;
            std::size_t Consumed = 0;
            ASSERT_EQ(Parser.ParseHead(Case.Input, Consumed), TRequestParser::TStatus::Head);
            std::string Rest = Case.Input.substr(Consumed);
            std::string Body;
            bool Failed = false;
            // The body arrives one byte at a time, read into a buffer of Sink bytes.
            std::string Buffered;
            std::size_t Fed = 0;
            for (int Guard = 0; Guard < 10000 && !Parser.BodyDone() && !Failed; ++Guard) {
                if (Fed < Rest.size()) {
                    Buffered += Rest[Fed++];
                }
                auto Copy = std::make_unique_for_overwrite<char[]>(Buffered.size());
                std::copy(Buffered.begin(), Buffered.end(), Copy.get());
                auto Out = std::make_unique_for_overwrite<char[]>(Sink);
                std::size_t Used = 0;
                std::size_t Written = 0;
                if (!Parser.ReadBody({Copy.get(), Buffered.size()}, Out.get(), Sink, Used,
                                     Written)) {
                    Failed = true;
                }
                Body.append(Out.get(), Written);
                Buffered.erase(0, Used);
                if (Fed == Rest.size() && Used == 0 && Written == 0 && !Parser.BodyDone()) {
                    break;
                }
            }
            if (!Case.Body) {
                EXPECT_TRUE(Failed);
                continue;
            }
            EXPECT_FALSE(Failed);
            EXPECT_TRUE(Parser.BodyDone());
            EXPECT_EQ(Body, *Case.Body);
            EXPECT_EQ(Buffered + Rest.substr(Fed), Case.After);
        }
    }
}

} // namespace
} // namespace httpapi

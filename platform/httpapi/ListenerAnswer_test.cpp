// ListenerAnswer: the listener's own pages have the Windows shapes and lengths.
#include "platform/httpapi/ListenerAnswer.h"

#include <gtest/gtest.h>

#include <string>

namespace httpapi {
namespace {

struct TPageCase {
    TListenerAnswer Answer;
    const char* StatusLine;
    std::size_t BodyLength;
};

const TPageCase PageCases[] = {
    {TListenerAnswer::BadRequest, "HTTP/1.1 400 Bad Request\r\n", 311},
    {TListenerAnswer::InvalidHostname, "HTTP/1.1 400 Bad Request\r\n", 334},
    {TListenerAnswer::InvalidUrl, "HTTP/1.1 400 Bad Request\r\n", 324},
    {TListenerAnswer::InvalidVerb, "HTTP/1.1 400 Bad Request\r\n", 326},
    {TListenerAnswer::RequestTooLong, "HTTP/1.1 400 Bad Request\r\n", 346},
    {TListenerAnswer::HeaderFieldTooLong, "HTTP/1.1 400 Bad Request\r\n", 342},
    {TListenerAnswer::NotFound, "HTTP/1.1 404 Not Found\r\n", 315},
    {TListenerAnswer::LengthRequired, "HTTP/1.1 411 Length Required\r\n", 344},
    {TListenerAnswer::UrlTooLong, "HTTP/1.1 414 Request URL Too Long\r\n", 329},
    {TListenerAnswer::ServiceUnavailable, "HTTP/1.1 503 Service Unavailable\r\n", 326},
};

TEST(ListenerAnswer, PagesHaveTheWindowsLengths) {
    for (const TPageCase& Case : PageCases) {
        SCOPED_TRACE(Case.StatusLine);
        const std::string Text = ListenerAnswerText(Case.Answer);
        EXPECT_TRUE(Text.starts_with(Case.StatusLine));
        const std::size_t HeadEnd = Text.find("\r\n\r\n");
        ASSERT_NE(HeadEnd, std::string::npos);
        EXPECT_EQ(Text.size() - HeadEnd - 4, Case.BodyLength);
        EXPECT_NE(Text.find("Content-Length: " + std::to_string(Case.BodyLength) + "\r\n"),
                  std::string::npos);
        EXPECT_NE(Text.find("Connection: close\r\n"), std::string::npos);
    }
}

TEST(ListenerAnswer, DateIsAnHttpDate) {
    const std::string Date(HttpDateNow());
    ASSERT_EQ(Date.size(), 29u);
    EXPECT_TRUE(Date.ends_with(" GMT"));
    EXPECT_EQ(Date[3], ',');
}

} // namespace
} // namespace httpapi

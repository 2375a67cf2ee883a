// halden: the program itself, started as a child process on port 2001.
#include "halden/HelloWorldModule.h"
#include "testing/HttpTestClient.h"
#include "testing/TestProgram.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

namespace pylon {
namespace {

using namespace std::chrono_literals;
using testsupport::THttpReply;
using testsupport::THttpTestClient;
using testsupport::TTestProgram;

constexpr std::uint16_t HaldenPort = 2001;
constexpr std::string_view FirstLine = "halden started at http://127.0.0.1:2001/vek/orbis/hello";
constexpr std::string_view SecondLine = "Press Enter to stop";

/// A running halden with its standard streams on pipes. Every wait is bounded; a program still
/// running when the object goes is killed.
class THaldenProcess {
public:
    explicit THaldenProcess(const std::string& Program = HALDEN_PROGRAM)
        : FProgram(Program, {}, {.InputPipe = true, .ErrorPipe = true}) {}

    /// Standard output once it holds Lines lines (or the stream ends, or the wait runs out).
    std::string ReadStdout(int Lines) {
        for (int I = 0; I < Lines && FProgram.ReadLine(); ++I) {
        }
        return FProgram.Output();
    }
    void SendLine() { FProgram.WriteInput("\n"); }
    void CloseStdin() { FProgram.CloseInput(); }
    /// The exit status, or -1 when the program has not ended in time.
    int WaitExit() { return FProgram.WaitExit().value_or(-1); }
    /// All of standard output (after the program ended).
    std::string RestOfStdout() {
        FProgram.ReadAll();
        return FProgram.Output();
    }
    std::string Stderr() { return FProgram.ReadErrors(); }

private:
    TTestProgram FProgram;
};

std::string ExpectedLines() {
    return std::string(FirstLine) + "\n" + std::string(SecondLine) + "\n";
}

void ExpectHello(const THttpReply& Reply) {
    EXPECT_EQ(Reply.Status, 200);
    EXPECT_EQ(Reply.Header("content-type"), "text/plain");
    EXPECT_EQ(Reply.Header("content-length"), "13");
    EXPECT_EQ(Reply.Body, HelloBody);
}

TEST(Halden, ServesUntilEnterThenExitsZeroAndClosesThePort) {
    ASSERT_FALSE(testsupport::PortAcceptsConnections(HaldenPort)) << "port 2001 is taken";
    THaldenProcess Halden;
    ASSERT_EQ(Halden.ReadStdout(2), ExpectedLines());
    const std::string Body = "ignored body";
    const std::string Requests[] = {
        "GET /vek/orbis/hello HTTP/1.1\r\nHost: 127.0.0.1:2001\r\n\r\n",
        "POST /vek/orbis/hello/any/deeper/path?x=1 HTTP/1.1\r\nHost: 127.0.0.1:2001\r\n"
        "Content-Length: " +
            std::to_string(Body.size()) + "\r\n\r\n" + Body,
        "GET /VEK/Orbis/HELLO HTTP/1.1\r\nHost: localhost\r\n\r\n",
        "PUT /vek/orbis/hello/x HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n",
        "DELETE /vek/orbis/hello HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
    };
    THttpTestClient Client(HaldenPort);
    ASSERT_TRUE(Client.Connected());
    for (const std::string& Request : Requests) {
        SCOPED_TRACE(Request.substr(0, Request.find('\r')));
        EXPECT_TRUE(Client.Send(Request)); // All on one kept-alive connection.
        ExpectHello(Client.ReadReply());
    }
    EXPECT_TRUE(Client.Send("HEAD /vek/orbis/hello HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    const THttpReply Head = Client.ReadReply(true);
    EXPECT_EQ(Head.Status, 200);
    EXPECT_EQ(Head.Header("content-length"), "13");
    {
        THttpTestClient Old(HaldenPort);
        EXPECT_TRUE(Old.Send("GET /vek/orbis/hello HTTP/1.0\r\n\r\n"));
        const THttpReply Reply = Old.ReadReply();
        ExpectHello(Reply);
        EXPECT_TRUE(Old.WaitClosed());
    }
    {
        THttpTestClient Outside(HaldenPort);
        EXPECT_TRUE(Outside.Send("GET /vek/orbis HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
        EXPECT_EQ(Outside.ReadReply().Status, 404);
    }
    Halden.SendLine();
    EXPECT_EQ(Halden.WaitExit(), 0) << Halden.Stderr();
    EXPECT_EQ(Halden.RestOfStdout(), ExpectedLines());
    EXPECT_TRUE(Client.WaitClosed());
    EXPECT_FALSE(testsupport::PortAcceptsConnections(HaldenPort));
}

TEST(Halden, EndOfInputStopsItLikeEnter) {
    THaldenProcess Halden;
    ASSERT_EQ(Halden.ReadStdout(2), ExpectedLines());
    Halden.CloseStdin();
    EXPECT_EQ(Halden.WaitExit(), 0);
    EXPECT_FALSE(testsupport::PortAcceptsConnections(HaldenPort));
}

TEST(Halden, ASecondHaldenOnTheSamePortFailsAtStart) {
    THaldenProcess First;
    ASSERT_EQ(First.ReadStdout(2), ExpectedLines());
    THaldenProcess Second;
    EXPECT_NE(Second.WaitExit(), 0);
    EXPECT_EQ(Second.RestOfStdout(), ""); // Neither line.
    const std::string Error = Second.Stderr();
    EXPECT_TRUE(Error.starts_with("EHttpSysSessionException: Could not add the following Url"))
        << Error;
    EXPECT_NE(Error.find("Url: http://+:2001/vek/orbis/hello/"), std::string::npos) << Error;
    THttpTestClient Client(HaldenPort); // The first one still serves.
    EXPECT_TRUE(Client.Send("GET /vek/orbis/hello HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    ExpectHello(Client.ReadReply());
    First.SendLine();
    EXPECT_EQ(First.WaitExit(), 0);
}

TEST(Halden, WithoutTheHttpApiLibraryItFailsAtStart) {
    // A copy of the program in a folder that holds its Win32 layer but no libhttpapi.so.
    namespace fs = std::filesystem;
    const fs::path Program = HALDEN_PROGRAM;
    const fs::path Folder =
        fs::temp_directory_path() / ("halden-nolib-" + std::to_string(getpid()));
    fs::remove_all(Folder);
    fs::create_directories(Folder);
    fs::copy_file(Program, Folder / "halden");
    fs::create_symlink(Program.parent_path() / "libplatform_win.so.1",
                       Folder / "libplatform_win.so.1"); // by its soname, as the loader asks
    {
        THaldenProcess Halden((Folder / "halden").string());
        EXPECT_EQ(Halden.WaitExit(), 1);
        EXPECT_EQ(Halden.RestOfStdout(), "");
        EXPECT_EQ(Halden.Stderr(), "EHttpApiException: HTTP Server API Error.\r\nCould not load "
                                   "httpapi.dll: The specified module could not be found.\n");
    }
    fs::remove_all(Folder);
}

} // namespace
} // namespace pylon

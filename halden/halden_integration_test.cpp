// halden: the program itself, started as a child process on port 2001.
#include "halden/HelloWorldModule.h"
#include "http/httpsys/HttpSysTestClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace pylon {
namespace {

using namespace std::chrono_literals;
using testing::THttpReply;
using testing::THttpTestClient;

constexpr std::uint16_t HaldenPort = 2001;
constexpr std::string_view FirstLine = "halden started at http://127.0.0.1:2001/vek/orbis/hello";
constexpr std::string_view SecondLine = "Press Enter to stop";

/// A running halden with its standard streams on pipes. Every wait is bounded; a program
/// still running when the object goes is killed.
class THaldenProcess {
public:
    explicit THaldenProcess(const std::string& Program = HALDEN_PROGRAM) {
        int In[2], Out[2], Err[2];
        if (pipe2(In, O_CLOEXEC) != 0 || pipe2(Out, O_CLOEXEC) != 0 || pipe2(Err, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        posix_spawn_file_actions_t Actions;
        posix_spawn_file_actions_init(&Actions);
        posix_spawn_file_actions_adddup2(&Actions, In[0], 0);
        posix_spawn_file_actions_adddup2(&Actions, Out[1], 1);
        posix_spawn_file_actions_adddup2(&Actions, Err[1], 2);
        char* Argv[] = {const_cast<char*>(Program.c_str()), nullptr};
        const int Spawned = posix_spawn(&FPid, Program.c_str(), &Actions, nullptr, Argv, environ);
        posix_spawn_file_actions_destroy(&Actions);
        ::close(In[0]);
        ::close(Out[1]);
        ::close(Err[1]);
        FIn = In[1];
        FOut = Out[0];
        FErr = Err[0];
        if (Spawned != 0) {
            FPid = -1;
            throw std::runtime_error("spawn failed");
        }
    }
    ~THaldenProcess() {
        if (FPid > 0) {
            ::kill(FPid, SIGKILL);
            ::waitpid(FPid, nullptr, 0);
        }
        for (int Fd : {FIn, FOut, FErr}) {
            if (Fd >= 0) {
                ::close(Fd);
            }
        }
    }

    /// Reads standard output until it holds Lines lines, the stream ends, or 20 s pass.
    std::string ReadStdout(int Lines) {
        const auto Deadline = std::chrono::steady_clock::now() + 20s;
        while (std::count(FStdout.begin(), FStdout.end(), '\n') < Lines &&
               std::chrono::steady_clock::now() < Deadline) {
            if (!ReadSome(FOut, FStdout)) {
                break;
            }
        }
        return FStdout;
    }
    void SendLine() { (void)!::write(FIn, "\n", 1); }
    void CloseStdin() {
        ::close(FIn);
        FIn = -1;
    }
    /// The exit status, or -1 when the program has not ended within 30 s.
    int WaitExit() {
        const auto Deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < Deadline) {
            int Status = 0;
            const pid_t Done = ::waitpid(FPid, &Status, WNOHANG);
            if (Done == FPid) {
                FPid = -1;
                return WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
            }
            ::poll(nullptr, 0, 10); // Polling a child has no bounded blocking wait.
        }
        return -1;
    }
    /// Everything left on standard output and error (after the program ended).
    std::string RestOfStdout() {
        while (ReadSome(FOut, FStdout)) {
        }
        return FStdout;
    }
    std::string Stderr() {
        std::string Text;
        while (ReadSome(FErr, Text)) {
        }
        return Text;
    }

private:
    static bool ReadSome(int Fd, std::string& Target) {
        pollfd Poll{Fd, POLLIN, 0};
        if (::poll(&Poll, 1, 20000) <= 0) {
            return false;
        }
        char Buffer[1024];
        const ssize_t Got = ::read(Fd, Buffer, sizeof Buffer);
        if (Got <= 0) {
            return false;
        }
        Target.append(Buffer, std::size_t(Got));
        return true;
    }

    pid_t FPid = -1;
    int FIn = -1;
    int FOut = -1;
    int FErr = -1;
    std::string FStdout;
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
    ASSERT_FALSE(testing::PortAcceptsConnections(HaldenPort)) << "port 2001 is taken";
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
        Client.Send(Request); // All on one kept-alive connection.
        ExpectHello(Client.ReadReply());
    }
    Client.Send("HEAD /vek/orbis/hello HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    const THttpReply Head = Client.ReadReply(true);
    EXPECT_EQ(Head.Status, 200);
    EXPECT_EQ(Head.Header("content-length"), "13");
    {
        THttpTestClient Old(HaldenPort);
        Old.Send("GET /vek/orbis/hello HTTP/1.0\r\n\r\n");
        const THttpReply Reply = Old.ReadReply();
        ExpectHello(Reply);
        EXPECT_TRUE(Old.WaitClosed());
    }
    {
        THttpTestClient Outside(HaldenPort);
        Outside.Send("GET /vek/orbis HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        EXPECT_EQ(Outside.ReadReply().Status, 404);
    }
    Halden.SendLine();
    EXPECT_EQ(Halden.WaitExit(), 0) << Halden.Stderr();
    EXPECT_EQ(Halden.RestOfStdout(), ExpectedLines());
    EXPECT_TRUE(Client.WaitClosed());
    EXPECT_FALSE(testing::PortAcceptsConnections(HaldenPort));
}

TEST(Halden, EndOfInputStopsItLikeEnter) {
    THaldenProcess Halden;
    ASSERT_EQ(Halden.ReadStdout(2), ExpectedLines());
    Halden.CloseStdin();
    EXPECT_EQ(Halden.WaitExit(), 0);
    EXPECT_FALSE(testing::PortAcceptsConnections(HaldenPort));
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
    Client.Send("GET /vek/orbis/hello HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
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

// RedisTestServer: a real redis-server for a test, on a free loopback port, in a temporary folder
// of its own with its own configuration (nothing persisted), stopped by its process id; and a
// small synchronous client for the test's own checks.
#pragma once

#include "testing/TestProgram.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zef::testing {

/// One reply of a synchronous command, flattened: an array's elements in Elements.
struct TRedisTestReply {
    bool Error = false; // An error reply, or no reply at all (Text says which).
    bool Nil = false;
    long long Integer = 0;
    std::string Text;
    std::vector<std::string> Elements;
};

/// A redis-server child process. Started by the constructor (up to five ports are tried); the
/// destructor stops it (SIGKILL when it has not ended) and removes its folder. One thread.
class TRedisTestServer {
public:
    /// aPassword: the server requires it (requirepass) when not empty.
    explicit TRedisTestServer(std::string aPassword = "");
    ~TRedisTestServer();
    TRedisTestServer(const TRedisTestServer&) = delete;
    TRedisTestServer& operator=(const TRedisTestServer&) = delete;

    /// True while the server runs and accepts connections.
    bool Running() const { return FProgram != nullptr; }
    std::uint16_t Port() const { return FPort; }
    pid_t Pid() const { return FProgram ? FProgram->Pid() : -1; }
    /// "127.0.0.1:PORT".
    std::string Address() const;
    /// Ends the server (SIGTERM, then waits for its exit); true when it ended in time.
    bool Stop();
    /// Starts it again on the same port, with the same configuration (and nothing kept from
    /// before); true when it is ready.
    bool Restart();
    /// Freezes (SIGSTOP) and thaws (SIGCONT) the server.
    void Pause();
    void Resume();
    /// One command on a fresh connection (with AUTH when a password is set), waiting at most
    /// aTimeout.
    TRedisTestReply Command(const std::vector<std::string>& aArguments,
                            std::chrono::milliseconds aTimeout = std::chrono::seconds(10)) const;
    /// Runs Command until aCheck accepts its reply or aTimeout passes (polling a server's state,
    /// which offers no notification); true when accepted.
    template <typename TCheck>
    bool WaitFor(const std::vector<std::string>& aArguments, TCheck aCheck,
                 std::chrono::milliseconds aTimeout = testsupport::DefaultWait) const {
        const auto Deadline = std::chrono::steady_clock::now() + aTimeout;
        while (true) {
            if (aCheck(Command(aArguments))) {
                return true;
            }
            if (std::chrono::steady_clock::now() >= Deadline) {
                return false;
            }
            PauseBriefly();
        }
    }

private:
    bool Launch();
    static void PauseBriefly();

    std::string FPassword;
    std::string FFolder;
    std::string FConfig;
    std::uint16_t FPort = 0;
    std::unique_ptr<testsupport::TTestProgram> FProgram;
};

/// The path of a program found on PATH (or in /usr/sbin, /usr/bin); "" when there is none.
std::string FindProgram(const std::string& aName);

} // namespace zef::testing

// TestProgram: a program under test started as a child process, its standard output read line
// by line with a bounded wait, signalled and waited for.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zef::testing {

/// The default bound on waits for a program's output and exit: generous, since a program under a
/// sanitizer on a loaded machine starts and ends slowly; the waits end as soon as it is there.
inline constexpr std::chrono::seconds DefaultWait{60};

/// The child runs aProgram with aArguments, standard input from /dev/null and standard output
/// on a pipe (standard error is inherited). Killed (SIGKILL) when the object goes unless it has
/// ended. One thread at a time.
class TTestProgram {
public:
    explicit TTestProgram(const std::string& aProgram,
                          const std::vector<std::string>& aArguments = {});
    ~TTestProgram();
    TTestProgram(const TTestProgram&) = delete;
    TTestProgram& operator=(const TTestProgram&) = delete;

    bool Started() const { return FPid > 0; }
    pid_t Pid() const { return FPid; }
    /// The next line of standard output (without its line break); nullopt on time-out or end.
    std::optional<std::string> ReadLine(std::chrono::milliseconds aTimeout = DefaultWait);
    /// Everything the program writes until it ends (or the time-out).
    std::string ReadAll(std::chrono::milliseconds aTimeout = DefaultWait);
    void Signal(int aSignal);
    /// The exit status once the program has ended; -1 when a signal ended it; nullopt while it
    /// still runs after aTimeout.
    std::optional<int> WaitExit(std::chrono::milliseconds aTimeout = DefaultWait);

private:
    bool ReadSome(std::chrono::steady_clock::time_point aDeadline);

    pid_t FPid = -1;
    int FOutput = -1;
    bool FExited = false;
    std::string FBuffer;
};

} // namespace zef::testing

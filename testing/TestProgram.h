// TestProgram: a program under test started as a child process, its standard output (and, when
// asked, standard error) read with a bounded wait, its standard input written or closed, and the
// program signalled and waited for.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace testsupport {

/// The default bound on waits for a program's output and exit: generous, since a program under a
/// sanitizer on a loaded machine starts and ends slowly; the waits end as soon as it is there.
inline constexpr std::chrono::seconds DefaultWait{60};

/// How the child's standard streams are connected besides standard output (always a pipe).
struct TTestProgramStreams {
    /// Standard input on a pipe (WriteInput, CloseInput) instead of /dev/null.
    bool InputPipe = false;
    /// Standard error on a pipe (ReadErrors) instead of inherited.
    bool ErrorPipe = false;
};

/// The child runs aProgram with aArguments. Killed (SIGKILL) when the object goes unless it has
/// ended. One thread at a time.
class TTestProgram {
public:
    explicit TTestProgram(const std::string& aProgram,
                          const std::vector<std::string>& aArguments = {},
                          TTestProgramStreams aStreams = {});
    ~TTestProgram();
    TTestProgram(const TTestProgram&) = delete;
    TTestProgram& operator=(const TTestProgram&) = delete;

    bool Started() const { return FPid > 0; }
    pid_t Pid() const { return FPid; }
    /// The next line of standard output (without its line break); nullopt on time-out or end.
    std::optional<std::string> ReadLine(std::chrono::milliseconds aTimeout = DefaultWait);
    /// Everything the program writes until it ends (or the time-out), past what was read.
    std::string ReadAll(std::chrono::milliseconds aTimeout = DefaultWait);
    /// Every byte of standard output read so far, lines already taken included.
    const std::string& Output() const { return FOutputSoFar; }
    /// Standard error until the program closes it (or the time-out); "" without ErrorPipe.
    std::string ReadErrors(std::chrono::milliseconds aTimeout = DefaultWait);
    /// Writes to standard input; false without InputPipe, after CloseInput, or when the
    /// program no longer reads it.
    bool WriteInput(std::string_view aText);
    /// Closes standard input: the program reads the end of its input.
    void CloseInput();
    void Signal(int aSignal);
    /// Whether the program still runs (an ended one is reaped; WaitExit still gives its status).
    bool Running();
    /// The exit status once the program has ended; -1 when a signal ended it; nullopt while it
    /// still runs after aTimeout.
    std::optional<int> WaitExit(std::chrono::milliseconds aTimeout = DefaultWait);

private:
    bool ReadSome(std::chrono::steady_clock::time_point aDeadline);
    bool Reap(int aFlags); // waitpid; true once the program has ended (status in FExitStatus)

    pid_t FPid = -1;
    int FOutput = -1;
    int FInput = -1;
    int FErrors = -1;
    bool FExited = false;
    int FExitStatus = -1;
    std::string FBuffer;      // Read and not yet taken.
    std::string FOutputSoFar; // Everything read.
};

} // namespace testsupport

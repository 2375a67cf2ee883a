// TestProgram: a program under test started as a child process, its standard output (and, when
// asked, standard error) read with a bounded wait, its standard input written or closed, and the
// program signalled and waited for.
#include "testing/TestProgram.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

namespace {

int RemainingMs(std::chrono::steady_clock::time_point aDeadline) {
    const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
        aDeadline - std::chrono::steady_clock::now());
    return Left.count() < 0 ? 0 : int(Left.count());
}

void CloseFd(int& aFd) {
    if (aFd >= 0) {
        close(aFd);
        aFd = -1;
    }
}

} // namespace

TTestProgram::TTestProgram(const std::string& aProgram, const std::vector<std::string>& aArguments,
                           TTestProgramStreams aStreams) {
    int Output[2];
    int Input[2] = {-1, -1};
    int Errors[2] = {-1, -1};
    if (pipe2(Output, O_CLOEXEC) != 0) {
        return;
    }
    if ((aStreams.InputPipe && pipe2(Input, O_CLOEXEC) != 0) ||
        (aStreams.ErrorPipe && pipe2(Errors, O_CLOEXEC) != 0)) {
        for (int Fd : {Output[0], Output[1], Input[0], Input[1], Errors[0], Errors[1]}) {
            CloseFd(Fd);
        }
        return;
    }
    std::vector<char*> Argv;
    Argv.push_back(const_cast<char*>(aProgram.c_str()));
    for (const std::string& Argument : aArguments) {
        Argv.push_back(const_cast<char*>(Argument.c_str()));
    }
    Argv.push_back(nullptr);
    FPid = fork();
    if (FPid == 0) {
        // Only async-signal-safe calls between fork and exec.
        dup2(Output[1], STDOUT_FILENO);
        if (Input[0] >= 0) {
            dup2(Input[0], STDIN_FILENO);
        } else {
            const int Null = open("/dev/null", O_RDONLY);
            dup2(Null, STDIN_FILENO);
        }
        if (Errors[1] >= 0) {
            dup2(Errors[1], STDERR_FILENO);
        }
        execv(aProgram.c_str(), Argv.data());
        _exit(127);
    }
    for (int Fd : {Output[1], Input[0], Errors[1]}) {
        CloseFd(Fd);
    }
    FOutput = Output[0];
    FInput = Input[1];
    FErrors = Errors[0];
    if (FPid < 0) {
        CloseFd(FOutput);
        CloseFd(FInput);
        CloseFd(FErrors);
    }
}

TTestProgram::~TTestProgram() {
    if (FPid > 0 && !FExited) {
        kill(FPid, SIGKILL);
        waitpid(FPid, nullptr, 0);
    }
    CloseFd(FOutput);
    CloseFd(FInput);
    CloseFd(FErrors);
}

bool TTestProgram::ReadSome(std::chrono::steady_clock::time_point aDeadline) {
    const int Left = RemainingMs(aDeadline);
    if (Left <= 0 || FOutput < 0) {
        return false;
    }
    pollfd Poll{FOutput, POLLIN, 0};
    if (poll(&Poll, 1, Left) <= 0) {
        return false;
    }
    char Chunk[4096];
    const ssize_t Count = read(FOutput, Chunk, sizeof Chunk);
    if (Count <= 0) {
        CloseFd(FOutput);
        return false;
    }
    FBuffer.append(Chunk, std::size_t(Count));
    FOutputSoFar.append(Chunk, std::size_t(Count));
    return true;
}

std::optional<std::string> TTestProgram::ReadLine(std::chrono::milliseconds aTimeout) {
    const auto Deadline = std::chrono::steady_clock::now() + aTimeout;
    while (true) {
        const std::size_t End = FBuffer.find('\n');
        if (End != std::string::npos) {
            std::string Line = FBuffer.substr(0, End);
            FBuffer.erase(0, End + 1);
            if (!Line.empty() && Line.back() == '\r') {
                Line.pop_back();
            }
            return Line;
        }
        if (!ReadSome(Deadline)) {
            return std::nullopt;
        }
    }
}

std::string TTestProgram::ReadAll(std::chrono::milliseconds aTimeout) {
    const auto Deadline = std::chrono::steady_clock::now() + aTimeout;
    while (ReadSome(Deadline)) {
    }
    std::string All = std::move(FBuffer);
    FBuffer.clear();
    return All;
}

std::string TTestProgram::ReadErrors(std::chrono::milliseconds aTimeout) {
    const auto Deadline = std::chrono::steady_clock::now() + aTimeout;
    std::string Text;
    while (FErrors >= 0) {
        pollfd Poll{FErrors, POLLIN, 0};
        if (poll(&Poll, 1, RemainingMs(Deadline)) <= 0) {
            break;
        }
        char Chunk[4096];
        const ssize_t Count = read(FErrors, Chunk, sizeof Chunk);
        if (Count <= 0) {
            CloseFd(FErrors);
            break;
        }
        Text.append(Chunk, std::size_t(Count));
    }
    return Text;
}

bool TTestProgram::WriteInput(std::string_view aText) {
    // The program may have ended: a write to its closed pipe must fail, not end the test with
    // SIGPIPE. The signal is blocked on this thread for the write and a pending one consumed.
    sigset_t Pipe, Previous;
    sigemptyset(&Pipe);
    sigaddset(&Pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &Pipe, &Previous);
    bool Broken = false;
    while (!aText.empty() && FInput >= 0 && !Broken) {
        const ssize_t Count = write(FInput, aText.data(), aText.size());
        if (Count <= 0) {
            Broken = !(Count < 0 && errno == EINTR);
            continue;
        }
        aText.remove_prefix(std::size_t(Count));
    }
    const timespec Now{0, 0};
    while (sigtimedwait(&Pipe, nullptr, &Now) == SIGPIPE) {
    }
    pthread_sigmask(SIG_SETMASK, &Previous, nullptr);
    return aText.empty();
}

void TTestProgram::CloseInput() {
    CloseFd(FInput);
}

void TTestProgram::Signal(int aSignal) {
    if (FPid > 0 && !FExited) {
        kill(FPid, aSignal);
    }
}

bool TTestProgram::Reap(int aFlags) {
    if (FExited) {
        return true;
    }
    int Status = 0;
    if (FPid <= 0 || waitpid(FPid, &Status, aFlags) != FPid) {
        return false;
    }
    FExited = true;
    FExitStatus = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
    return true;
}

bool TTestProgram::Running() {
    return FPid > 0 && !Reap(WNOHANG);
}

std::optional<int> TTestProgram::WaitExit(std::chrono::milliseconds aTimeout) {
    if (FPid <= 0) {
        return std::nullopt;
    }
    const auto Deadline = std::chrono::steady_clock::now() + aTimeout;
    while (true) {
        if (Reap(WNOHANG)) {
            return FExitStatus;
        }
        if (std::chrono::steady_clock::now() >= Deadline) {
            return std::nullopt;
        }
        // The end of the output comes with the end of the program; poll it in short slices.
        if (!ReadSome(std::min(Deadline,
                               std::chrono::steady_clock::now() + std::chrono::milliseconds(20)))) {
            pollfd None{-1, 0, 0};
            poll(&None, 0, FOutput < 0 ? 20 : 0);
        }
    }
}

} // namespace testsupport

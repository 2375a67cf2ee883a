// TestProgram: a program under test started as a child process, its standard output read line
// by line with a bounded wait, signalled and waited for.
#include "testing/TestProgram.h"

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zef::testing {

TTestProgram::TTestProgram(const std::string& aProgram,
                           const std::vector<std::string>& aArguments) {
    int Pipe[2];
    if (pipe2(Pipe, O_CLOEXEC) != 0) {
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
        dup2(Pipe[1], STDOUT_FILENO);
        int Null = open("/dev/null", O_RDONLY);
        dup2(Null, STDIN_FILENO);
        execv(aProgram.c_str(), Argv.data());
        _exit(127);
    }
    close(Pipe[1]);
    FOutput = Pipe[0];
}

TTestProgram::~TTestProgram() {
    if (FPid > 0 && !FExited) {
        kill(FPid, SIGKILL);
        waitpid(FPid, nullptr, 0);
    }
    if (FOutput >= 0) {
        close(FOutput);
    }
}

bool TTestProgram::ReadSome(std::chrono::steady_clock::time_point aDeadline) {
    auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
        aDeadline - std::chrono::steady_clock::now());
    if (Left.count() <= 0 || FOutput < 0) {
        return false;
    }
    pollfd Poll{FOutput, POLLIN, 0};
    if (poll(&Poll, 1, int(Left.count())) <= 0) {
        return false;
    }
    char Chunk[4096];
    ssize_t Count = read(FOutput, Chunk, sizeof Chunk);
    if (Count <= 0) {
        close(FOutput);
        FOutput = -1;
        return false;
    }
    FBuffer.append(Chunk, std::size_t(Count));
    return true;
}

std::optional<std::string> TTestProgram::ReadLine(std::chrono::milliseconds aTimeout) {
    auto Deadline = std::chrono::steady_clock::now() + aTimeout;
    while (true) {
        std::size_t End = FBuffer.find('\n');
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
    auto Deadline = std::chrono::steady_clock::now() + aTimeout;
    while (ReadSome(Deadline)) {
    }
    std::string All = std::move(FBuffer);
    FBuffer.clear();
    return All;
}

void TTestProgram::Signal(int aSignal) {
    if (FPid > 0 && !FExited) {
        kill(FPid, aSignal);
    }
}

std::optional<int> TTestProgram::WaitExit(std::chrono::milliseconds aTimeout) {
    if (FPid <= 0) {
        return std::nullopt;
    }
    auto Deadline = std::chrono::steady_clock::now() + aTimeout;
    while (true) {
        int Status = 0;
        if (waitpid(FPid, &Status, WNOHANG) == FPid) {
            FExited = true;
            return WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
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

} // namespace zef::testing

// RedisTestServer: a real redis-server for a test, and a small synchronous client for checks.
#include "testing/RedisTestServer.h"

#include "testing/Loopback.h"
#include "testing/WebSocketTestClient.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <hiredis/hiredis.h>
#include <poll.h>
#include <unistd.h>

namespace zef::testing {

namespace {

void Flatten(const redisReply& aReply, TRedisTestReply& aOut) {
    switch (aReply.type) {
    case REDIS_REPLY_ERROR:
        aOut.Error = true;
        aOut.Text.assign(aReply.str, aReply.len);
        break;
    case REDIS_REPLY_STATUS:
    case REDIS_REPLY_STRING:
        aOut.Text.assign(aReply.str, aReply.len);
        break;
    case REDIS_REPLY_INTEGER:
        aOut.Integer = aReply.integer;
        break;
    case REDIS_REPLY_NIL:
        aOut.Nil = true;
        break;
    case REDIS_REPLY_ARRAY:
        for (std::size_t I = 0; I < aReply.elements; ++I) {
            const redisReply* Element = aReply.element[I];
            if (Element != nullptr &&
                (Element->type == REDIS_REPLY_STRING || Element->type == REDIS_REPLY_STATUS)) {
                aOut.Elements.emplace_back(Element->str, Element->len);
            } else if (Element != nullptr && Element->type == REDIS_REPLY_INTEGER) {
                aOut.Elements.push_back(std::to_string(Element->integer));
            } else {
                aOut.Elements.emplace_back();
            }
        }
        break;
    default:
        break;
    }
}

} // namespace

std::string FindProgram(const std::string& aName) {
    std::string Path = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    Path += ":/usr/sbin:/usr/bin:/sbin:/bin";
    std::size_t Start = 0;
    while (Start <= Path.size()) {
        std::size_t End = Path.find(':', Start);
        if (End == std::string::npos) {
            End = Path.size();
        }
        std::string Candidate = Path.substr(Start, End - Start) + "/" + aName;
        if (End > Start && access(Candidate.c_str(), X_OK) == 0) {
            return Candidate;
        }
        Start = End + 1;
    }
    return {};
}

TRedisTestServer::TRedisTestServer(std::string aPassword) : FPassword(std::move(aPassword)) {
    char Template[] = "/tmp/redis-test-XXXXXX";
    if (mkdtemp(Template) == nullptr) {
        return;
    }
    FFolder = Template;
    FConfig = FFolder + "/redis.conf";
    for (int Attempt = 0; Attempt < 5 && !FProgram; ++Attempt) {
        FPort = testsupport::FreePort();
        Launch();
    }
}

TRedisTestServer::~TRedisTestServer() {
    Stop();
    if (!FFolder.empty()) {
        std::error_code Ignored;
        std::filesystem::remove_all(FFolder, Ignored);
    }
}

std::string TRedisTestServer::Address() const {
    return "127.0.0.1:" + std::to_string(FPort);
}

bool TRedisTestServer::Launch() {
    const std::string Program = FindProgram("redis-server");
    if (Program.empty() || FFolder.empty()) {
        return false;
    }
    {
        // Nothing is saved: no snapshots, no append-only file; the log goes to standard output,
        // where its ready line is awaited.
        std::ofstream Config(FConfig, std::ios::trunc);
        Config << "bind 127.0.0.1\n"
               << "port " << FPort << "\n"
               << "dir " << FFolder << "\n"
               << "save \"\"\n"
               << "appendonly no\n"
               << "daemonize no\n"
               << "logfile \"\"\n"
               << "loglevel notice\n"
               << "databases 1\n";
        if (!FPassword.empty()) {
            Config << "requirepass " << FPassword << "\n";
        }
    }
    auto Child = std::make_unique<testsupport::TTestProgram>(Program, std::vector<std::string>{FConfig});
    while (auto Line = Child->ReadLine()) {
        if (Line->find("Ready to accept connections") != std::string::npos) {
            FProgram = std::move(Child);
            return true;
        }
    }
    return false; // Ended (its port was taken) or never ready: the child is killed here.
}

bool TRedisTestServer::Stop() {
    if (!FProgram) {
        return true;
    }
    FProgram->Signal(SIGCONT);
    FProgram->Signal(SIGTERM);
    const bool Ended = FProgram->WaitExit().has_value();
    FProgram.reset(); // Killed when it did not end.
    return Ended;
}

bool TRedisTestServer::Restart() {
    Stop();
    return Launch();
}

void TRedisTestServer::Pause() {
    if (FProgram) {
        FProgram->Signal(SIGSTOP);
    }
}

void TRedisTestServer::Resume() {
    if (FProgram) {
        FProgram->Signal(SIGCONT);
    }
}

TRedisTestReply TRedisTestServer::Command(const std::vector<std::string>& aArguments,
                                          std::chrono::milliseconds aTimeout) const {
    TRedisTestReply Result;
    const timeval Limit{time_t(aTimeout.count() / 1000),
                        suseconds_t(aTimeout.count() % 1000 * 1000)};
    redisContext* Context = redisConnectWithTimeout("127.0.0.1", FPort, Limit);
    if (Context == nullptr || Context->err != 0) {
        Result.Error = true;
        Result.Text = Context != nullptr ? Context->errstr : "cannot connect";
        if (Context != nullptr) {
            redisFree(Context);
        }
        return Result;
    }
    redisSetTimeout(Context, Limit);
    auto Run = [&](const std::vector<std::string>& aCommand) -> redisReply* {
        std::vector<const char*> Argv;
        std::vector<std::size_t> Lengths;
        for (const std::string& Argument : aCommand) {
            Argv.push_back(Argument.data());
            Lengths.push_back(Argument.size());
        }
        return static_cast<redisReply*>(
            redisCommandArgv(Context, int(Argv.size()), Argv.data(), Lengths.data()));
    };
    if (!FPassword.empty()) {
        if (redisReply* Auth = Run({"AUTH", FPassword})) {
            freeReplyObject(Auth);
        }
    }
    if (redisReply* Reply = Run(aArguments)) {
        Flatten(*Reply, Result);
        freeReplyObject(Reply);
    } else {
        Result.Error = true;
        Result.Text = Context->errstr;
    }
    redisFree(Context);
    return Result;
}

void TRedisTestServer::PauseBriefly() {
    poll(nullptr, 0, 20);
}

} // namespace zef::testing

// httpapi_raw_echo: a raw byte echo server written on the HTTP Server API the way a Windows
// completion-port server is: a listener thread receives requests synchronously, a pool of
// workers serves a completion port; each request is upgraded (101 with the opaque flag), then
// its bytes are read with overlapped reads and written back with synchronous sends until the
// client leaves, which a disconnect wait reports.
//
// The server itself is testing/HttpApiRawEcho (the overlapped tests' echo); this program gives it
// a queue on a fixed port and prints its counters.
//
// Usage: httpapi_raw_echo [--port P (2003)] [--threads T (4)] [--pieces N (1)] [--buffer].
// Serves http://127.0.0.1:P/. --pieces sends each echo as N sends (the way a framing layer
// writes a header and a payload); --buffer marks them with the buffer-data flag, which lets the
// layer send the pieces of one answer together.
// Prints "httpapi_raw_echo ready on port P with T worker(s)" once it accepts connections.
// Stops on SIGINT or SIGTERM and then prints its counters: reads that brought bytes, bytes
// echoed, and completions the workers took, so that hand-offs per read can be checked.
#include "testing/HttpApiRawEcho.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <http.h>
#include <string>
#include <windows.h>

namespace {

[[noreturn]] void Usage(const char* Problem) {
    std::fprintf(stderr,
                 "httpapi_raw_echo: %s\nusage: httpapi_raw_echo [--port P] [--threads T] "
                 "[--pieces N] [--buffer]\n",
                 Problem);
    std::exit(2);
}

long Number(const char* Name, const char* Text, long Min, long Max) {
    char* End = nullptr;
    const long Value = Text == nullptr ? 0 : std::strtol(Text, &End, 10);
    if (Text == nullptr || *Text == '\0' || *End != '\0' || Value < Min || Value > Max) {
        const std::string Problem = std::string("bad value for ") + Name;
        Usage(Problem.c_str());
    }
    return Value;
}

} // namespace

int main(int argc, char** argv) {
    long Port = 2003;
    testsupport::THttpApiRawEcho::TOptions Options;
    Options.UpgradeProtocol = "raw";
    for (int I = 1; I < argc; ++I) {
        const char* Value = I + 1 < argc ? argv[I + 1] : nullptr;
        if (std::strcmp(argv[I], "--port") == 0) {
            Port = Number("--port", Value, 1, 65535);
        } else if (std::strcmp(argv[I], "--threads") == 0) {
            Options.Workers = static_cast<DWORD>(Number("--threads", Value, 1, 256));
        } else if (std::strcmp(argv[I], "--pieces") == 0) {
            Options.Pieces = static_cast<ULONG>(Number("--pieces", Value, 1, 64));
        } else if (std::strcmp(argv[I], "--buffer") == 0) {
            Options.SendFlags |= HTTP_SEND_RESPONSE_FLAG_BUFFER_DATA;
            continue;
        } else {
            Usage("unknown option");
        }
        ++I;
    }
    sigset_t Signals;
    sigemptyset(&Signals);
    sigaddset(&Signals, SIGINT);
    sigaddset(&Signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &Signals, nullptr); // every thread inherits the mask

    const HTTPAPI_VERSION Version = HTTPAPI_VERSION_2;
    HTTP_SERVER_SESSION_ID Session = HTTP_NULL_ID;
    HTTP_URL_GROUP_ID Group = HTTP_NULL_ID;
    HANDLE Queue = nullptr;
    HTTP_BINDING_INFO Binding{};
    const std::wstring Url = L"http://127.0.0.1:" + std::to_wstring(Port) + L"/";
    ULONG Result = HttpInitialize(Version, HTTP_INITIALIZE_SERVER, nullptr);
    if (Result == NO_ERROR) {
        Result = HttpCreateServerSession(Version, &Session, 0);
    }
    if (Result == NO_ERROR) {
        Result = HttpCreateUrlGroup(Session, &Group, 0);
    }
    if (Result == NO_ERROR) {
        Result = HttpCreateRequestQueue(Version, nullptr, nullptr, 0, &Queue);
    }
    if (Result == NO_ERROR) {
        Binding.Flags.Present = 1;
        Binding.RequestQueueHandle = Queue;
        Result =
            HttpSetUrlGroupProperty(Group, HttpServerBindingProperty, &Binding, sizeof(Binding));
    }
    if (Result == NO_ERROR) {
        Result = HttpAddUrlToUrlGroup(Group, Url.c_str(), 0, 0);
    }
    if (Result != NO_ERROR) {
        std::fprintf(stderr, "httpapi_raw_echo: start failed with %u\n",
                     static_cast<unsigned>(Result));
        return 1;
    }
    testsupport::THttpApiRawEcho Server(Queue, Options);
    if (!Server.Started()) {
        std::fprintf(stderr, "httpapi_raw_echo: start failed with %u\n",
                     static_cast<unsigned>(GetLastError()));
        return 1;
    }
    std::printf("httpapi_raw_echo ready on port %ld with %ld worker(s)\n", Port,
                static_cast<long>(Options.Workers));
    std::fflush(stdout);

    int Signal = 0;
    sigwait(&Signals, &Signal);
    // Closing the queue ends the listener's receive and every connection's read and wait.
    HttpCloseRequestQueue(Queue);
    Server.Stop();
    HttpCloseUrlGroup(Group);
    HttpCloseServerSession(Session);
    HttpTerminate(HTTP_INITIALIZE_SERVER, nullptr);
    std::printf("httpapi_raw_echo: %lld read(s) with bytes, %lld byte(s) echoed, %lld "
                "completion(s) taken by the workers\n",
                static_cast<long long>(Server.Reads()), static_cast<long long>(Server.Bytes()),
                static_cast<long long>(Server.Completions()));
    return 0;
}

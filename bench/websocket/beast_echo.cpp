// beast_echo: a Boost.Beast WebSocket echo server, the C++ peer korvo is measured against.
//
// Greets every connection with "Hello From Server." and echoes text messages (binary messages
// are read and dropped, as korvo does). One io_context; --threads runs it on several threads
// with a strand per connection. permessage-deflate stays off (Beast's default).
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

constexpr std::string_view Greeting = "Hello From Server.";

/// One client connection; keeps itself alive through the handlers it has outstanding.
class TSession : public std::enable_shared_from_this<TSession> {
public:
    explicit TSession(tcp::socket Socket) : FSocket(std::move(Socket)) {}

    void Start() {
        FSocket.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
        FSocket.async_accept(
            [Self = shared_from_this()](beast::error_code Error) { Self->OnAccept(Error); });
    }

private:
    websocket::stream<beast::tcp_stream> FSocket;
    beast::flat_buffer FBuffer;

    void OnAccept(beast::error_code Error) {
        if (Error) {
            return;
        }
        FSocket.text(true);
        FSocket.async_write(asio::buffer(Greeting.data(), Greeting.size()),
                            [Self = shared_from_this()](beast::error_code Error, std::size_t) {
                                if (!Error) {
                                    Self->Read();
                                }
                            });
    }

    void Read() {
        FSocket.async_read(FBuffer,
                           [Self = shared_from_this()](beast::error_code Error, std::size_t) {
                               Self->OnRead(Error);
                           });
    }

    void OnRead(beast::error_code Error) {
        if (Error) {
            return; // Closed by the client (close frame, end of stream or reset).
        }
        if (!FSocket.got_text()) {
            FBuffer.consume(FBuffer.size());
            Read();
            return;
        }
        FSocket.text(true);
        FSocket.async_write(FBuffer.data(),
                            [Self = shared_from_this()](beast::error_code Error, std::size_t) {
                                if (Error) {
                                    return;
                                }
                                Self->FBuffer.consume(Self->FBuffer.size());
                                Self->Read();
                            });
    }
};

class TListener : public std::enable_shared_from_this<TListener> {
public:
    TListener(asio::io_context& Context, tcp::endpoint Endpoint)
        : FContext(Context)
        , FAcceptor(Context) {
        FAcceptor.open(Endpoint.protocol());
        FAcceptor.set_option(asio::socket_base::reuse_address(true));
        FAcceptor.bind(Endpoint);
        FAcceptor.listen(asio::socket_base::max_listen_connections);
    }

    std::uint16_t Port() const { return FAcceptor.local_endpoint().port(); }

    void Accept() {
        FAcceptor.async_accept(
            asio::make_strand(FContext),
            [Self = shared_from_this()](beast::error_code Error, tcp::socket Socket) {
                if (!Error) {
                    Socket.set_option(tcp::no_delay(true), Error);
                    std::make_shared<TSession>(std::move(Socket))->Start();
                }
                Self->Accept();
            });
    }

private:
    asio::io_context& FContext;
    tcp::acceptor FAcceptor;
};

[[noreturn]] void Usage(const char* Problem) {
    if (Problem != nullptr) {
        std::fprintf(stderr, "beast_echo: %s\n", Problem);
    }
    std::fprintf(stderr, "usage: beast_echo [--host 127.0.0.1] [--port 2002] [--threads 1]\n"
                         "  --port 0 picks a free port; the ready line names it.\n");
    std::exit(2);
}

int ParseInt(const char* Text, int Min, int Max) {
    char* End = nullptr;
    const long Value = std::strtol(Text, &End, 10);
    if (*Text == '\0' || *End != '\0' || Value < Min || Value > Max) {
        Usage("bad number");
    }
    return int(Value);
}

} // namespace

int main(int Argc, char** Argv) {
    std::string Host = "127.0.0.1";
    int Port = 2002;
    int Threads = 1;
    for (int I = 1; I < Argc; ++I) {
        const std::string Name = Argv[I];
        if (Name == "--help" || Name == "-h") {
            Usage(nullptr);
        }
        if (I + 1 >= Argc) {
            Usage("every option needs a value");
        }
        const char* Value = Argv[++I];
        if (Name == "--host") {
            Host = Value;
        } else if (Name == "--port") {
            Port = ParseInt(Value, 0, 65535);
        } else if (Name == "--threads") {
            Threads = ParseInt(Value, 1, 256);
        } else {
            Usage("unknown option");
        }
    }
    try {
        asio::io_context Context(Threads);
        auto Listener = std::make_shared<TListener>(
            Context, tcp::endpoint(asio::ip::make_address(Host), std::uint16_t(Port)));
        Listener->Accept();
        asio::signal_set Signals(Context, SIGINT, SIGTERM);
        Signals.async_wait([&Context](beast::error_code, int) { Context.stop(); });
        std::printf("beast_echo listening on ws://%s:%u/\n", Host.c_str(), Listener->Port());
        std::fflush(stdout);
        std::vector<std::thread> Pool;
        for (int I = 1; I < Threads; ++I) {
            Pool.emplace_back([&Context] { Context.run(); });
        }
        Context.run();
        for (auto& Thread : Pool) {
            Thread.join();
        }
    } catch (const std::exception& E) {
        std::fprintf(stderr, "beast_echo: %s\n", E.what());
        return 1;
    }
    return 0;
}

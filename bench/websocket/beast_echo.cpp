// beast_echo: a Boost.Beast WebSocket echo server, the C++ peer korvo is measured against.
//
// Greets every connection with "Hello From Server." and echoes text messages (binary messages
// are read and dropped, as korvo does). One io_context; --threads runs it on several threads
// with a strand per connection. permessage-deflate stays off (Beast's default) unless
// --permessage-deflate (zlib level 1); --tls-cert and --tls-key (PEM files) serve wss:// instead.
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

constexpr std::string_view Greeting = "Hello From Server.";

using TPlainStream = websocket::stream<beast::tcp_stream>;
using TTlsStream = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;

bool GDeflate = false; // Set by main before the first connection.

/// One client connection; keeps itself alive through the handlers it has outstanding.
template <typename TStream>
class TSession : public std::enable_shared_from_this<TSession<TStream>> {
public:
    explicit TSession(tcp::socket Socket) : FSocket(std::move(Socket)) {}
    TSession(tcp::socket Socket, asio::ssl::context& Tls) : FSocket(std::move(Socket), Tls) {}

    void Start() {
        if constexpr (std::is_same_v<TStream, TTlsStream>) {
            FSocket.next_layer().async_handshake(
                asio::ssl::stream_base::server,
                [Self = this->shared_from_this()](beast::error_code Error) {
                    if (!Error) {
                        Self->Accept();
                    }
                });
        } else {
            Accept();
        }
    }

private:
    TStream FSocket;
    beast::flat_buffer FBuffer;

    void Accept() {
        FSocket.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
        if (GDeflate) {
            websocket::permessage_deflate Deflate;
            Deflate.server_enable = true;
            Deflate.compLevel = 1; // As the other servers measured with compression.
            FSocket.set_option(Deflate);
        }
        FSocket.async_accept(
            [Self = this->shared_from_this()](beast::error_code Error) { Self->OnAccept(Error); });
    }

    void OnAccept(beast::error_code Error) {
        if (Error) {
            return;
        }
        FSocket.text(true);
        FSocket.async_write(
            asio::buffer(Greeting.data(), Greeting.size()),
            [Self = this->shared_from_this()](beast::error_code Error, std::size_t) {
                if (!Error) {
                    Self->Read();
                }
            });
    }

    void Read() {
        FSocket.async_read(FBuffer,
                           [Self = this->shared_from_this()](beast::error_code Error, std::size_t) {
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
        FSocket.async_write(FBuffer.data(), [Self = this->shared_from_this()](
                                                beast::error_code Error, std::size_t) {
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
    /// Tls: nullptr for ws://; else not owned, it outlives the listener.
    TListener(asio::io_context& Context, tcp::endpoint Endpoint, asio::ssl::context* Tls)
        : FContext(Context)
        , FTls(Tls)
        , FAcceptor(Context) {
        FAcceptor.open(Endpoint.protocol());
        FAcceptor.set_option(asio::socket_base::reuse_address(true));
        FAcceptor.bind(Endpoint);
        FAcceptor.listen(asio::socket_base::max_listen_connections);
    }

    std::uint16_t Port() const { return FAcceptor.local_endpoint().port(); }

    void Accept() {
        FAcceptor.async_accept(asio::make_strand(FContext), [Self = this->shared_from_this()](
                                                                beast::error_code Error,
                                                                tcp::socket Socket) {
            if (!Error) {
                Socket.set_option(tcp::no_delay(true), Error);
                if (Self->FTls != nullptr) {
                    std::make_shared<TSession<TTlsStream>>(std::move(Socket), *Self->FTls)->Start();
                } else {
                    std::make_shared<TSession<TPlainStream>>(std::move(Socket))->Start();
                }
            }
            Self->Accept();
        });
    }

private:
    asio::io_context& FContext;
    asio::ssl::context* FTls;
    tcp::acceptor FAcceptor;
};

[[noreturn]] void Usage(const char* Problem) {
    if (Problem != nullptr) {
        std::fprintf(stderr, "beast_echo: %s\n", Problem);
    }
    std::fprintf(stderr, "usage: beast_echo [--host 127.0.0.1] [--port 2002] [--threads 1]\n"
                         "                  [--permessage-deflate] [--tls-cert PEM --tls-key PEM]\n"
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
    std::string Cert;
    std::string Key;
    for (int I = 1; I < Argc; ++I) {
        const std::string Name = Argv[I];
        if (Name == "--help" || Name == "-h") {
            Usage(nullptr);
        }
        if (Name == "--permessage-deflate") {
            GDeflate = true;
            continue;
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
        } else if (Name == "--tls-cert") {
            Cert = Value;
        } else if (Name == "--tls-key") {
            Key = Value;
        } else {
            Usage("unknown option");
        }
    }
    if (Cert.empty() != Key.empty()) {
        Usage("--tls-cert and --tls-key go together");
    }
    try {
        asio::io_context Context(Threads);
        asio::ssl::context Tls(asio::ssl::context::tls_server);
        if (!Cert.empty()) {
            Tls.use_certificate_chain_file(Cert);
            Tls.use_private_key_file(Key, asio::ssl::context::pem);
        }
        auto Listener = std::make_shared<TListener>(
            Context, tcp::endpoint(asio::ip::make_address(Host), std::uint16_t(Port)),
            Cert.empty() ? nullptr : &Tls);
        Listener->Accept();
        asio::signal_set Signals(Context, SIGINT, SIGTERM);
        Signals.async_wait([&Context](beast::error_code, int) { Context.stop(); });
        std::printf("beast_echo listening on %s://%s:%u/\n", Cert.empty() ? "ws" : "wss",
                    Host.c_str(), Listener->Port());
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

/* lws_echo: a minimal WebSocket echo server on libwebsockets, the C peer of the benchmarks.
 *
 * Usage: lws_echo [--host H] [--port P] [--tls-cert FILE --tls-key FILE]
 *
 * Like korvo it greets every connection with the text message "Hello From Server.", sends every
 * text message back and drops binary ones. Any path is accepted; permessage-deflate is off
 * (libwebsockets 4.1.6's own fails to inflate as soon as two connections send compressed
 * messages at once: "zlib error inflate -3"). One thread, libwebsockets' own event loop, its usual
 * way of writing: the messages of a connection wait in a queue and one is written per writeable
 * callback. Port 0 takes a free port. When ready it prints "lws_echo listening on ws://HOST:PORT/"
 * (wss:// with TLS). SIGINT or SIGTERM stops it.
 */
#include <libwebsockets.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum {
    MaxMessage = 64 * 1024 * 1024, /* A longer message ends the connection with 1009. */
    ThrottleAbove = 64,            /* Queued echoes that stop reading from the connection... */
    ResumeAt = 16                  /* ...until the queue is down to this many. */
};

static const char Greeting[] = "Hello From Server.";

/* One message waiting to be written, with the room lws needs in front of it. */
struct TMessage {
    struct TMessage* Next;
    size_t Length;
    unsigned char Data[];
};

/* Per connection; lws allocates it zero-filled and frees it after LWS_CALLBACK_CLOSED. */
struct TSession {
    struct TMessage* Head;
    struct TMessage* Tail;
    int Queued;
    int Throttled;
    unsigned char* Rx; /* The message being received (its fragments joined). */
    size_t RxLength;
    size_t RxCapacity;
};

static volatile sig_atomic_t GStop = 0;
static struct lws_context* GContext = NULL;

static void OnSignal(int Signal) {
    (void)Signal;
    GStop = 1;
    if (GContext != NULL) {
        lws_cancel_service(GContext);
    }
}

static int Enqueue(struct TSession* Session, const unsigned char* Data, size_t Length) {
    struct TMessage* Message = malloc(sizeof *Message + LWS_PRE + Length);
    if (Message == NULL) {
        return -1;
    }
    Message->Next = NULL;
    Message->Length = Length;
    if (Length > 0) {
        memcpy(Message->Data + LWS_PRE, Data, Length);
    }
    if (Session->Tail != NULL) {
        Session->Tail->Next = Message;
    } else {
        Session->Head = Message;
    }
    Session->Tail = Message;
    ++Session->Queued;
    return 0;
}

static void FreeSession(struct TSession* Session) {
    while (Session->Head != NULL) {
        struct TMessage* Next = Session->Head->Next;
        free(Session->Head);
        Session->Head = Next;
    }
    Session->Tail = NULL;
    Session->Queued = 0;
    free(Session->Rx);
    Session->Rx = NULL;
    Session->RxLength = Session->RxCapacity = 0;
}

static int AppendRx(struct TSession* Session, const void* Data, size_t Length) {
    if (Length > MaxMessage - Session->RxLength) {
        return -1;
    }
    if (Session->RxLength + Length > Session->RxCapacity) {
        size_t Capacity = Session->RxCapacity ? Session->RxCapacity : 4096;
        while (Capacity < Session->RxLength + Length) {
            Capacity *= 2;
        }
        unsigned char* Grown = realloc(Session->Rx, Capacity);
        if (Grown == NULL) {
            return -1;
        }
        Session->Rx = Grown;
        Session->RxCapacity = Capacity;
    }
    if (Length > 0) {
        memcpy(Session->Rx + Session->RxLength, Data, Length);
    }
    Session->RxLength += Length;
    return 0;
}

static int Callback(struct lws* Wsi, enum lws_callback_reasons Reason, void* User, void* In,
                    size_t Length) {
    struct TSession* Session = User;
    switch (Reason) {
    case LWS_CALLBACK_ESTABLISHED:
        if (Enqueue(Session, (const unsigned char*)Greeting, sizeof Greeting - 1) != 0) {
            return -1;
        }
        lws_callback_on_writable(Wsi);
        return 0;

    case LWS_CALLBACK_RECEIVE:
        if (lws_is_first_fragment(Wsi)) {
            Session->RxLength = 0;
        }
        if (lws_frame_is_binary(Wsi)) {
            return 0; /* Dropped, as korvo does. */
        }
        if (AppendRx(Session, In, Length) != 0) {
            lws_close_reason(Wsi, LWS_CLOSE_STATUS_MESSAGE_TOO_LARGE, NULL, 0);
            return -1;
        }
        if (!lws_is_final_fragment(Wsi)) {
            return 0;
        }
        if (Enqueue(Session, Session->Rx, Session->RxLength) != 0) {
            return -1;
        }
        Session->RxLength = 0;
        if (Session->RxCapacity > 65536) { /* Large messages do not stay with an idle connection. */
            free(Session->Rx);
            Session->Rx = NULL;
            Session->RxCapacity = 0;
        }
        if (Session->Queued > ThrottleAbove && !Session->Throttled) {
            Session->Throttled = 1;
            lws_rx_flow_control(Wsi, 0);
        }
        lws_callback_on_writable(Wsi);
        return 0;

    case LWS_CALLBACK_SERVER_WRITEABLE: {
        struct TMessage* Message = Session->Head;
        if (Message == NULL) {
            return 0;
        }
        /* lws keeps what the socket did not take and writes it before the next callback. */
        int Written = lws_write(Wsi, Message->Data + LWS_PRE, Message->Length, LWS_WRITE_TEXT);
        if (Written < 0 || (size_t)Written < Message->Length) {
            return -1;
        }
        Session->Head = Message->Next;
        if (Session->Head == NULL) {
            Session->Tail = NULL;
        }
        --Session->Queued;
        free(Message);
        if (Session->Throttled && Session->Queued <= ResumeAt) {
            Session->Throttled = 0;
            lws_rx_flow_control(Wsi, 1);
        }
        if (Session->Head != NULL) {
            lws_callback_on_writable(Wsi);
        }
        return 0;
    }

    case LWS_CALLBACK_CLOSED:
        FreeSession(Session);
        return 0;

    default:
        return lws_callback_http_dummy(Wsi, Reason, User, In, Length);
    }
}

/* The first protocol takes every upgrade that names none, on any path. */
static const struct lws_protocols Protocols[] = {
    {"echo", Callback, sizeof(struct TSession), 0, 0, NULL, 0},
    {NULL, NULL, 0, 0, 0, NULL, 0},
};

static void Usage(const char* Problem) {
    if (Problem != NULL) {
        fprintf(stderr, "lws_echo: %s\n", Problem);
    }
    fprintf(stderr, "usage: lws_echo [--host H] [--port P] [--tls-cert FILE --tls-key FILE]\n");
    exit(2);
}

int main(int argc, char** argv) {
    const char* Host = "127.0.0.1";
    int Port = 2001;
    const char* Cert = NULL;
    const char* Key = NULL;
    for (int I = 1; I < argc; ++I) {
        const char* Flag = argv[I];
        if (I + 1 >= argc) {
            Usage("a flag needs a value");
        }
        const char* Value = argv[++I];
        if (strcmp(Flag, "--host") == 0) {
            Host = Value;
        } else if (strcmp(Flag, "--port") == 0) {
            char* End = NULL;
            long Number = strtol(Value, &End, 10);
            if (*Value == '\0' || *End != '\0' || Number < 0 || Number > 65535) {
                Usage("--port needs a number from 0 to 65535");
            }
            Port = (int)Number;
        } else if (strcmp(Flag, "--tls-cert") == 0) {
            Cert = Value;
        } else if (strcmp(Flag, "--tls-key") == 0) {
            Key = Value;
        } else {
            Usage("unknown flag");
        }
    }
    if ((Cert == NULL) != (Key == NULL)) {
        Usage("--tls-cert and --tls-key go together");
    }

    lws_set_log_level(LLL_ERR | LLL_WARN, NULL);
    struct lws_context_creation_info Info;
    memset(&Info, 0, sizeof Info);
    Info.iface = Host;
    Info.port = Port;
    Info.protocols = Protocols;
    Info.gid = -1;
    Info.uid = -1;
    if (Cert != NULL) {
        Info.options |= LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT;
        Info.ssl_cert_filepath = Cert;
        Info.ssl_private_key_filepath = Key;
    }
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    signal(SIGPIPE, SIG_IGN);
    GContext = lws_create_context(&Info);
    if (GContext == NULL) {
        fprintf(stderr, "lws_echo: lws_create_context failed\n");
        return 1;
    }
    struct lws_vhost* Vhost = lws_get_vhost_by_name(GContext, "default");
    printf("lws_echo listening on %s://%s:%d/\n", Cert != NULL ? "wss" : "ws", Host,
           Vhost != NULL ? lws_get_vhost_listen_port(Vhost) : Port);
    fflush(stdout);
    while (!GStop) {
        if (lws_service(GContext, 0) < 0) {
            break;
        }
    }
    lws_context_destroy(GContext);
    return 0;
}

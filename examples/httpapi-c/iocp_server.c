/* iocp_server: an HTTP server on the HTTP Server API 2.0 written the way Windows servers are:
 * a server session, a URL group bound to a request queue, the queue associated with an I/O
 * completion port, and a pool of worker threads that each keep one overlapped operation going
 * (receive a request, send its answer, receive the next). Every request gets 200 and a line of
 * text naming its path. It serves until a line (or the end) of standard input, then shuts the
 * queue down, lets the workers drain and frees everything.
 *
 *   iocp_server http://127.0.0.1:8080/iocp/
 */
#ifndef UNICODE
#define UNICODE
#endif

#include <http.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

#define WORKER_COUNT 4
#define QUIT_KEY ((ULONG_PTR)1)
#define QUEUE_KEY ((ULONG_PTR)2)
#define FIRST_BUFFER_LENGTH ((ULONG)(sizeof(HTTP_REQUEST) + 4096))

typedef enum _IO_OPERATION { IoReceive, IoSend } IO_OPERATION;

/* One worker's operation in flight. The OVERLAPPED comes first: the completion packet hands it
 * back, and CONTAINING_RECORD finds the context around it. */
typedef struct _IO_CONTEXT {
    OVERLAPPED Overlapped;
    IO_OPERATION Operation;
    HTTP_REQUEST_ID RequestId; /* HTTP_NULL_ID: the next new request */
    PHTTP_REQUEST Request;     /* heap block of BufferLength bytes */
    ULONG BufferLength;
    HTTP_RESPONSE Response;
    HTTP_DATA_CHUNK Chunk;
    CHAR Body[512];
} IO_CONTEXT, *PIO_CONTEXT;

static HANDLE g_Queue;
static HANDLE g_Port;
static volatile LONG g_Served;

/* Starts an overlapped receive into the context's buffer. ERROR_IO_PENDING and NO_ERROR both
 * mean a completion packet will come; anything else means none will. */
static ULONG StartReceive(PIO_CONTEXT Context) {
    RtlZeroMemory(&Context->Overlapped, sizeof(Context->Overlapped));
    Context->Operation = IoReceive;
    return HttpReceiveHttpRequest(g_Queue, Context->RequestId, 0, Context->Request,
                                  Context->BufferLength, NULL, &Context->Overlapped);
}

/* The request did not fit: the buffer grows to what the request needs and the same request is
 * asked for again by its id. */
static ULONG GrowAndReceive(PIO_CONTEXT Context, ULONG Needed) {
    PHTTP_REQUEST Larger =
        (PHTTP_REQUEST)HeapReAlloc(GetProcessHeap(), 0, Context->Request, Needed);
    if (Larger == NULL) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    Context->RequestId = Context->Request->RequestId;
    Context->Request = Larger;
    Context->BufferLength = Needed;
    return StartReceive(Context);
}

/* Answers the request in the buffer with an overlapped send. */
static ULONG StartSend(PIO_CONTEXT Context, DWORD Worker) {
    const PHTTP_REQUEST Request = Context->Request;
    const int Length =
        snprintf(Context->Body, sizeof(Context->Body), "worker %lu answered %.*s\n",
                 (unsigned long)Worker, (int)Request->RawUrlLength, Request->pRawUrl);
    RtlZeroMemory(&Context->Response, sizeof(Context->Response));
    Context->Response.StatusCode = 200;
    Context->Response.pReason = "OK";
    Context->Response.ReasonLength = 2;
    Context->Response.Headers.KnownHeaders[HttpHeaderContentType].pRawValue = "text/plain";
    Context->Response.Headers.KnownHeaders[HttpHeaderContentType].RawValueLength = 10;
    Context->Chunk.DataChunkType = HttpDataChunkFromMemory;
    Context->Chunk.FromMemory.pBuffer = Context->Body;
    Context->Chunk.FromMemory.BufferLength =
        (ULONG)(Length < (int)sizeof(Context->Body) ? Length : (int)sizeof(Context->Body) - 1);
    Context->Response.EntityChunkCount = 1;
    Context->Response.pEntityChunks = &Context->Chunk;
    RtlZeroMemory(&Context->Overlapped, sizeof(Context->Overlapped));
    Context->Operation = IoSend;
    return HttpSendHttpResponse(g_Queue, Request->RequestId, 0, &Context->Response, NULL, NULL,
                                NULL, 0, &Context->Overlapped, NULL);
}

static BOOL Started(ULONG Result) {
    return Result == NO_ERROR || Result == ERROR_IO_PENDING;
}

/* A worker: its own context, one operation at a time, until the queue is shut down or the
 * quit packet comes. */
static DWORD WINAPI Worker(LPVOID Parameter) {
    const DWORD Number = (DWORD)(ULONG_PTR)Parameter;
    IO_CONTEXT* Context =
        (IO_CONTEXT*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(IO_CONTEXT));
    if (Context == NULL) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    Context->BufferLength = FIRST_BUFFER_LENGTH;
    Context->Request = (PHTTP_REQUEST)HeapAlloc(GetProcessHeap(), 0, Context->BufferLength);
    ULONG Result = Context->Request == NULL ? ERROR_NOT_ENOUGH_MEMORY : StartReceive(Context);
    if (Result == ERROR_MORE_DATA) {
        Result = GrowAndReceive(Context, Context->BufferLength * 2);
    }
    BOOL Pending = Started(Result);
    for (;;) {
        DWORD Bytes = 0;
        ULONG_PTR Key = 0;
        LPOVERLAPPED Overlapped = NULL;
        const BOOL Succeeded =
            GetQueuedCompletionStatus(g_Port, &Bytes, &Key, &Overlapped, INFINITE);
        if (Overlapped == NULL) {
            if (Key == QUIT_KEY || !Succeeded) {
                break; /* asked to stop, or the port is gone */
            }
            continue;
        }
        PIO_CONTEXT Done = CONTAINING_RECORD(Overlapped, IO_CONTEXT, Overlapped);
        const DWORD Error = Succeeded ? NO_ERROR : GetLastError();
        Pending = FALSE;
        if (Error == ERROR_OPERATION_ABORTED) {
            continue; /* the queue was shut down: wait for the quit packet */
        }
        if (Done->Operation == IoReceive && Error == ERROR_MORE_DATA) {
            Result =
                GrowAndReceive(Done, Bytes > Done->BufferLength ? Bytes : Done->BufferLength * 2);
        } else if (Done->Operation == IoReceive && Error == NO_ERROR) {
            Done->RequestId = HTTP_NULL_ID;
            Result = StartSend(Done, Number);
            if (Started(Result)) {
                InterlockedIncrement(&g_Served);
            } else {
                Result = StartReceive(Done); /* the client is gone: on to the next request */
            }
        } else {
            /* A send completed (or failed because the client left): receive the next. */
            Done->RequestId = HTTP_NULL_ID;
            Result = StartReceive(Done);
        }
        Pending = Started(Result);
    }
    (void)Pending;
    HeapFree(GetProcessHeap(), 0, Context->Request);
    HeapFree(GetProcessHeap(), 0, Context);
    return 0;
}

static int Fail(const char* What, ULONG Result) {
    printf("%s failed with %lu\n", What, (unsigned long)Result);
    return 1;
}

int main(int argc, char* argv[]) {
    HTTPAPI_VERSION Version = HTTPAPI_VERSION_2;
    HTTP_SERVER_SESSION_ID Session = HTTP_NULL_ID;
    HTTP_URL_GROUP_ID Group = HTTP_NULL_ID;
    HANDLE Threads[WORKER_COUNT];
    wchar_t Url[2048];
    ULONG Result;

    setlocale(LC_ALL, "");
    if (argc != 2 ||
        mbstowcs(Url, argv[1], sizeof(Url) / sizeof(Url[0])) >= sizeof(Url) / sizeof(Url[0])) {
        fprintf(stderr, "usage: %s http://127.0.0.1:8080/iocp/\n", argv[0]);
        return 2;
    }
    Result = HttpInitialize(Version, HTTP_INITIALIZE_SERVER, NULL);
    if (Result != NO_ERROR) {
        return Fail("HttpInitialize", Result);
    }
    if ((Result = HttpCreateServerSession(Version, &Session, 0)) != NO_ERROR) {
        return Fail("HttpCreateServerSession", Result);
    }
    if ((Result = HttpCreateUrlGroup(Session, &Group, 0)) != NO_ERROR) {
        return Fail("HttpCreateUrlGroup", Result);
    }
    if ((Result = HttpCreateRequestQueue(Version, NULL, NULL, 0, &g_Queue)) != NO_ERROR) {
        return Fail("HttpCreateRequestQueue", Result);
    }
    HTTP_BINDING_INFO Binding;
    RtlZeroMemory(&Binding, sizeof(Binding));
    Binding.Flags.Present = 1;
    Binding.RequestQueueHandle = g_Queue;
    if ((Result = HttpSetUrlGroupProperty(Group, HttpServerBindingProperty, &Binding,
                                          sizeof(Binding))) != NO_ERROR) {
        return Fail("HttpSetUrlGroupProperty", Result);
    }
    g_Port = CreateIoCompletionPort(g_Queue, NULL, QUEUE_KEY, 0);
    if (g_Port == NULL) {
        return Fail("CreateIoCompletionPort", GetLastError());
    }
    for (DWORD I = 0; I < WORKER_COUNT; I++) {
        Threads[I] = CreateThread(NULL, 0, Worker, (LPVOID)(ULONG_PTR)I, 0, NULL);
        if (Threads[I] == NULL) {
            return Fail("CreateThread", GetLastError());
        }
    }
    if ((Result = HttpAddUrlToUrlGroup(Group, Url, 0, 0)) != NO_ERROR) {
        return Fail("HttpAddUrlToUrlGroup", Result);
    }
    printf("iocp_server listening on %s\n", argv[1]);
    fflush(stdout);

    for (int Character = getchar(); Character != EOF && Character != '\n'; Character = getchar()) {
    }

    /* Stop: no new requests, every pending receive ends (ERROR_OPERATION_ABORTED), then one quit
     * packet per worker. */
    HttpRemoveUrlFromUrlGroup(Group, NULL, HTTP_URL_FLAG_REMOVE_ALL);
    HttpShutdownRequestQueue(g_Queue);
    for (DWORD I = 0; I < WORKER_COUNT; I++) {
        PostQueuedCompletionStatus(g_Port, 0, QUIT_KEY, NULL);
    }
    WaitForMultipleObjects(WORKER_COUNT, Threads, TRUE, INFINITE);
    for (DWORD I = 0; I < WORKER_COUNT; I++) {
        CloseHandle(Threads[I]);
    }
    HttpCloseRequestQueue(g_Queue);
    HttpCloseUrlGroup(Group);
    HttpCloseServerSession(Session);
    HttpTerminate(HTTP_INITIALIZE_SERVER, NULL);
    CloseHandle(g_Port);
    printf("iocp_server served %ld requests\n", (long)g_Served);
    return 0;
}

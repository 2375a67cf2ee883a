/* sync_server: the HTTP Server API's documented synchronous sample server, in C, built on this
 * platform layer unchanged but for what Windows' C runtime has and Linux's lacks (wmain, %ws,
 * sprintf_s): one thread receives each request, answers GET with a short page, echoes a POST's
 * body back from a temporary file, and answers every other verb with 503.
 *
 *   sync_server http://127.0.0.1:8080/sample/ [more URLs...]
 */
#ifndef UNICODE
#define UNICODE
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif

#include <http.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

/* Sets up a response record: everything zero but the status line. */
#define INITIALIZE_HTTP_RESPONSE(resp, status, reason)                                             \
    do {                                                                                           \
        RtlZeroMemory((resp), sizeof(*(resp)));                                                    \
        (resp)->StatusCode = (status);                                                             \
        (resp)->pReason = (reason);                                                                \
        (resp)->ReasonLength = (USHORT)strlen(reason);                                             \
    } while (FALSE)

/* Puts one known header into a response record. */
#define ADD_KNOWN_HEADER(Response, HeaderId, RawValue)                                             \
    do {                                                                                           \
        (Response).Headers.KnownHeaders[(HeaderId)].pRawValue = (RawValue);                        \
        (Response).Headers.KnownHeaders[(HeaderId)].RawValueLength = (USHORT)strlen(RawValue);     \
    } while (FALSE)

#define ALLOC_MEM(cb) HeapAlloc(GetProcessHeap(), 0, (cb))
#define FREE_MEM(ptr) HeapFree(GetProcessHeap(), 0, (ptr))

/* Room for a ULONG in decimal, with its terminator. */
#define MAX_ULONG_STR ((ULONG)sizeof("4294967295"))

static DWORD DoReceiveRequests(IN HANDLE hReqQueue);
static DWORD SendHttpResponse(IN HANDLE hReqQueue, IN PHTTP_REQUEST pRequest, IN USHORT StatusCode,
                              IN PSTR pReason, IN PSTR pEntity);
static DWORD SendHttpPostResponse(IN HANDLE hReqQueue, IN PHTTP_REQUEST pRequest);

/* The sample's wmain: registers every URL given, serves until receiving fails, then cleans up. */
static int ServeUrls(int argc, wchar_t* argv[]) {
    ULONG retCode;
    HANDLE hReqQueue = NULL;
    int UrlAdded = 0;
    HTTPAPI_VERSION HttpApiVersion = HTTPAPI_VERSION_1;

    if (argc < 2) {
        wprintf(L"%ls: <Url1> [Url2] ... \n", argv[0]);
        return -1;
    }
    retCode = HttpInitialize(HttpApiVersion, HTTP_INITIALIZE_SERVER, NULL);
    if (retCode != NO_ERROR) {
        wprintf(L"HttpInitialize failed with %lu \n", (unsigned long)retCode);
        return (int)retCode;
    }
    retCode = HttpCreateHttpHandle(&hReqQueue, 0);
    if (retCode != NO_ERROR) {
        wprintf(L"HttpCreateHttpHandle failed with %lu \n", (unsigned long)retCode);
        goto CleanUp;
    }
    /* The URLs are registered one by one on the request queue (the version 1.0 API). */
    for (int i = 1; i < argc; i++) {
        wprintf(L"listening for requests on the following url: %ls\n", argv[i]);
        retCode = HttpAddUrl(hReqQueue, argv[i], NULL);
        if (retCode != NO_ERROR) {
            wprintf(L"HttpAddUrl failed with %lu \n", (unsigned long)retCode);
            goto CleanUp;
        }
        UrlAdded++;
    }
    fflush(stdout);
    DoReceiveRequests(hReqQueue);

CleanUp:
    for (int i = 1; i <= UrlAdded; i++) {
        HttpRemoveUrl(hReqQueue, argv[i]);
    }
    if (hReqQueue) {
        CloseHandle(hReqQueue);
    }
    HttpTerminate(HTTP_INITIALIZE_SERVER, NULL);
    return (int)retCode;
}

/* Receives requests into one buffer, growing it when a request does not fit. */
static DWORD DoReceiveRequests(IN HANDLE hReqQueue) {
    ULONG result;
    HTTP_REQUEST_ID requestId;
    DWORD bytesRead;
    PHTTP_REQUEST pRequest;
    PCHAR pRequestBuffer;
    ULONG RequestBufferLength;

    /* Room for the request record and 2 KB of headers; bigger requests grow it below. */
    RequestBufferLength = sizeof(HTTP_REQUEST) + 2048;
    pRequestBuffer = (PCHAR)ALLOC_MEM(RequestBufferLength);
    if (pRequestBuffer == NULL) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    pRequest = (PHTTP_REQUEST)pRequestBuffer;

    /* A null request id asks for the next new request. */
    HTTP_SET_NULL_ID(&requestId);
    for (;;) {
        RtlZeroMemory(pRequest, RequestBufferLength);
        result = HttpReceiveHttpRequest(hReqQueue, requestId, 0, pRequest, RequestBufferLength,
                                        &bytesRead, NULL);
        if (result == NO_ERROR) {
            switch (pRequest->Verb) {
            case HttpVerbGET:
                wprintf(L"Got a GET request for %ls \n", pRequest->CookedUrl.pFullUrl);
                result = SendHttpResponse(hReqQueue, pRequest, 200, "OK",
                                          "Hey! You hit the server \r\n");
                break;
            case HttpVerbPOST:
                wprintf(L"Got a POST request for %ls \n", pRequest->CookedUrl.pFullUrl);
                result = SendHttpPostResponse(hReqQueue, pRequest);
                break;
            default:
                wprintf(L"Got a unknown request for %ls \n", pRequest->CookedUrl.pFullUrl);
                result = SendHttpResponse(hReqQueue, pRequest, 503, "Not Implemented", NULL);
                break;
            }
            fflush(stdout);
            if (result != NO_ERROR) {
                break;
            }
            HTTP_SET_NULL_ID(&requestId);
        } else if (result == ERROR_MORE_DATA) {
            /* Too small: ask again for the same request, by its id, with the size needed. */
            requestId = pRequest->RequestId;
            RequestBufferLength = bytesRead;
            FREE_MEM(pRequestBuffer);
            pRequestBuffer = (PCHAR)ALLOC_MEM(RequestBufferLength);
            if (pRequestBuffer == NULL) {
                result = ERROR_NOT_ENOUGH_MEMORY;
                break;
            }
            pRequest = (PHTTP_REQUEST)pRequestBuffer;
        } else if (result == ERROR_CONNECTION_INVALID && !HTTP_IS_NULL_ID(&requestId)) {
            /* The client went away while the buffer grew: on to the next request. */
            HTTP_SET_NULL_ID(&requestId);
        } else {
            break;
        }
    }
    if (pRequestBuffer) {
        FREE_MEM(pRequestBuffer);
    }
    return result;
}

/* Answers with a status line, a content type and an optional body, in one call. */
static DWORD SendHttpResponse(IN HANDLE hReqQueue, IN PHTTP_REQUEST pRequest, IN USHORT StatusCode,
                              IN PSTR pReason, IN PSTR pEntity) {
    HTTP_RESPONSE response;
    HTTP_DATA_CHUNK dataChunk;
    DWORD result;
    DWORD bytesSent;

    INITIALIZE_HTTP_RESPONSE(&response, StatusCode, pReason);
    ADD_KNOWN_HEADER(response, HttpHeaderContentType, "text/html");
    if (pEntity) {
        dataChunk.DataChunkType = HttpDataChunkFromMemory;
        dataChunk.FromMemory.pBuffer = pEntity;
        dataChunk.FromMemory.BufferLength = (ULONG)strlen(pEntity);
        response.EntityChunkCount = 1;
        response.pEntityChunks = &dataChunk;
    }
    result = HttpSendHttpResponse(hReqQueue, pRequest->RequestId, 0, &response, NULL, &bytesSent,
                                  NULL, 0, NULL, NULL);
    if (result != NO_ERROR) {
        wprintf(L"HttpSendHttpResponse failed with %lu \n", (unsigned long)result);
    }
    return result;
}

/* Reads a POST's body into a temporary file, then sends it back: the head first (with the
 * more-data flag and the length), then the file as the entity body. */
static DWORD SendHttpPostResponse(IN HANDLE hReqQueue, IN PHTTP_REQUEST pRequest) {
    HTTP_RESPONSE response;
    DWORD result;
    DWORD bytesSent;
    PUCHAR pEntityBuffer;
    ULONG EntityBufferLength;
    ULONG BytesRead;
    ULONG TempFileBytesWritten;
    HANDLE hTempFile;
    TCHAR szTempName[MAX_PATH + 1];
    CHAR szContentLength[MAX_ULONG_STR];
    HTTP_DATA_CHUNK dataChunk;
    ULONG TotalBytesRead = 0;

    BytesRead = 0;
    hTempFile = INVALID_HANDLE_VALUE;

    EntityBufferLength = 2048;
    pEntityBuffer = (PUCHAR)ALLOC_MEM(EntityBufferLength);
    if (pEntityBuffer == NULL) {
        result = ERROR_NOT_ENOUGH_MEMORY;
        wprintf(L"Insufficient resources \n");
        goto Done;
    }
    INITIALIZE_HTTP_RESPONSE(&response, 200, "OK");

    /* Without HTTP_RECEIVE_REQUEST_FLAG_COPY_BODY the body is read with its own calls. */
    if (pRequest->Flags & HTTP_REQUEST_FLAG_MORE_ENTITY_BODY_EXISTS) {
        if (GetTempFileName(L".", L"New_file", 0, szTempName) == 0) {
            result = GetLastError();
            wprintf(L"GetTempFileName failed with %lu \n", (unsigned long)result);
            goto Done;
        }
        hTempFile = CreateFile(szTempName, GENERIC_READ | GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, NULL);
        if (hTempFile == INVALID_HANDLE_VALUE) {
            result = GetLastError();
            wprintf(L"Cannot create temporary file. Error %lu \n", (unsigned long)result);
            goto Done;
        }
        do {
            BytesRead = 0;
            result = HttpReceiveRequestEntityBody(hReqQueue, pRequest->RequestId, 0, pEntityBuffer,
                                                  EntityBufferLength, &BytesRead, NULL);
            switch (result) {
            case NO_ERROR:
                if (BytesRead != 0) {
                    TotalBytesRead += BytesRead;
                    WriteFile(hTempFile, pEntityBuffer, BytesRead, &TempFileBytesWritten, NULL);
                }
                break;
            case ERROR_HANDLE_EOF:
                /* The whole body is in the file: send it back, its length first. */
                if (BytesRead != 0) {
                    TotalBytesRead += BytesRead;
                    WriteFile(hTempFile, pEntityBuffer, BytesRead, &TempFileBytesWritten, NULL);
                }
                snprintf(szContentLength, MAX_ULONG_STR, "%lu", (unsigned long)TotalBytesRead);
                ADD_KNOWN_HEADER(response, HttpHeaderContentLength, szContentLength);
                result = HttpSendHttpResponse(hReqQueue, pRequest->RequestId,
                                              HTTP_SEND_RESPONSE_FLAG_MORE_DATA, &response, NULL,
                                              &bytesSent, NULL, 0, NULL, NULL);
                if (result != NO_ERROR) {
                    wprintf(L"HttpSendHttpResponse failed with %lu \n", (unsigned long)result);
                    goto Done;
                }
                dataChunk.DataChunkType = HttpDataChunkFromFileHandle;
                dataChunk.FromFileHandle.ByteRange.StartingOffset.QuadPart = 0;
                dataChunk.FromFileHandle.ByteRange.Length.QuadPart = HTTP_BYTE_RANGE_TO_EOF;
                dataChunk.FromFileHandle.FileHandle = hTempFile;
                result = HttpSendResponseEntityBody(hReqQueue, pRequest->RequestId, 0, 1,
                                                    &dataChunk, NULL, NULL, 0, NULL, NULL);
                if (result != NO_ERROR) {
                    wprintf(L"HttpSendResponseEntityBody failed with %lu \n",
                            (unsigned long)result);
                }
                goto Done;
            default:
                wprintf(L"HttpReceiveRequestEntityBody failed with %lu \n", (unsigned long)result);
                goto Done;
            }
        } while (TRUE);
    } else {
        /* No body: the status line alone. */
        result = HttpSendHttpResponse(hReqQueue, pRequest->RequestId, 0, &response, NULL,
                                      &bytesSent, NULL, 0, NULL, NULL);
        if (result != NO_ERROR) {
            wprintf(L"HttpSendHttpResponse failed with %lu \n", (unsigned long)result);
        }
    }

Done:
    if (pEntityBuffer) {
        FREE_MEM(pEntityBuffer);
    }
    if (hTempFile != INVALID_HANDLE_VALUE) {
        CloseHandle(hTempFile);
        DeleteFile(szTempName);
    }
    return result;
}

/* Windows starts the program at wmain with wide arguments; here they come as the locale's
 * multibyte text and are widened first. */
int main(int argc, char* argv[]) {
    setlocale(LC_ALL, "");
    wchar_t** wargv = (wchar_t**)calloc((size_t)argc + 1, sizeof(wchar_t*));
    if (wargv == NULL) {
        return 1;
    }
    for (int i = 0; i < argc; i++) {
        const size_t Length = mbstowcs(NULL, argv[i], 0);
        if (Length == (size_t)-1) {
            fprintf(stderr, "%s: argument %d is not valid text\n", argv[0], i);
            return 2;
        }
        wargv[i] = (wchar_t*)calloc(Length + 1, sizeof(wchar_t));
        if (wargv[i] == NULL) {
            return 1;
        }
        mbstowcs(wargv[i], argv[i], Length + 1);
    }
    const int Result = ServeUrls(argc, wargv);
    for (int i = 0; i < argc; i++) {
        free(wargv[i]);
    }
    free(wargv);
    return Result;
}

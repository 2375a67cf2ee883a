/* HeaderLayout: the Windows-named headers together, compiled as C and as C++. The records that
 * cross the API keep one layout in both languages (the 64-bit Windows sizes), and the macros a C
 * program uses expand to valid C. */
#include <windows.h>
#include <http.h>
#include <objbase.h>
#include <rpc.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#ifdef __cplusplus
#define LAYOUT_ASSERT(Condition, Text) static_assert(Condition, Text)
#else
#define LAYOUT_ASSERT(Condition, Text) _Static_assert(Condition, Text)
#endif

LAYOUT_ASSERT(sizeof(HTTP_DATA_CHUNK) == 32, "HTTP_DATA_CHUNK");
LAYOUT_ASSERT(sizeof(HTTP_REQUEST_V1) == 848, "HTTP_REQUEST_V1");
LAYOUT_ASSERT(sizeof(HTTP_REQUEST_V2) == 864, "HTTP_REQUEST_V2");
LAYOUT_ASSERT(sizeof(HTTP_RESPONSE_V1) == 552, "HTTP_RESPONSE_V1");
LAYOUT_ASSERT(sizeof(HTTP_RESPONSE_V2) == 568, "HTTP_RESPONSE_V2");
LAYOUT_ASSERT(sizeof(OVERLAPPED) == 32, "OVERLAPPED");
LAYOUT_ASSERT(sizeof(GUID) == 16, "GUID");
LAYOUT_ASSERT(sizeof(HTTP_SERVICE_CONFIG_SSL_SET) == 88, "HTTP_SERVICE_CONFIG_SSL_SET");

int LayoutUse(void);
int LayoutUse(void) {
    HTTP_REQUEST Request;
    HTTP_RESPONSE Response;
    HANDLE Invalid = INVALID_HANDLE_VALUE;
    SRWLOCK Lock = SRWLOCK_INIT;
    OVERLAPPED Overlapped;
    volatile LONG Counter = 0;
    char Buffer[4];
    RtlZeroMemory(&Request, sizeof(Request));
    ZeroMemory(&Response, sizeof(Response));
    FillMemory(Buffer, sizeof(Buffer), 'x');
    CopyMemory(Buffer, "abc", 3);
    MoveMemory(Buffer + 1, Buffer, 2);
    RtlZeroMemory(&Overlapped, sizeof(Overlapped));
    Request.RequestId = HTTP_NULL_ID;
    Response.StatusCode = 200;
    Response.pEntityChunks = (PHTTP_DATA_CHUNK)0;
    InterlockedIncrement(&Counter);
    MemoryBarrier();
    return (int)(Request.Verb + (Invalid != (HANDLE)0) + (Lock.Ptr == 0) +
                 HasOverlappedIoCompleted(&Overlapped) + MAKEWORD(2, 2) + (int)Counter +
                 (int)IS_INTRESOURCE(RT_RCDATA) + (int)SUCCEEDED(S_OK) + Buffer[0]);
}

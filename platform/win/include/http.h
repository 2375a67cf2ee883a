// http.h: the HTTP Server API (httpapi.dll) types, constants and functions.
//
// Same names, values and member order as the Windows header, so code written for the Windows
// HTTP Server API compiles unchanged, as C (C11 or later) and as C++. The functions live in
// libhttpapi.so; the programs load it at run time by the name "httpapi.dll", while tests may link
// it directly.
#pragma once

#include <windows.h>
#include <winsock2.h>

// Base types the Windows headers define elsewhere (identical typedefs may repeat).
typedef unsigned char BOOLEAN;
typedef UCHAR* PUCHAR;
typedef CHAR* PCHAR;
typedef WCHAR* PWCHAR;

// Error codes the HTTP Server API returns that the base header may not define yet (winerror.h).
#ifndef ERROR_BAD_COMMAND
#define ERROR_BAD_COMMAND 22L
#endif
#ifndef ERROR_DLL_INIT_FAILED
#define ERROR_DLL_INIT_FAILED 1114L
#endif
#ifndef ERROR_INVALID_NETNAME
#define ERROR_INVALID_NETNAME 1214L
#endif
#ifndef ERROR_REVISION_MISMATCH
#define ERROR_REVISION_MISMATCH 1306L
#endif

// ---- Versions and basic ids ------------------------------------------------------------------
typedef struct _HTTPAPI_VERSION {
    USHORT HttpApiMajorVersion;
    USHORT HttpApiMinorVersion;
} HTTPAPI_VERSION, *PHTTPAPI_VERSION;

#define HTTPAPI_VERSION_1                                                                          \
    { 1, 0 }
#define HTTPAPI_VERSION_2                                                                          \
    { 2, 0 }

#define HTTP_INITIALIZE_SERVER 0x00000001
#define HTTP_INITIALIZE_CONFIG 0x00000002
#define HTTP_DEMAND_CBT 0x00000004

typedef ULONGLONG HTTP_OPAQUE_ID, *PHTTP_OPAQUE_ID;
typedef HTTP_OPAQUE_ID HTTP_REQUEST_ID, *PHTTP_REQUEST_ID;
typedef HTTP_OPAQUE_ID HTTP_CONNECTION_ID, *PHTTP_CONNECTION_ID;
typedef HTTP_OPAQUE_ID HTTP_RAW_CONNECTION_ID, *PHTTP_RAW_CONNECTION_ID;
typedef HTTP_OPAQUE_ID HTTP_URL_GROUP_ID, *PHTTP_URL_GROUP_ID;
typedef HTTP_OPAQUE_ID HTTP_SERVER_SESSION_ID, *PHTTP_SERVER_SESSION_ID;
typedef ULONGLONG HTTP_URL_CONTEXT;

#define HTTP_NULL_ID (0ull)
#define HTTP_IS_NULL_ID(pid) (HTTP_NULL_ID == *(pid))
#define HTTP_SET_NULL_ID(pid) (*(pid) = HTTP_NULL_ID)
#define HTTP_BYTE_RANGE_TO_EOF ((ULONGLONG)-1)

typedef struct _HTTP_VERSION {
    USHORT MajorVersion;
    USHORT MinorVersion;
} HTTP_VERSION, *PHTTP_VERSION;

#define HTTP_VERSION_UNKNOWN                                                                       \
    { 0, 0 }
#define HTTP_VERSION_0_9                                                                           \
    { 0, 9 }
#define HTTP_VERSION_1_0                                                                           \
    { 1, 0 }
#define HTTP_VERSION_1_1                                                                           \
    { 1, 1 }
#define HTTP_VERSION_2_0                                                                           \
    { 2, 0 }
#define HTTP_VERSION_3_0                                                                           \
    { 3, 0 }

// ---- Flags -----------------------------------------------------------------------------------
#define HTTP_CREATE_REQUEST_QUEUE_FLAG_OPEN_EXISTING 0x00000001
#define HTTP_CREATE_REQUEST_QUEUE_FLAG_CONTROLLER 0x00000002
#define HTTP_CREATE_REQUEST_QUEUE_FLAG_DELEGATION 0x00000008

#define HTTP_RECEIVE_REQUEST_FLAG_COPY_BODY 0x00000001
#define HTTP_RECEIVE_REQUEST_FLAG_FLUSH_BODY 0x00000002
#define HTTP_RECEIVE_REQUEST_ENTITY_BODY_FLAG_FILL_BUFFER 0x00000001

#define HTTP_SEND_RESPONSE_FLAG_DISCONNECT 0x00000001
#define HTTP_SEND_RESPONSE_FLAG_MORE_DATA 0x00000002
#define HTTP_SEND_RESPONSE_FLAG_BUFFER_DATA 0x00000004
#define HTTP_SEND_RESPONSE_FLAG_RAW_HEADER 0x00000004
#define HTTP_SEND_RESPONSE_FLAG_ENABLE_NAGLING 0x00000008
#define HTTP_SEND_RESPONSE_FLAG_PROCESS_RANGES 0x00000020
#define HTTP_SEND_RESPONSE_FLAG_OPAQUE 0x00000040
#define HTTP_SEND_RESPONSE_FLAG_GOAWAY 0x00000100
#define HTTP_SEND_RESPONSE_FLAG_VALID 0x0000016F

#define HTTP_FLUSH_RESPONSE_FLAG_RECURSIVE 0x00000001

#define HTTP_URL_FLAG_REMOVE_ALL 0x00000001

#define HTTP_REQUEST_FLAG_MORE_ENTITY_BODY_EXISTS 0x00000001
#define HTTP_REQUEST_FLAG_IP_ROUTED 0x00000002
#define HTTP_REQUEST_FLAG_HTTP2 0x00000004
#define HTTP_REQUEST_FLAG_HTTP3 0x00000008

#define HTTP_RESPONSE_FLAG_MULTIPLE_ENCODINGS_AVAILABLE 0x00000001
#define HTTP_RESPONSE_FLAG_MORE_ENTITY_BODY_EXISTS 0x00000002

#define HTTP_RESPONSE_INFO_FLAGS_PRESERVE_ORDER 0x00000001

#define HTTP_MIN_SERVER_QUEUE_LENGTH 1
#define HTTP_MAX_SERVER_QUEUE_LENGTH 0x7FFFFFFF
#define HTTP_LIMIT_INFINITE ((ULONG)-1)
#define HTTP_MIN_ALLOWED_BANDWIDTH_THROTTLING_RATE ((ULONG)1024)
#define HTTP_MIN_ALLOWED_LOG_FILE_ROLLOVER_SIZE ((ULONG)(1 * 1024 * 1024))

#define HTTP_AUTH_ENABLE_BASIC 0x00000001
#define HTTP_AUTH_ENABLE_DIGEST 0x00000002
#define HTTP_AUTH_ENABLE_NTLM 0x00000004
#define HTTP_AUTH_ENABLE_NEGOTIATE 0x00000008
#define HTTP_AUTH_ENABLE_KERBEROS 0x00000010
#define HTTP_AUTH_ENABLE_ALL 0x0000001F

#define HTTP_LOGGING_FLAG_LOCAL_TIME_ROLLOVER 0x00000001
#define HTTP_LOGGING_FLAG_USE_UTF8_CONVERSION 0x00000002
#define HTTP_LOGGING_FLAG_LOG_ERRORS_ONLY 0x00000004
#define HTTP_LOGGING_FLAG_LOG_SUCCESS_ONLY 0x00000008

#define HTTP_LOG_FIELD_DATE 0x00000001
#define HTTP_LOG_FIELD_TIME 0x00000002
#define HTTP_LOG_FIELD_CLIENT_IP 0x00000004
#define HTTP_LOG_FIELD_USER_NAME 0x00000008
#define HTTP_LOG_FIELD_SITE_NAME 0x00000010
#define HTTP_LOG_FIELD_COMPUTER_NAME 0x00000020
#define HTTP_LOG_FIELD_SERVER_IP 0x00000040
#define HTTP_LOG_FIELD_METHOD 0x00000080
#define HTTP_LOG_FIELD_URI_STEM 0x00000100
#define HTTP_LOG_FIELD_URI_QUERY 0x00000200
#define HTTP_LOG_FIELD_STATUS 0x00000400
#define HTTP_LOG_FIELD_WIN32_STATUS 0x00000800
#define HTTP_LOG_FIELD_BYTES_SENT 0x00001000
#define HTTP_LOG_FIELD_BYTES_RECV 0x00002000
#define HTTP_LOG_FIELD_TIME_TAKEN 0x00004000
#define HTTP_LOG_FIELD_SERVER_PORT 0x00008000
#define HTTP_LOG_FIELD_USER_AGENT 0x00010000
#define HTTP_LOG_FIELD_COOKIE 0x00020000
#define HTTP_LOG_FIELD_REFERER 0x00040000
#define HTTP_LOG_FIELD_VERSION 0x00080000
#define HTTP_LOG_FIELD_HOST 0x00100000
#define HTTP_LOG_FIELD_SUB_STATUS 0x00200000

// ---- Properties ------------------------------------------------------------------------------
typedef enum _HTTP_SERVER_PROPERTY {
    HttpServerAuthenticationProperty = 0,
    HttpServerLoggingProperty = 1,
    HttpServerQosProperty = 2,
    HttpServerTimeoutsProperty = 3,
    HttpServerQueueLengthProperty = 4,
    HttpServerStateProperty = 5,
    HttpServer503VerbosityProperty = 6,
    HttpServerBindingProperty = 7,
    HttpServerExtendedAuthenticationProperty = 8,
    HttpServerListenEndpointProperty = 9,
    HttpServerChannelBindProperty = 10,
    HttpServerProtectionLevelProperty = 11,
    HttpServerDelegationProperty = 16
} HTTP_SERVER_PROPERTY,
    *PHTTP_SERVER_PROPERTY;

/// Bit 0 (Present) of a 32-bit word, as the Windows bit field lays it out.
typedef struct _HTTP_PROPERTY_FLAGS {
    ULONG Present : 1;
} HTTP_PROPERTY_FLAGS, *PHTTP_PROPERTY_FLAGS;

typedef enum _HTTP_ENABLED_STATE {
    HttpEnabledStateActive,
    HttpEnabledStateInactive
} HTTP_ENABLED_STATE,
    *PHTTP_ENABLED_STATE;

typedef struct _HTTP_STATE_INFO {
    HTTP_PROPERTY_FLAGS Flags;
    HTTP_ENABLED_STATE State;
} HTTP_STATE_INFO, *PHTTP_STATE_INFO;

typedef enum _HTTP_503_RESPONSE_VERBOSITY {
    Http503ResponseVerbosityBasic,
    Http503ResponseVerbosityLimited,
    Http503ResponseVerbosityFull
} HTTP_503_RESPONSE_VERBOSITY,
    *PHTTP_503_RESPONSE_VERBOSITY;

typedef enum _HTTP_QOS_SETTING_TYPE {
    HttpQosSettingTypeBandwidth,
    HttpQosSettingTypeConnectionLimit,
    HttpQosSettingTypeFlowRate
} HTTP_QOS_SETTING_TYPE,
    *PHTTP_QOS_SETTING_TYPE;

typedef struct _HTTP_QOS_SETTING_INFO {
    HTTP_QOS_SETTING_TYPE QosType;
    PVOID QosSetting;
} HTTP_QOS_SETTING_INFO, *PHTTP_QOS_SETTING_INFO;

typedef struct _HTTP_CONNECTION_LIMIT_INFO {
    HTTP_PROPERTY_FLAGS Flags;
    ULONG MaxConnections;
} HTTP_CONNECTION_LIMIT_INFO, *PHTTP_CONNECTION_LIMIT_INFO;

typedef struct _HTTP_BANDWIDTH_LIMIT_INFO {
    HTTP_PROPERTY_FLAGS Flags;
    ULONG MaxBandwidth;
} HTTP_BANDWIDTH_LIMIT_INFO, *PHTTP_BANDWIDTH_LIMIT_INFO;

typedef struct _HTTP_FLOWRATE_INFO {
    HTTP_PROPERTY_FLAGS Flags;
    ULONG MaxBandwidth;
    ULONG MaxPeakBandwidth;
    ULONG BurstSize;
} HTTP_FLOWRATE_INFO, *PHTTP_FLOWRATE_INFO;

typedef struct _HTTP_TIMEOUT_LIMIT_INFO {
    HTTP_PROPERTY_FLAGS Flags;
    USHORT EntityBody;
    USHORT DrainEntityBody;
    USHORT RequestQueue;
    USHORT IdleConnection;
    USHORT HeaderWait;
    ULONG MinSendRate;
} HTTP_TIMEOUT_LIMIT_INFO, *PHTTP_TIMEOUT_LIMIT_INFO;

typedef struct _HTTP_LISTEN_ENDPOINT_INFO {
    HTTP_PROPERTY_FLAGS Flags;
    BOOLEAN EnableSharing;
} HTTP_LISTEN_ENDPOINT_INFO, *PHTTP_LISTEN_ENDPOINT_INFO;

typedef struct _HTTP_BINDING_INFO {
    HTTP_PROPERTY_FLAGS Flags;
    HANDLE RequestQueueHandle;
} HTTP_BINDING_INFO, *PHTTP_BINDING_INFO;

typedef struct _HTTP_SERVER_AUTHENTICATION_DIGEST_PARAMS {
    USHORT DomainNameLength;
    PWSTR DomainName;
    USHORT RealmLength;
    PWSTR Realm;
} HTTP_SERVER_AUTHENTICATION_DIGEST_PARAMS, *PHTTP_SERVER_AUTHENTICATION_DIGEST_PARAMS;

typedef struct _HTTP_SERVER_AUTHENTICATION_BASIC_PARAMS {
    USHORT RealmLength;
    PWSTR Realm;
} HTTP_SERVER_AUTHENTICATION_BASIC_PARAMS, *PHTTP_SERVER_AUTHENTICATION_BASIC_PARAMS;

typedef struct _HTTP_SERVER_AUTHENTICATION_INFO {
    HTTP_PROPERTY_FLAGS Flags;
    ULONG AuthSchemes;
    BOOLEAN ReceiveMutualAuth;
    BOOLEAN ReceiveContextHandle;
    BOOLEAN DisableNTLMCredentialCaching;
    UCHAR ExFlags;
    HTTP_SERVER_AUTHENTICATION_DIGEST_PARAMS DigestParams;
    HTTP_SERVER_AUTHENTICATION_BASIC_PARAMS BasicParams;
} HTTP_SERVER_AUTHENTICATION_INFO, *PHTTP_SERVER_AUTHENTICATION_INFO;

typedef enum _HTTP_LOGGING_TYPE {
    HttpLoggingTypeW3C,
    HttpLoggingTypeIIS,
    HttpLoggingTypeNCSA,
    HttpLoggingTypeRaw
} HTTP_LOGGING_TYPE,
    *PHTTP_LOGGING_TYPE;

typedef enum _HTTP_LOGGING_ROLLOVER_TYPE {
    HttpLoggingRolloverSize,
    HttpLoggingRolloverDaily,
    HttpLoggingRolloverWeekly,
    HttpLoggingRolloverMonthly,
    HttpLoggingRolloverHourly
} HTTP_LOGGING_ROLLOVER_TYPE,
    *PHTTP_LOGGING_ROLLOVER_TYPE;

typedef struct _HTTP_LOGGING_INFO {
    HTTP_PROPERTY_FLAGS Flags;
    ULONG LoggingFlags;
    PCWSTR SoftwareName;
    USHORT SoftwareNameLength;
    USHORT DirectoryNameLength;
    PCWSTR DirectoryName;
    HTTP_LOGGING_TYPE Format;
    ULONG Fields;
    PVOID pExtFields;
    USHORT NumOfExtFields;
    USHORT MaxRecordSize;
    HTTP_LOGGING_ROLLOVER_TYPE RolloverType;
    ULONG RolloverSize;
    PVOID pSecurityDescriptor;
} HTTP_LOGGING_INFO, *PHTTP_LOGGING_INFO;

// ---- Requests --------------------------------------------------------------------------------
typedef enum _HTTP_VERB {
    HttpVerbUnparsed,
    HttpVerbUnknown,
    HttpVerbInvalid,
    HttpVerbOPTIONS,
    HttpVerbGET,
    HttpVerbHEAD,
    HttpVerbPOST,
    HttpVerbPUT,
    HttpVerbDELETE,
    HttpVerbTRACE,
    HttpVerbCONNECT,
    HttpVerbTRACK,
    HttpVerbMOVE,
    HttpVerbCOPY,
    HttpVerbPROPFIND,
    HttpVerbPROPPATCH,
    HttpVerbMKCOL,
    HttpVerbLOCK,
    HttpVerbUNLOCK,
    HttpVerbSEARCH,
    HttpVerbMaximum
} HTTP_VERB,
    *PHTTP_VERB;

typedef enum _HTTP_HEADER_ID {
    HttpHeaderCacheControl = 0,
    HttpHeaderConnection = 1,
    HttpHeaderDate = 2,
    HttpHeaderKeepAlive = 3,
    HttpHeaderPragma = 4,
    HttpHeaderTrailer = 5,
    HttpHeaderTransferEncoding = 6,
    HttpHeaderUpgrade = 7,
    HttpHeaderVia = 8,
    HttpHeaderWarning = 9,
    HttpHeaderAllow = 10,
    HttpHeaderContentLength = 11,
    HttpHeaderContentType = 12,
    HttpHeaderContentEncoding = 13,
    HttpHeaderContentLanguage = 14,
    HttpHeaderContentLocation = 15,
    HttpHeaderContentMd5 = 16,
    HttpHeaderContentRange = 17,
    HttpHeaderExpires = 18,
    HttpHeaderLastModified = 19,
    // Request headers
    HttpHeaderAccept = 20,
    HttpHeaderAcceptCharset = 21,
    HttpHeaderAcceptEncoding = 22,
    HttpHeaderAcceptLanguage = 23,
    HttpHeaderAuthorization = 24,
    HttpHeaderCookie = 25,
    HttpHeaderExpect = 26,
    HttpHeaderFrom = 27,
    HttpHeaderHost = 28,
    HttpHeaderIfMatch = 29,
    HttpHeaderIfModifiedSince = 30,
    HttpHeaderIfNoneMatch = 31,
    HttpHeaderIfRange = 32,
    HttpHeaderIfUnmodifiedSince = 33,
    HttpHeaderMaxForwards = 34,
    HttpHeaderProxyAuthorization = 35,
    HttpHeaderReferer = 36,
    HttpHeaderRange = 37,
    HttpHeaderTe = 38,
    HttpHeaderTranslate = 39,
    HttpHeaderUserAgent = 40,
    HttpHeaderRequestMaximum = 41,
    // Response headers
    HttpHeaderAcceptRanges = 20,
    HttpHeaderAge = 21,
    HttpHeaderEtag = 22,
    HttpHeaderLocation = 23,
    HttpHeaderProxyAuthenticate = 24,
    HttpHeaderRetryAfter = 25,
    HttpHeaderServer = 26,
    HttpHeaderSetCookie = 27,
    HttpHeaderVary = 28,
    HttpHeaderWwwAuthenticate = 29,
    HttpHeaderResponseMaximum = 30,
    HttpHeaderMaximum = 41
} HTTP_HEADER_ID,
    *PHTTP_HEADER_ID;

typedef struct _HTTP_KNOWN_HEADER {
    USHORT RawValueLength;
    PCSTR pRawValue;
} HTTP_KNOWN_HEADER, *PHTTP_KNOWN_HEADER;

typedef struct _HTTP_UNKNOWN_HEADER {
    USHORT NameLength;
    USHORT RawValueLength;
    PCSTR pName;
    PCSTR pRawValue;
} HTTP_UNKNOWN_HEADER, *PHTTP_UNKNOWN_HEADER;

typedef struct _HTTP_COOKED_URL {
    USHORT FullUrlLength;
    USHORT HostLength;
    USHORT AbsPathLength;
    USHORT QueryStringLength;
    PCWSTR pFullUrl;
    PCWSTR pHost;
    PCWSTR pAbsPath;
    PCWSTR pQueryString;
} HTTP_COOKED_URL, *PHTTP_COOKED_URL;

typedef struct _HTTP_TRANSPORT_ADDRESS {
    PSOCKADDR pRemoteAddress;
    PSOCKADDR pLocalAddress;
} HTTP_TRANSPORT_ADDRESS, *PHTTP_TRANSPORT_ADDRESS;

typedef struct _HTTP_REQUEST_HEADERS {
    USHORT UnknownHeaderCount;
    PHTTP_UNKNOWN_HEADER pUnknownHeaders;
    USHORT TrailerCount;
    PHTTP_UNKNOWN_HEADER pTrailers;
    HTTP_KNOWN_HEADER KnownHeaders[HttpHeaderRequestMaximum];
} HTTP_REQUEST_HEADERS, *PHTTP_REQUEST_HEADERS;

typedef struct _HTTP_RESPONSE_HEADERS {
    USHORT UnknownHeaderCount;
    PHTTP_UNKNOWN_HEADER pUnknownHeaders;
    USHORT TrailerCount;
    PHTTP_UNKNOWN_HEADER pTrailers;
    HTTP_KNOWN_HEADER KnownHeaders[HttpHeaderResponseMaximum];
} HTTP_RESPONSE_HEADERS, *PHTTP_RESPONSE_HEADERS;

typedef enum _HTTP_DATA_CHUNK_TYPE {
    HttpDataChunkFromMemory,
    HttpDataChunkFromFileHandle,
    HttpDataChunkFromFragmentCache,
    HttpDataChunkFromFragmentCacheEx,
    HttpDataChunkTrailers,
    HttpDataChunkMaximum
} HTTP_DATA_CHUNK_TYPE,
    *PHTTP_DATA_CHUNK_TYPE;

typedef struct _HTTP_BYTE_RANGE {
    ULARGE_INTEGER StartingOffset;
    ULARGE_INTEGER Length;
} HTTP_BYTE_RANGE, *PHTTP_BYTE_RANGE;

typedef struct _HTTP_DATA_CHUNK {
    HTTP_DATA_CHUNK_TYPE DataChunkType;
    union {
        struct {
            PVOID pBuffer;
            ULONG BufferLength;
        } FromMemory;
        struct {
            HTTP_BYTE_RANGE ByteRange;
            HANDLE FileHandle;
        } FromFileHandle;
        struct {
            USHORT FragmentNameLength;
            PCWSTR pFragmentName;
        } FromFragmentCache;
        struct {
            HTTP_BYTE_RANGE ByteRange;
            PCWSTR pFragmentName;
        } FromFragmentCacheEx;
        struct {
            USHORT TrailerCount;
            PHTTP_UNKNOWN_HEADER pTrailers;
        } Trailers;
    };
} HTTP_DATA_CHUNK, *PHTTP_DATA_CHUNK;

typedef struct _HTTP_SSL_CLIENT_CERT_INFO {
    ULONG CertFlags;
    ULONG CertEncodedSize;
    PUCHAR pCertEncoded;
    HANDLE Token;
    BOOLEAN CertDeniedByMapper;
} HTTP_SSL_CLIENT_CERT_INFO, *PHTTP_SSL_CLIENT_CERT_INFO;

typedef struct _HTTP_SSL_INFO {
    USHORT ServerCertKeySize;
    USHORT ConnectionKeySize;
    ULONG ServerCertIssuerSize;
    ULONG ServerCertSubjectSize;
    PCSTR pServerCertIssuer;
    PCSTR pServerCertSubject;
    PHTTP_SSL_CLIENT_CERT_INFO pClientCertInfo;
    ULONG SslClientCertNegotiated;
} HTTP_SSL_INFO, *PHTTP_SSL_INFO;

typedef enum _HTTP_REQUEST_INFO_TYPE {
    HttpRequestInfoTypeAuth,
    HttpRequestInfoTypeChannelBind,
    HttpRequestInfoTypeSslProtocol,
    HttpRequestInfoTypeSslTokenBindingDraft,
    HttpRequestInfoTypeSslTokenBinding,
    HttpRequestInfoTypeRequestTiming,
    HttpRequestInfoTypeTcpInfoV0,
    HttpRequestInfoTypeRequestSizing,
    HttpRequestInfoTypeQuicStats,
    HttpRequestInfoTypeTcpInfoV1
} HTTP_REQUEST_INFO_TYPE,
    *PHTTP_REQUEST_INFO_TYPE;

typedef struct _HTTP_REQUEST_INFO {
    HTTP_REQUEST_INFO_TYPE InfoType;
    ULONG InfoLength;
    PVOID pInfo;
} HTTP_REQUEST_INFO, *PHTTP_REQUEST_INFO;

#ifndef ALGIDDEF
#define ALGIDDEF
typedef unsigned int ALG_ID;
#endif

// The pInfo of an HttpRequestInfoTypeSslProtocol entry.
typedef struct _HTTP_SSL_PROTOCOL_INFO {
    ULONG Protocol;
    ALG_ID CipherType;
    ULONG CipherStrength;
    ALG_ID HashType;
    ULONG HashStrength;
    ALG_ID KeyExchangeType;
    ULONG KeyExchangeStrength;
} HTTP_SSL_PROTOCOL_INFO, *PHTTP_SSL_PROTOCOL_INFO;

typedef enum _HTTP_AUTH_STATUS {
    HttpAuthStatusSuccess,
    HttpAuthStatusNotAuthenticated,
    HttpAuthStatusFailure
} HTTP_AUTH_STATUS,
    *PHTTP_AUTH_STATUS;

typedef enum _HTTP_REQUEST_AUTH_TYPE {
    HttpRequestAuthTypeNone,
    HttpRequestAuthTypeBasic,
    HttpRequestAuthTypeDigest,
    HttpRequestAuthTypeNTLM,
    HttpRequestAuthTypeNegotiate,
    HttpRequestAuthTypeKerberos
} HTTP_REQUEST_AUTH_TYPE,
    *PHTTP_REQUEST_AUTH_TYPE;

#define HTTP_REQUEST_AUTH_FLAG_TOKEN_FOR_CACHED_CRED 0x00000001
typedef LONG SECURITY_STATUS;
// The logon failed (the credentials were not accepted).
#define SEC_E_LOGON_DENIED ((SECURITY_STATUS)0x8009030C)

typedef struct _HTTP_REQUEST_AUTH_INFO {
    HTTP_AUTH_STATUS AuthStatus;
    SECURITY_STATUS SecStatus;
    ULONG Flags;
    HTTP_REQUEST_AUTH_TYPE AuthType;
    HANDLE AccessToken;
    ULONG ContextAttributes;
    ULONG PackedContextLength;
    ULONG PackedContextType;
    PVOID PackedContext;
    ULONG MutualAuthDataLength;
    PCHAR pMutualAuthData;
    USHORT PackageNameLength;
    PWSTR pPackageName;
} HTTP_REQUEST_AUTH_INFO, *PHTTP_REQUEST_AUTH_INFO;

// The members of HTTP_REQUEST_V1. C has no derived structures, so its HTTP_REQUEST_V2 repeats
// them; the offsets are the same (the V1 part ends on an 8-byte boundary).
#define HTTP_REQUEST_V1_MEMBERS                                                                    \
    ULONG Flags;                                                                                   \
    HTTP_CONNECTION_ID ConnectionId;                                                               \
    HTTP_REQUEST_ID RequestId;                                                                     \
    HTTP_URL_CONTEXT UrlContext;                                                                   \
    HTTP_VERSION Version;                                                                          \
    HTTP_VERB Verb;                                                                                \
    USHORT UnknownVerbLength;                                                                      \
    USHORT RawUrlLength;                                                                           \
    PCSTR pUnknownVerb;                                                                            \
    PCSTR pRawUrl;                                                                                 \
    HTTP_COOKED_URL CookedUrl;                                                                     \
    HTTP_TRANSPORT_ADDRESS Address;                                                                \
    HTTP_REQUEST_HEADERS Headers;                                                                  \
    ULONGLONG BytesReceived;                                                                       \
    USHORT EntityChunkCount;                                                                       \
    PHTTP_DATA_CHUNK pEntityChunks;                                                                \
    HTTP_RAW_CONNECTION_ID RawConnectionId;                                                        \
    PHTTP_SSL_INFO pSslInfo;

typedef struct _HTTP_REQUEST_V1 {
    HTTP_REQUEST_V1_MEMBERS
} HTTP_REQUEST_V1, *PHTTP_REQUEST_V1;

#ifdef __cplusplus
typedef struct _HTTP_REQUEST_V2 : _HTTP_REQUEST_V1 {
#else
typedef struct _HTTP_REQUEST_V2 {
    HTTP_REQUEST_V1_MEMBERS
#endif
    USHORT RequestInfoCount;
    PHTTP_REQUEST_INFO pRequestInfo;
} HTTP_REQUEST_V2, *PHTTP_REQUEST_V2;

typedef HTTP_REQUEST_V2 HTTP_REQUEST, *PHTTP_REQUEST;

// ---- Responses -------------------------------------------------------------------------------
typedef enum _HTTP_RESPONSE_INFO_TYPE {
    HttpResponseInfoTypeMultipleKnownHeaders,
    HttpResponseInfoTypeAuthenticationProperty,
    HttpResponseInfoTypeQoSProperty,
    HttpResponseInfoTypeChannelBind
} HTTP_RESPONSE_INFO_TYPE,
    *PHTTP_RESPONSE_INFO_TYPE;

typedef struct _HTTP_RESPONSE_INFO {
    HTTP_RESPONSE_INFO_TYPE Type;
    ULONG Length;
    PVOID pInfo;
} HTTP_RESPONSE_INFO, *PHTTP_RESPONSE_INFO;

typedef struct _HTTP_MULTIPLE_KNOWN_HEADERS {
    HTTP_HEADER_ID HeaderId;
    ULONG Flags;
    USHORT KnownHeaderCount;
    PHTTP_KNOWN_HEADER KnownHeaders;
} HTTP_MULTIPLE_KNOWN_HEADERS, *PHTTP_MULTIPLE_KNOWN_HEADERS;

// The members of HTTP_RESPONSE_V1, repeated by C's HTTP_RESPONSE_V2 as for the request.
#define HTTP_RESPONSE_V1_MEMBERS                                                                   \
    ULONG Flags;                                                                                   \
    HTTP_VERSION Version;                                                                          \
    USHORT StatusCode;                                                                             \
    USHORT ReasonLength;                                                                           \
    PCSTR pReason;                                                                                 \
    HTTP_RESPONSE_HEADERS Headers;                                                                 \
    USHORT EntityChunkCount;                                                                       \
    PHTTP_DATA_CHUNK pEntityChunks;

typedef struct _HTTP_RESPONSE_V1 {
    HTTP_RESPONSE_V1_MEMBERS
} HTTP_RESPONSE_V1, *PHTTP_RESPONSE_V1;

#ifdef __cplusplus
typedef struct _HTTP_RESPONSE_V2 : _HTTP_RESPONSE_V1 {
#else
typedef struct _HTTP_RESPONSE_V2 {
    HTTP_RESPONSE_V1_MEMBERS
#endif
    USHORT ResponseInfoCount;
    PHTTP_RESPONSE_INFO pResponseInfo;
} HTTP_RESPONSE_V2, *PHTTP_RESPONSE_V2;

typedef HTTP_RESPONSE_V2 HTTP_RESPONSE, *PHTTP_RESPONSE;

typedef enum _HTTP_CACHE_POLICY_TYPE {
    HttpCachePolicyNocache,
    HttpCachePolicyUserInvalidates,
    HttpCachePolicyTimeToLive,
    HttpCachePolicyMaximum
} HTTP_CACHE_POLICY_TYPE,
    *PHTTP_CACHE_POLICY_TYPE;

typedef struct _HTTP_CACHE_POLICY {
    HTTP_CACHE_POLICY_TYPE Policy;
    ULONG SecondsToLive;
} HTTP_CACHE_POLICY, *PHTTP_CACHE_POLICY;

typedef enum _HTTP_LOG_DATA_TYPE { HttpLogDataTypeFields = 0 } HTTP_LOG_DATA_TYPE;

typedef struct _HTTP_LOG_DATA {
    HTTP_LOG_DATA_TYPE Type;
} HTTP_LOG_DATA, *PHTTP_LOG_DATA;

typedef struct _HTTP_LOG_FIELDS_DATA {
    HTTP_LOG_DATA Base;
    USHORT UserNameLength;
    USHORT UriStemLength;
    USHORT ClientIpLength;
    USHORT ServerNameLength;
    USHORT ServiceNameLength;
    USHORT ServerIpLength;
    USHORT MethodLength;
    USHORT UriQueryLength;
    USHORT HostLength;
    USHORT UserAgentLength;
    USHORT CookieLength;
    USHORT ReferrerLength;
    PWCHAR UserName;
    PWCHAR UriStem;
    PCHAR ClientIp;
    PCHAR ServerName;
    PCHAR ServiceName;
    PCHAR ServerIp;
    PCHAR Method;
    PCHAR UriQuery;
    PCHAR Host;
    PCHAR UserAgent;
    PCHAR Cookie;
    PCHAR Referrer;
    USHORT ServerPort;
    USHORT ProtocolStatus;
    ULONG Win32Status;
    HTTP_VERB MethodNum;
    USHORT SubStatus;
} HTTP_LOG_FIELDS_DATA, *PHTTP_LOG_FIELDS_DATA;

// ---- Service configuration -------------------------------------------------------------------
typedef enum _HTTP_SERVICE_CONFIG_ID {
    HttpServiceConfigIPListenList,
    HttpServiceConfigSSLCertInfo,
    HttpServiceConfigUrlAclInfo,
    HttpServiceConfigTimeout,
    HttpServiceConfigCache,
    HttpServiceConfigSslSniCertInfo,
    HttpServiceConfigSslCcsCertInfo,
    HttpServiceConfigSetting,
    HttpServiceConfigSslCertInfoEx,
    HttpServiceConfigSslSniCertInfoEx,
    HttpServiceConfigSslCcsCertInfoEx,
    HttpServiceConfigSslScopedCcsCertInfo,
    HttpServiceConfigSslScopedCcsCertInfoEx,
    HttpServiceConfigMax
} HTTP_SERVICE_CONFIG_ID,
    *PHTTP_SERVICE_CONFIG_ID;

typedef enum _HTTP_SERVICE_CONFIG_QUERY_TYPE {
    HttpServiceConfigQueryExact,
    HttpServiceConfigQueryNext,
    HttpServiceConfigQueryMax
} HTTP_SERVICE_CONFIG_QUERY_TYPE,
    *PHTTP_SERVICE_CONFIG_QUERY_TYPE;

typedef struct _HTTP_SERVICE_CONFIG_SSL_KEY {
    PSOCKADDR pIpPort;
} HTTP_SERVICE_CONFIG_SSL_KEY, *PHTTP_SERVICE_CONFIG_SSL_KEY;

#define HTTP_SERVICE_CONFIG_SSL_FLAG_USE_DS_MAPPER 0x00000001
#define HTTP_SERVICE_CONFIG_SSL_FLAG_NEGOTIATE_CLIENT_CERT 0x00000002
#define HTTP_SERVICE_CONFIG_SSL_FLAG_NO_RAW_FILTER 0x00000004
#define HTTP_SERVICE_CONFIG_SSL_FLAG_REJECT 0x00000008

typedef struct _HTTP_SERVICE_CONFIG_SSL_PARAM {
    ULONG SslHashLength;
    PVOID pSslHash;
    GUID AppId;
    PWSTR pSslCertStoreName;
    DWORD DefaultCertCheckMode;
    DWORD DefaultRevocationFreshnessTime;
    DWORD DefaultRevocationUrlRetrievalTimeout;
    PWSTR pDefaultSslCtlIdentifier;
    PWSTR pDefaultSslCtlStoreName;
    DWORD DefaultFlags;
} HTTP_SERVICE_CONFIG_SSL_PARAM, *PHTTP_SERVICE_CONFIG_SSL_PARAM;

typedef struct _HTTP_SERVICE_CONFIG_SSL_SET {
    HTTP_SERVICE_CONFIG_SSL_KEY KeyDesc;
    HTTP_SERVICE_CONFIG_SSL_PARAM ParamDesc;
} HTTP_SERVICE_CONFIG_SSL_SET, *PHTTP_SERVICE_CONFIG_SSL_SET;

typedef struct _HTTP_SERVICE_CONFIG_SSL_QUERY {
    HTTP_SERVICE_CONFIG_QUERY_TYPE QueryDesc;
    HTTP_SERVICE_CONFIG_SSL_KEY KeyDesc;
    DWORD dwToken;
} HTTP_SERVICE_CONFIG_SSL_QUERY, *PHTTP_SERVICE_CONFIG_SSL_QUERY;

typedef struct _HTTP_SERVICE_CONFIG_IP_LISTEN_PARAM {
    USHORT AddrLength;
    PSOCKADDR pAddress;
} HTTP_SERVICE_CONFIG_IP_LISTEN_PARAM, *PHTTP_SERVICE_CONFIG_IP_LISTEN_PARAM;

typedef struct _HTTP_SERVICE_CONFIG_IP_LISTEN_QUERY {
    ULONG AddrCount;
    SOCKADDR_STORAGE AddrList[ANYSIZE_ARRAY];
} HTTP_SERVICE_CONFIG_IP_LISTEN_QUERY, *PHTTP_SERVICE_CONFIG_IP_LISTEN_QUERY;

typedef struct _HTTP_SERVICE_CONFIG_SSL_SNI_KEY {
    SOCKADDR_STORAGE IpPort;
    PWSTR Host;
} HTTP_SERVICE_CONFIG_SSL_SNI_KEY, *PHTTP_SERVICE_CONFIG_SSL_SNI_KEY;

typedef struct _HTTP_SERVICE_CONFIG_SSL_SNI_SET {
    HTTP_SERVICE_CONFIG_SSL_SNI_KEY KeyDesc;
    HTTP_SERVICE_CONFIG_SSL_PARAM ParamDesc;
} HTTP_SERVICE_CONFIG_SSL_SNI_SET, *PHTTP_SERVICE_CONFIG_SSL_SNI_SET;

typedef struct _HTTP_SERVICE_CONFIG_SSL_SNI_QUERY {
    HTTP_SERVICE_CONFIG_QUERY_TYPE QueryDesc;
    HTTP_SERVICE_CONFIG_SSL_SNI_KEY KeyDesc;
    DWORD dwToken;
} HTTP_SERVICE_CONFIG_SSL_SNI_QUERY, *PHTTP_SERVICE_CONFIG_SSL_SNI_QUERY;

typedef struct _HTTP_SERVICE_CONFIG_URLACL_KEY {
    PWSTR pUrlPrefix;
} HTTP_SERVICE_CONFIG_URLACL_KEY, *PHTTP_SERVICE_CONFIG_URLACL_KEY;

typedef struct _HTTP_SERVICE_CONFIG_URLACL_PARAM {
    PWSTR pStringSecurityDescriptor;
} HTTP_SERVICE_CONFIG_URLACL_PARAM, *PHTTP_SERVICE_CONFIG_URLACL_PARAM;

typedef struct _HTTP_SERVICE_CONFIG_URLACL_SET {
    HTTP_SERVICE_CONFIG_URLACL_KEY KeyDesc;
    HTTP_SERVICE_CONFIG_URLACL_PARAM ParamDesc;
} HTTP_SERVICE_CONFIG_URLACL_SET, *PHTTP_SERVICE_CONFIG_URLACL_SET;

typedef struct _HTTP_SERVICE_CONFIG_URLACL_QUERY {
    HTTP_SERVICE_CONFIG_QUERY_TYPE QueryDesc;
    HTTP_SERVICE_CONFIG_URLACL_KEY KeyDesc;
    DWORD dwToken;
} HTTP_SERVICE_CONFIG_URLACL_QUERY, *PHTTP_SERVICE_CONFIG_URLACL_QUERY;

typedef enum _HTTP_SERVICE_CONFIG_TIMEOUT_KEY {
    IdleConnectionTimeout = 0,
    HeaderWaitTimeout
} HTTP_SERVICE_CONFIG_TIMEOUT_KEY,
    *PHTTP_SERVICE_CONFIG_TIMEOUT_KEY;

typedef USHORT HTTP_SERVICE_CONFIG_TIMEOUT_PARAM, *PHTTP_SERVICE_CONFIG_TIMEOUT_PARAM;

typedef struct _HTTP_SERVICE_CONFIG_TIMEOUT_SET {
    HTTP_SERVICE_CONFIG_TIMEOUT_KEY KeyDesc;
    HTTP_SERVICE_CONFIG_TIMEOUT_PARAM ParamDesc;
} HTTP_SERVICE_CONFIG_TIMEOUT_SET, *PHTTP_SERVICE_CONFIG_TIMEOUT_SET;

// ---- Functions -------------------------------------------------------------------------------
WINAPI_BEGIN_C
ULONG WINAPI HttpInitialize(HTTPAPI_VERSION Version, ULONG Flags, PVOID pReserved) WINAPI_NOTHROW;
ULONG WINAPI HttpTerminate(ULONG Flags, PVOID pReserved) WINAPI_NOTHROW;

ULONG WINAPI HttpCreateHttpHandle(PHANDLE RequestQueueHandle, ULONG Reserved) WINAPI_NOTHROW;
ULONG WINAPI HttpCreateRequestQueue(HTTPAPI_VERSION Version, PCWSTR Name,
                                    PSECURITY_ATTRIBUTES SecurityAttributes, ULONG Flags,
                                    PHANDLE RequestQueueHandle) WINAPI_NOTHROW;
ULONG WINAPI HttpCloseRequestQueue(HANDLE RequestQueueHandle) WINAPI_NOTHROW;
ULONG WINAPI HttpSetRequestQueueProperty(HANDLE RequestQueueHandle, HTTP_SERVER_PROPERTY Property,
                                         PVOID PropertyInformation, ULONG PropertyInformationLength,
                                         ULONG Reserved1, PVOID Reserved2) WINAPI_NOTHROW;
ULONG WINAPI HttpQueryRequestQueueProperty(HANDLE RequestQueueHandle, HTTP_SERVER_PROPERTY Property,
                                           PVOID PropertyInformation,
                                           ULONG PropertyInformationLength, ULONG Reserved1,
                                           PULONG ReturnLength, PVOID Reserved2) WINAPI_NOTHROW;
ULONG WINAPI HttpShutdownRequestQueue(HANDLE RequestQueueHandle) WINAPI_NOTHROW;
ULONG WINAPI HttpReceiveClientCertificate(HANDLE RequestQueueHandle,
                                          HTTP_CONNECTION_ID ConnectionId, ULONG Flags,
                                          PHTTP_SSL_CLIENT_CERT_INFO SslClientCertInfo,
                                          ULONG SslClientCertInfoSize, PULONG BytesReceived,
                                          LPOVERLAPPED Overlapped) WINAPI_NOTHROW;

ULONG WINAPI HttpCreateServerSession(HTTPAPI_VERSION Version,
                                     PHTTP_SERVER_SESSION_ID ServerSessionId,
                                     ULONG Reserved) WINAPI_NOTHROW;
ULONG WINAPI HttpCloseServerSession(HTTP_SERVER_SESSION_ID ServerSessionId) WINAPI_NOTHROW;
ULONG WINAPI HttpSetServerSessionProperty(HTTP_SERVER_SESSION_ID ServerSessionId,
                                          HTTP_SERVER_PROPERTY Property, PVOID PropertyInformation,
                                          ULONG PropertyInformationLength) WINAPI_NOTHROW;

ULONG WINAPI HttpAddUrl(HANDLE RequestQueueHandle, PCWSTR FullyQualifiedUrl,
                        PVOID Reserved) WINAPI_NOTHROW;
ULONG WINAPI HttpRemoveUrl(HANDLE RequestQueueHandle, PCWSTR FullyQualifiedUrl) WINAPI_NOTHROW;

ULONG WINAPI HttpCreateUrlGroup(HTTP_SERVER_SESSION_ID ServerSessionId,
                                PHTTP_URL_GROUP_ID pUrlGroupId, ULONG Reserved) WINAPI_NOTHROW;
ULONG WINAPI HttpCloseUrlGroup(HTTP_URL_GROUP_ID UrlGroupId) WINAPI_NOTHROW;
ULONG WINAPI HttpAddUrlToUrlGroup(HTTP_URL_GROUP_ID UrlGroupId, PCWSTR pFullyQualifiedUrl,
                                  HTTP_URL_CONTEXT UrlContext, ULONG Reserved) WINAPI_NOTHROW;
ULONG WINAPI HttpRemoveUrlFromUrlGroup(HTTP_URL_GROUP_ID UrlGroupId, PCWSTR pFullyQualifiedUrl,
                                       ULONG Flags) WINAPI_NOTHROW;
ULONG WINAPI HttpSetUrlGroupProperty(HTTP_URL_GROUP_ID UrlGroupId, HTTP_SERVER_PROPERTY Property,
                                     PVOID PropertyInformation,
                                     ULONG PropertyInformationLength) WINAPI_NOTHROW;

ULONG WINAPI HttpReceiveHttpRequest(HANDLE RequestQueueHandle, HTTP_REQUEST_ID RequestId,
                                    ULONG Flags, PHTTP_REQUEST RequestBuffer,
                                    ULONG RequestBufferLength, PULONG BytesReturned,
                                    LPOVERLAPPED Overlapped) WINAPI_NOTHROW;
ULONG WINAPI HttpReceiveRequestEntityBody(HANDLE RequestQueueHandle, HTTP_REQUEST_ID RequestId,
                                          ULONG Flags, PVOID EntityBuffer, ULONG EntityBufferLength,
                                          PULONG BytesReturned,
                                          LPOVERLAPPED Overlapped) WINAPI_NOTHROW;
ULONG WINAPI HttpSendHttpResponse(HANDLE RequestQueueHandle, HTTP_REQUEST_ID RequestId, ULONG Flags,
                                  PHTTP_RESPONSE HttpResponse, PHTTP_CACHE_POLICY CachePolicy,
                                  PULONG BytesSent, PVOID Reserved1, ULONG Reserved2,
                                  LPOVERLAPPED Overlapped, PHTTP_LOG_DATA LogData) WINAPI_NOTHROW;
ULONG WINAPI HttpSendResponseEntityBody(HANDLE RequestQueueHandle, HTTP_REQUEST_ID RequestId,
                                        ULONG Flags, USHORT EntityChunkCount,
                                        PHTTP_DATA_CHUNK EntityChunks, PULONG BytesSent,
                                        PVOID Reserved1, ULONG Reserved2, LPOVERLAPPED Overlapped,
                                        PHTTP_LOG_DATA LogData) WINAPI_NOTHROW;
ULONG WINAPI HttpWaitForDisconnect(HANDLE RequestQueueHandle, HTTP_CONNECTION_ID ConnectionId,
                                   LPOVERLAPPED Overlapped) WINAPI_NOTHROW;
ULONG WINAPI HttpWaitForDisconnectEx(HANDLE RequestQueueHandle, HTTP_CONNECTION_ID ConnectionId,
                                     ULONG Reserved, LPOVERLAPPED Overlapped) WINAPI_NOTHROW;
ULONG WINAPI HttpCancelHttpRequest(HANDLE RequestQueueHandle, HTTP_REQUEST_ID RequestId,
                                   LPOVERLAPPED Overlapped) WINAPI_NOTHROW;
ULONG WINAPI HttpWaitForDemandStart(HANDLE RequestQueueHandle,
                                    LPOVERLAPPED Overlapped) WINAPI_NOTHROW;

ULONG WINAPI HttpFlushResponseCache(HANDLE RequestQueueHandle, PCWSTR UrlPrefix, ULONG Flags,
                                    LPOVERLAPPED Overlapped) WINAPI_NOTHROW;
ULONG WINAPI HttpAddFragmentToCache(HANDLE RequestQueueHandle, PCWSTR UrlPrefix,
                                    PHTTP_DATA_CHUNK DataChunk, PHTTP_CACHE_POLICY CachePolicy,
                                    LPOVERLAPPED Overlapped) WINAPI_NOTHROW;
ULONG WINAPI HttpReadFragmentFromCache(HANDLE RequestQueueHandle, PCWSTR UrlPrefix,
                                       PHTTP_BYTE_RANGE ByteRange, PVOID Buffer, ULONG BufferLength,
                                       PULONG BytesRead, LPOVERLAPPED Overlapped) WINAPI_NOTHROW;

ULONG WINAPI HttpSetServiceConfiguration(HANDLE ServiceHandle, HTTP_SERVICE_CONFIG_ID ConfigId,
                                         PVOID pConfigInformation, ULONG ConfigInformationLength,
                                         LPOVERLAPPED pOverlapped) WINAPI_NOTHROW;
ULONG WINAPI HttpDeleteServiceConfiguration(HANDLE ServiceHandle, HTTP_SERVICE_CONFIG_ID ConfigId,
                                            PVOID pConfigInformation, ULONG ConfigInformationLength,
                                            LPOVERLAPPED pOverlapped) WINAPI_NOTHROW;
ULONG WINAPI HttpQueryServiceConfiguration(HANDLE ServiceHandle, HTTP_SERVICE_CONFIG_ID ConfigId,
                                           PVOID pInput, ULONG InputLength, PVOID pOutput,
                                           ULONG OutputLength, PULONG pReturnLength,
                                           LPOVERLAPPED pOverlapped) WINAPI_NOTHROW;
WINAPI_END_C

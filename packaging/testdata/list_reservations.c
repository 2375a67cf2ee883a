/* list_reservations: a program of its own that reads the machine's URL reservations through
 * the HTTP Server API, as Windows programs do (HttpQueryServiceConfiguration with QueryNext,
 * the size asked for first), and prints one line per reservation: "<URL> <SDDL>". */
#include <http.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

int main(void) {
    ULONG Result = HttpInitialize((HTTPAPI_VERSION)HTTPAPI_VERSION_2, HTTP_INITIALIZE_CONFIG, NULL);
    if (Result != NO_ERROR) {
        printf("HttpInitialize failed with %lu\n", (unsigned long)Result);
        return 1;
    }
    HTTP_SERVICE_CONFIG_URLACL_QUERY Query;
    RtlZeroMemory(&Query, sizeof(Query));
    Query.QueryDesc = HttpServiceConfigQueryNext;
    for (Query.dwToken = 0;; Query.dwToken++) {
        ULONG Needed = 0;
        Result = HttpQueryServiceConfiguration(NULL, HttpServiceConfigUrlAclInfo, &Query,
                                               sizeof(Query), NULL, 0, &Needed, NULL);
        if (Result == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (Result != ERROR_INSUFFICIENT_BUFFER) {
            printf("HttpQueryServiceConfiguration failed with %lu\n", (unsigned long)Result);
            return 1;
        }
        PHTTP_SERVICE_CONFIG_URLACL_SET Set = (PHTTP_SERVICE_CONFIG_URLACL_SET)malloc(Needed);
        if (Set == NULL) {
            return 1;
        }
        Result = HttpQueryServiceConfiguration(NULL, HttpServiceConfigUrlAclInfo, &Query,
                                               sizeof(Query), Set, Needed, &Needed, NULL);
        if (Result != NO_ERROR) {
            printf("HttpQueryServiceConfiguration failed with %lu\n", (unsigned long)Result);
            free(Set);
            return 1;
        }
        printf("%ls %ls\n", Set->KeyDesc.pUrlPrefix, Set->ParamDesc.pStringSecurityDescriptor);
        free(Set);
    }
    HttpTerminate(HTTP_INITIALIZE_CONFIG, NULL);
    return 0;
}

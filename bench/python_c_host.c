/* The C half of bench_python.py: the same receive and exchanges as the Python half, through the
 * library's public interface, timed with the same clock. Prints the seconds each took.
 *   python_c_host DEVICE RECEIVE_BYTES EXCHANGES EXCHANGE_BYTES */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "portmdl/PortMdl.h"

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char** argv)
{
    if (argc != 5) {
        fprintf(stderr, "usage: python_c_host DEVICE RECEIVE_BYTES EXCHANGES EXCHANGE_BYTES\n");
        return 2;
    }
    int32_t total = atoi(argv[2]), exchanges = atoi(argv[3]), size = atoi(argv[4]);
    uint8_t* buffer = malloc((size_t)total);
    uint8_t request[256];
    if (buffer == NULL || size < 1 || size > (int32_t)sizeof request)
        return 2;
    memset(request, 'x', sizeof request);
    if (!PM_OpenPortByDeviceName(argv[1]) || !PM_SetRxTimeout(5000)) {
        fprintf(stderr, "open failed: %d\n", PM_GetCommErr());
        return 1;
    }
    /* The reader thread starts about 0.5 s after the open: one exchange waits for it. */
    if (!PM_TxBytes(size, request) || !PM_RxBytes(size, buffer))
        return 1;

    const uint8_t send = 'S';
    double start = now();
    if (!PM_TxBytes(1, &send) || !PM_RxBytes(total, buffer))
        return 1;
    double receive = now() - start;

    start = now();
    for (int32_t i = 0; i < exchanges; ++i) {
        if (!PM_TxBytes(size, request) || !PM_RxBytes(size, buffer))
            return 1;
    }
    double exchange = now() - start;
    PM_ClosePort();
    printf("%.6f %.6f\n", receive, exchange);
    free(buffer);
    return 0;
}

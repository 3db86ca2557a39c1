/* A complete host of libportmdl: log folder, cable type, open, speed, one AT exchange with error
 * handling, close, and a look at the log the module saved.
 *
 *   usage: host DEVICE LOG_FOLDER
 *
 * DEVICE is a serial device path (/dev/ttyACM0, or a pseudo-terminal of pmsim-cable). Exit status
 * 0 when the phone answered OK, 1 otherwise. */
#include <portmdl/PortMdl.h>

#include <stdio.h>
#include <string.h>

/* Prints what failed with the module's error code; every PM_ function that fails sets it. */
static int fail(const char* what)
{
    int32_t code = PM_GetCommErr();
    fprintf(stderr, "host: %s failed: module error %d%s\n", what, (int)code,
            PM_IsErrTimeOut() ? " (time-out)" : "");
    return 1;
}

/* Reads the phone's answer: bytes until "OK\r\n" or "ERROR\r\n" ends it, one at a time, as a
 * host that does not know the answer's length does. Returns 1 for OK. */
static int readAnswer(char* answer, size_t size)
{
    size_t length = 0;
    while (length + 1 < size) {
        uint8_t byte;
        if (!PM_RxByte(&byte))
            return 0; /* time-out: PM_IsErrTimeOut() says so */
        answer[length++] = (char)byte;
        answer[length] = '\0';
        if (length >= 4 && strcmp(answer + length - 4, "OK\r\n") == 0)
            return 1;
        if (length >= 7 && strcmp(answer + length - 7, "ERROR\r\n") == 0)
            return 0;
    }
    return 0;
}

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: host DEVICE LOG_FOLDER\n");
        return 2;
    }
    const char* device = argv[1];

    /* 1. Logging: the folder's path must end with '/'; the module copies both texts. */
    char folder[1024];
    snprintf(folder, sizeof folder, "%s%s", argv[2],
             argv[2][strlen(argv[2]) - 1] == '/' ? "" : "/");
    if (PM_Log_SetUserInfo(folder, "example-phone") != 0)
        fprintf(stderr, "host: log folder too long, not logging\n");

    /* 2. The cable type: 1002 is a phone's USB modem cable. */
    const int32_t env[2] = {1002, 0};
    PM_SetInfo(env);

    /* 3. Open. The receive time-out is 0 after every open, and the module begins reading about
     *    half a second after it: give the first answer more time than that. */
    printf("libportmdl %s, opening %s\n", PORTMDL_VERSION_STRING, device);
    if (!PM_OpenPortByDeviceName(device)) {
        fail("opening the port");
        PM_ClosePort(); /* ends the log communication of the failed open */
        return 1;
    }
    int status = 1;
    if (!PM_SetRxTimeout(2000)) {
        fail("setting the receive time-out");
        goto close;
    }

    /* 4. The speed: code 8 is 115200 bit/s (the line starts at 600). */
    if (!PM_SetBPS(8)) {
        fail("setting the speed");
        goto close;
    }
    printf("speed %d bit/s\n", (int)PM_GetBPS());

    /* 5. One exchange. */
    static const uint8_t command[] = {'A', 'T', '\r'};
    if (!PM_TxBytes((int32_t)sizeof command, command)) {
        fail("sending AT");
        goto close;
    }
    char answer[256];
    if (!readAnswer(answer, sizeof answer)) {
        fail("reading the answer");
        goto close;
    }
    printf("the phone answered OK\n");
    status = 0;

close:
    /* 6. Close: saves the communication into PM_LOG.dat in the log folder. */
    if (!PM_ClosePort())
        fail("closing the port");

    /* 7. The log: PM_LOG.dat holds scrambled lines; 'pmctl log FOLDER' prints them readably. */
    char logPath[1100];
    snprintf(logPath, sizeof logPath, "%sPM_LOG.dat", folder);
    FILE* log = fopen(logPath, "r");
    if (log == NULL) {
        fprintf(stderr, "host: no log at %s\n", logPath);
        return 1;
    }
    int lines = 0;
    for (int c; (c = fgetc(log)) != EOF;)
        lines += c == '\n';
    fclose(log);
    printf("log %s: %d lines (read it with: pmctl log %s)\n", logPath, lines, folder);
    return status;
}

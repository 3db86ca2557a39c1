/* portmdl: the exported interface of the phone port module (libportmdl.so).
 *
 * A host drives one port at a time to a phone through these functions: a USB serial cable (a
 * tty), a phone modem behind its USB driver, or a Bluetooth RFCOMM channel. The header is C99 and
 * C++; link with -lportmdl (pkg-config portmdl) or portmdl::portmdl (find_package(portmdl)).
 *
 * Results: 1 for success and 0 for failure unless a function says otherwise. The reason for a
 * failure is the module error code that PM_GetCommErr() returns (PM_ERR_*), PM_GetErrText() gives
 * its text, PM_GetSysErr() the system's error number behind it and PM_GetErrLine() the module's
 * line for it; a success does not clear them. No C++ exception ever leaves these functions.
 * Widths are exact: signed and unsigned 32-bit integers, 16-bit cable identification numbers.
 * Time-outs and pauses are milliseconds.
 *
 * Threads: any host thread may call any function at any time. Calls that use the port run one
 * after the other under the module's own lock: a call made while another thread's receive, send,
 * Bluetooth listing or Bluetooth open waits runs once that one ends. PM_ClosePort from another
 * thread ends such a wait at once (it fails as a time-out, PM_ERR_TIMEOUT) and then closes: that
 * is how a host cancels a receive. The getters that only read a value (PM_GetCommErr,
 * PM_GetSysErr, PM_GetErrLine, PM_IsErrTimeOut, PM_GetOpenMode, PM_GetBPS, PM_GetTxTimeout,
 * PM_GetRxTimeout) never wait for the lock. A thread reads the error its own last call left,
 * unless a call begun after that one ended has recorded one since: a call running beside it, such
 * as the PM_ClosePort that ended it, never replaces it.
 * The module runs one reader thread of its own while a serial or modem port is open; its threads
 * never call into the host (the Bluetooth progress callback runs on the calling thread) and take
 * none of the host's signals. A caught signal never cuts a wait short nor breaks the port: every
 * wait goes on to its deadline. Unloading the library with a port open closes the port first.
 *
 * Buffers: the host owns every buffer it passes; the module keeps no pointer after returning, and
 * copies every text it is given.
 *
 * Facts a host trips over when opening:
 *  - One port at a time: an open closes the port that is still open first.
 *  - After opening, the receive time-out is 0 ms: call PM_SetRxTimeout before the first receive.
 *  - The reader thread starts reading about 0.5 s after a serial or modem port opens: bytes the
 *    phone sends before that are kept, but the first receive needs a time-out above 500 ms.
 *  - A serial line starts raw at 600 bit/s, 8 data bits, one stop bit, with even parity for cable
 *    types 3, 4 and 8 and no parity for the others and for PM_OpenPortByDeviceName; set the speed
 *    with PM_SetBPS. PM_GetPortStatus reports parity 1 (even) whatever the line's parity is.
 *  - The port is opened for exclusive use: a non-blocking exclusive flock (as terminal programs,
 *    serial libraries and modem managers take) and TIOCEXCL. A port another program holds either
 *    way is refused as busy (PM_ERR_OPEN, PM_GetSysErr() EBUSY), also for root.
 *  - Without PM_Log_SetUserInfo nothing is logged.
 */
#ifndef PORTMDL_PORTMDL_H
#define PORTMDL_PORTMDL_H

#include <stdint.h>

/* The interface's version. PORTMDL_VERSION_NUMBER compares versions: 0x00MMmmpp. */
#define PORTMDL_VERSION_MAJOR 0
#define PORTMDL_VERSION_MINOR 1
#define PORTMDL_VERSION_PATCH 0
#define PORTMDL_VERSION_STRING "0.1.0"
#define PORTMDL_VERSION_NUMBER \
    ((PORTMDL_VERSION_MAJOR << 16) | (PORTMDL_VERSION_MINOR << 8) | PORTMDL_VERSION_PATCH)

#ifdef __cplusplus
extern "C" {
#endif

/* The port status record, shared by PM_GetPortStatus and PM_SetPortStatus. */
typedef struct PM_PortStatus {
    int32_t nSpeedCode; /* 1..9: 600, 2400, 9600, 14400, 19200, 38400, 57600, 115200, 230400 bit/s */
    int32_t nStopBits;
    int32_t nParity;   /* 2 none, 3 odd, anything else even */
    int32_t nDataBits; /* 7, or 8 for anything else */
    int32_t nRTS;      /* 1 raises RTS, anything else lowers it */
    int32_t nDTR;      /* 1 raises DTR, anything else lowers it */
    int32_t nOption1;  /* stored and reported back */
    int32_t nOption2;
} PM_PortStatus;

/* The host's environment: word 1 is the cable type, word 2 is the host's own and never read. */
typedef struct PM_Env {
    int32_t nCableType;
    int32_t nHostWord;
} PM_Env;

/* Set by PM_SetInfo; the host reads it, and should change it only through PM_SetInfo. */
extern PM_Env PortMdlEnv;

/* Module error codes, as PM_GetCommErr reports them. */
enum {
    PM_ERR_NONE = 0,
    PM_ERR_CREATE = 2,     /* the transport could not be created */
    PM_ERR_TIMEOUT = 3,    /* a receive did not complete in time, or a send was cut short */
    PM_ERR_OPEN = 7,       /* the device did not open */
    PM_ERR_INVALID = 8,    /* no port is open, an invalid argument, or a rate or flow control
                            * the port cannot do */
    PM_ERR_TRANSPORT = 14, /* the transport refused the operation */
    PM_ERR_SEND = 101,     /* the transport refused the send */
    PM_ERR_APICALL = 103   /* only ever in the log's port-API slot */
};

/* ---- State and errors ---- */

/* env points to two words: the cable type (3, 4, 5, 8, 1002, 1003, 1004 select a device for
 * PM_OpenPort; 10 sends in pieces of 50 bytes and receives byte by byte) and the host's word.
 * Copies both into PortMdlEnv. With a port open, logging stops until the next open. Returns 1, or
 * 0 for a null env. */
int32_t PM_SetInfo(const int32_t* env);
/* The loaded library's own PORTMDL_VERSION_NUMBER, which may be later than the header's the host
 * was built with (a host that needs a later minor checks it at run time). Never fails. */
uint32_t PM_GetVersion(void);
int32_t PM_CountPorts(void);    /* always 1: the module drives one port */
int32_t PM_GetPortHandle(void); /* the open tty's file descriptor (0 on Bluetooth); -1 no port */
int32_t PM_GetPortName(char* name); /* writes nothing, always 1 */
int32_t PM_GetOpenMode(void); /* 0 never opened, 1 by cable type, 2 by device name, 3 Bluetooth */
int32_t PM_GetCommErr(void);  /* the module error code of the last failure (PM_ERR_*) */
void PM_ClearCommErr(void);   /* sets the error code to 0 (and clears the transport's own) */
int32_t PM_IsErrTimeOut(void); /* 1 when the error code is PM_ERR_TIMEOUT, else 0 */
/* The system's error number (an errno value: ENOENT, EACCES, EBUSY, EMFILE, ...) behind the last
 * failure, for the host's own message (strerror); 0 when that failure had no system reason (a
 * time-out, a bad argument). Set and cleared with the error code. */
int32_t PM_GetSysErr(void);
/* The module's line for the last failure, naming the place in the module that failed for a bug
 * report: the number the log's closing summaries show with it (after PortMdlLastErr, or after
 * PortAPILastErr for a failed serial or modem open), the same with or without a log; 0 when
 * none. Set and cleared with the error code. */
int32_t PM_GetErrLine(void);
/* A short English text for a module error code (PM_ERR_*), "unknown error code" for any other.
 * The text is static: never freed, never changed, safe from any thread. */
const char* PM_GetErrText(int32_t code);
/* Hands the host's own error to the log's closing summary; both texts are copied and cut to 1023
 * characters. Does not change PM_GetCommErr. */
void PM_SetCommEngErr(int32_t code, const char* moduleText, int32_t line, const char* lastModify);

/* ---- Opening and closing ---- */

/* Opens the device the cable type (PM_SetInfo) selects; portNo only appears in the log. Returns 1
 * open, 0 failed: PM_ERR_OPEN when the device did not open, or PM_ERR_NONE when no device of that
 * type was found (the log communication then stays open until PM_ClosePort). */
int32_t PM_OpenPort(int32_t portNo);
/* Opens the serial device at path (for example one PM_GetDeviceName returned), whatever the cable
 * type. Returns 1 open, 0 failed (PM_ERR_OPEN). */
int32_t PM_OpenPortByDeviceName(const char* path);
/* Closes the port, writes the log's closing summary and saves the log. Returns 1, or 0 with
 * PM_ERR_INVALID when no port was open (the log is saved either way). */
int32_t PM_ClosePort(void);
/* Opens channel index (0-based) of those PM_CountBluetoothChannels found. Returns 1, or 0 with
 * PM_ERR_OPEN (PM_ERR_TIMEOUT when PM_ClosePort on another thread ended it). */
int32_t PM_OpenBluetoothChannel(int32_t index);

/* ---- Data transfer and time-outs (milliseconds) ---- */

/* Sends count bytes from bytes (count 0 sends nothing and returns 1). Returns 1 when all went out;
 * 0 with PM_ERR_TIMEOUT when fewer did, PM_ERR_SEND when refused, PM_ERR_INVALID with no port.
 * On a serial line the send goes on while the phone takes bytes: it ends short only when no byte
 * moved for the send time-out, or when it ran past the time the bytes need at the line speed plus
 * the send time-out. */
int32_t PM_TxBytes(int32_t count, const uint8_t* bytes);
int32_t PM_TxByte(uint8_t byte);
/* Waits up to the receive time-out for exactly count bytes and writes them to buffer, which must
 * hold count bytes (count 0 returns 1 at once). Returns 1 with all of them, or 0 with none taken:
 * PM_ERR_TIMEOUT, and the bytes that did arrive stay for the next receive (with cable type 10,
 * which receives byte by byte, the bytes before the missing one are in buffer); PM_ERR_INVALID
 * with no port. */
int32_t PM_RxBytes(int32_t count, uint8_t* buffer);
int32_t PM_RxByte(uint8_t* byte);
int32_t PM_InBufferCount(void); /* bytes waiting; 0 also with no port (PM_ERR_INVALID) */
int32_t PM_ClearBuffer(void);   /* drops the bytes waiting */
/* Send and receive time-outs of the open port. A setter returns 0 without a port (and records
 * nothing) or when the transport refuses; the getters return the last accepted value (500 before
 * any). Opening sets the port's receive time-out to 0: set it after every open. */
int32_t PM_SetTxTimeout(uint32_t ms);
uint32_t PM_GetTxTimeout(void);
int32_t PM_SetRxTimeout(uint32_t ms);
uint32_t PM_GetRxTimeout(void);
/* Writes a receive time-out record (timeout, bytes obtained) to the log; always returns 3. */
int32_t PM_Log_TimeOutInBuf(uint32_t timeout, uint32_t obtained);

/* ---- Line control, speed and port status ---- */

/* Sets the line speed by code 1..9 (see PM_PortStatus). Returns 1, also without a port (the code
 * then applies to nothing and is not kept for the next open); 0 with PM_ERR_TRANSPORT when the
 * port refused it, a code outside 1..9 included. */
int32_t PM_SetBPS(uint32_t speedCode);
/* The last speed set, in bit/s (600 before any), with or without a port: by PM_SetBPS, by
 * PM_SetPortStatus, or by PM_SetBitRate (the rate the line really runs at); 0 when the speed code
 * kept is outside 1..9 (recording no error). */
int32_t PM_GetBPS(void);
/* The bit rate of speed code 1..9; 0 with PM_ERR_INVALID for any other code. */
int32_t PM_ConvertBPS_CEValuToOSValue(int32_t speedCode);
/* Sets the line to any bit rate the device accepts (an addition to the nine speed codes, for
 * hosts that drive USB-serial adapters at their own rates: 250000, 1000000, ...). On a serial
 * port the kernel's arbitrary-rate interface sets the rate and the module reads back what the
 * driver really set: a driver that picked a rate within 2% of the one asked for is taken at its
 * own rate, which PM_GetBPS then reports; any other outcome puts the line back at its previous
 * rate and fails. On the modem the nine speed-code rates are accepted as PM_SetBPS accepts them
 * (nothing changes on the driver's line) and any other rate fails; a Bluetooth channel has no
 * line rate of its own and accepts any rate, handing it on with the channel's serial parameters.
 * The log's speed record shows the rate. PM_GetPortStatus keeps reporting the last speed code
 * after a rate that has none, and PM_SetPortStatus applies its record's code (so that code's
 * rate). Returns 1, or 0 with
 *  - PM_ERR_INVALID without a port, for a rate of 0 or above 2147483647, or for a rate the port
 *    cannot run at (PM_GetSysErr() EINVAL when the driver refused or could not come near it);
 *  - PM_ERR_TRANSPORT when the device failed the change (PM_GetSysErr() tells why: EIO for an
 *    adapter that is gone). */
int32_t PM_SetBitRate(uint32_t bitsPerSecond);
/* Flow control modes of PM_SetFlowControl. */
enum {
    PM_FLOW_NONE = 0,    /* the line opens this way */
    PM_FLOW_RTS_CTS = 1, /* hardware: the driver holds its output while CTS is low and lowers RTS
                          * while its input buffer is full */
    PM_FLOW_XON_XOFF = 2 /* software, in the kernel: output stops at a received XOFF (0x13) and
                          * resumes at XON (0x11), neither reaches the host; the kernel sends them
                          * when its input buffer fills and empties */
};
/* Sets the serial line's flow control (an addition to the module's line calls). Serial ports
 * only: the modem and Bluetooth carry their own flow control and accept PM_FLOW_NONE alone. With
 * PM_FLOW_RTS_CTS the driver owns RTS: PM_SetRTS and PM_ClearRTS still succeed and change the
 * line, but the driver raises and lowers it as its input buffer fills and empties, and lowering
 * it holds the phone's sending for as long as it stays low. Leaving RTS/CTS for another mode sets
 * RTS back to what PM_SetRTS/PM_ClearRTS last asked for. A held line makes sends wait: they end
 * with PM_ERR_TIMEOUT once nothing moved for the send time-out. Closing the port restores the
 * device's flow settings as it found them. Returns 1, or 0 with
 *  - PM_ERR_INVALID without a port, for a mode other than PM_FLOW_*, for a mode the port cannot
 *    do (PM_GetSysErr() EINVAL when the driver dropped it: an adapter without RTS/CTS lines);
 *  - PM_ERR_TRANSPORT when the device failed the change (PM_GetSysErr() tells why). */
int32_t PM_SetFlowControl(int32_t mode);
/* Raise or lower RTS and DTR. 0 with PM_ERR_INVALID without a port, PM_ERR_TRANSPORT when the
 * device refused the change. */
int32_t PM_SetRTS(void);
int32_t PM_ClearRTS(void);
int32_t PM_SetDTR(void);
int32_t PM_ClearDTR(void);
/* Fill or apply the host's record (owned by the host); 0 without a port or when refused. */
int32_t PM_GetPortStatus(PM_PortStatus* status);
int32_t PM_SetPortStatus(const PM_PortStatus* status);

/* ---- Charge control and cable identification (serial cable only) ---- */

/* Switch the phone's charging by an AT dialogue of about 6 s; 1 when the command was sent. */
int32_t PM_ChargeEnable(void);
int32_t PM_ChargeDisable(void);
/* Asks the cable for its identification (about 4 s) and writes three numbers to info, which must
 * hold 3 uint16_t. Returns 1, or 0 with info unwritten. */
int32_t PM_IsChargableCable(uint16_t* info);

/* ---- Clock and pauses ---- */

uint32_t MACTickCount(void); /* milliseconds since the module was loaded (wraps after 49 days) */
int32_t PM_SimpleSleep(uint32_t ms); /* pauses the calling thread; 0 only yields */
/* Pauses, then writes a pause record to the log; returns the record's result (1 written or no
 * communication, 0 when the log could not write it). */
int32_t PM_Sleep(uint32_t ms);

/* ---- Discovery ---- */

/* Lists the system's serial devices (their callout paths) and returns how many there are. When
 * the environment variable PM_SERIAL_REGISTRY names a folder, its entries are the devices. */
int32_t PM_CountDevices(void);
/* Copies the path of device index (0-based, of the last PM_CountDevices) into name, which holds
 * size bytes; a longer path is cut to size - 1 characters. 256 bytes hold any path. Returns 1, or
 * 0 with name untouched for an index out of range. */
int32_t PM_GetDeviceName(int32_t index, char* name, int32_t size);
/* Lets the user pick a phone and finds its usable RFCOMM channels (at most 5). address holds 6
 * bytes and receives the chosen device's address; progress, when not null, is called on this
 * thread with a text and two counts. Returns the number of channels, 0 with PM_ERR_OPEN
 * (PM_ERR_TIMEOUT when PM_ClosePort on another thread ended it). */
int32_t PM_CountBluetoothChannels(uint8_t* address, int (*progress)(const char*, int, int));

/* ---- Communication log ---- */

/* Names the log folder (ending with '/'; at most 1014 characters) and the phone's identification,
 * and reads the settings file PM_STD.ini there. Logging starts with the next open. Returns 0, or -1
 * when the folder is null or too long (logging stays off). Both texts are copied. */
int32_t PM_Log_SetUserInfo(const char* folder, const char* phoneId);
int32_t PM_Log_SetSleepTime(uint32_t ms); /* a pause record of ms without pausing */
/* Write a comment record to the current communication (printf format; a long text is cut).
 * PM_Log_WriteMessage returns the record's result, as PM_Sleep does. */
int32_t PM_Log_WriteMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
void PM_Trace2(const char* format, ...) __attribute__((format(printf, 1, 2)));

#ifdef __cplusplus
} /* extern "C" */

/* Host file-path helpers, exported with C++ names. buffer holds a 70-byte FSSpec on entry and the
 * colon-separated path on return (the same pointer is returned; null is returned unchanged). */
char* PM_ConvertFSSpecWithoutName(char* buffer); /* buffer: 256 bytes; path up to 255 chars */
/* buffer: 320 bytes; the whole path, up to 255 + 63 + 1 characters, with the name and ':'. */
char* PM_ConvertFSSpecWithName(char* buffer);
/* Swaps the first count bytes of a and b; nothing for a null pointer or count <= 0. */
void PM_ExchangePath(char* a, char* b, int count);
#endif

#endif /* PORTMDL_PORTMDL_H */

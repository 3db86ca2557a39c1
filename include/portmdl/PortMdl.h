// portmdl: the exported interface of the phone port module.
//
// A host loads libportmdl.so and drives one port at a time through these functions. Results are
// 1 for success and 0 for failure unless a function says otherwise; the reason for a failure is
// read with PM_GetCommErr(). Every width is exact: signed and unsigned 32-bit integers, 16-bit
// cable identification numbers. No C++ exception ever leaves these functions.
#ifndef PORTMDL_PORTMDL_H
#define PORTMDL_PORTMDL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The port status record, shared by PM_GetPortStatus and PM_SetPortStatus.
typedef struct PM_PortStatus {
    int32_t nSpeedCode; // 1..9: 600, 2400, 9600, 14400, 19200, 38400, 57600, 115200, 230400 bit/s
    int32_t nStopBits;
    int32_t nParity;   // 2 none, 3 odd, anything else even
    int32_t nDataBits; // 7, or 8 for anything else
    int32_t nRTS;      // 1 raises RTS, anything else lowers it
    int32_t nDTR;      // 1 raises DTR, anything else lowers it
    int32_t nOption1;  // stored and reported back
    int32_t nOption2;
} PM_PortStatus;

// The host's environment: word 1 is the cable type, word 2 is the host's own and never read.
typedef struct PM_Env {
    int32_t nCableType;
    int32_t nHostWord;
} PM_Env;

extern PM_Env PortMdlEnv;

// Module error codes, as PM_GetCommErr reports them.
enum {
    PM_ERR_NONE = 0,
    PM_ERR_CREATE = 2,
    PM_ERR_TIMEOUT = 3,
    PM_ERR_OPEN = 7,
    PM_ERR_INVALID = 8,
    PM_ERR_TRANSPORT = 14,
    PM_ERR_SEND = 101,
    PM_ERR_APICALL = 103 // only ever in the log's port-API slot
};

// State and errors.
int32_t PM_SetInfo(const int32_t* env); // two words: cable type, host word
int32_t PM_CountPorts(void);
int32_t PM_GetPortHandle(void);
int32_t PM_GetPortName(char* name); // writes nothing, always 1
int32_t PM_GetOpenMode(void);
int32_t PM_GetCommErr(void);
void PM_ClearCommErr(void);
int32_t PM_IsErrTimeOut(void);
void PM_SetCommEngErr(int32_t code, const char* moduleText, int32_t line, const char* lastModify);

// Opening and closing.
int32_t PM_OpenPort(int32_t portNo);
int32_t PM_OpenPortByDeviceName(const char* path);
int32_t PM_ClosePort(void);
int32_t PM_OpenBluetoothChannel(int32_t index);

// Data transfer and time-outs (milliseconds).
int32_t PM_TxBytes(int32_t count, const uint8_t* bytes);
int32_t PM_TxByte(uint8_t byte);
int32_t PM_RxBytes(int32_t count, uint8_t* buffer);
int32_t PM_RxByte(uint8_t* byte);
int32_t PM_InBufferCount(void);
int32_t PM_ClearBuffer(void);
int32_t PM_SetTxTimeout(uint32_t ms);
uint32_t PM_GetTxTimeout(void);
int32_t PM_SetRxTimeout(uint32_t ms);
uint32_t PM_GetRxTimeout(void);
int32_t PM_Log_TimeOutInBuf(uint32_t timeout, uint32_t obtained); // always 3

// Line control, speed and port status.
int32_t PM_SetBPS(uint32_t speedCode);
int32_t PM_GetBPS(void);
int32_t PM_ConvertBPS_CEValuToOSValue(int32_t speedCode);
int32_t PM_SetRTS(void);
int32_t PM_ClearRTS(void);
int32_t PM_SetDTR(void);
int32_t PM_ClearDTR(void);
int32_t PM_GetPortStatus(PM_PortStatus* status);
int32_t PM_SetPortStatus(const PM_PortStatus* status);

// Charge control and cable identification (three numbers).
int32_t PM_ChargeEnable(void);
int32_t PM_ChargeDisable(void);
int32_t PM_IsChargableCable(uint16_t* info);

// Clock and pauses.
uint32_t MACTickCount(void);
int32_t PM_SimpleSleep(uint32_t ms);
int32_t PM_Sleep(uint32_t ms); // pauses, then writes a pause record

// Discovery.
int32_t PM_CountDevices(void);
int32_t PM_GetDeviceName(int32_t index, char* name, int32_t size);
int32_t PM_CountBluetoothChannels(uint8_t* address, int (*progress)(const char*, int, int));

// Communication log.
int32_t PM_Log_SetUserInfo(const char* folder, const char* phoneId);
int32_t PM_Log_SetSleepTime(uint32_t ms);
int32_t PM_Log_WriteMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
void PM_Trace2(const char* format, ...) __attribute__((format(printf, 1, 2)));

#ifdef __cplusplus
} // extern "C"

// Host file-path helpers: exported with C++ names.
char* PM_ConvertFSSpecWithoutName(char* buffer);
// buffer holds an FSSpec on entry and the full path with the name and ':' on return: it must hold
// 320 bytes.
char* PM_ConvertFSSpecWithName(char* buffer);
void PM_ExchangePath(char* a, char* b, int count);
#endif

#endif // PORTMDL_PORTMDL_H

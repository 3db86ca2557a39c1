// The module-wide port state shared by the exported functions, and the error recording helpers.
#ifndef PM_STD_MAC_PORTMDLSTATE_H
#define PM_STD_MAC_PORTMDLSTATE_H

#include <atomic>
#include <cstdint>

#include "portmdl/PortMdl.h"

class EI_CommBaseForMAC;

// The values the pure getters report are atomic: they are set with the port held, but read
// without it, so that a getter answers at once while another thread's listing, open or receive
// holds the port.
struct PM_ErrRecord {
    std::atomic<int32_t> nErrCode;
    std::atomic<int32_t> nSysErr; // errno of the system call behind that failure, 0 when none
    std::atomic<int32_t> nLine;   // the failure line the log's summary shows for it, 0 when none
    // When the exported call that stored this record began (PortLock.h's call clock), 0 at load.
    std::atomic<uint64_t> nCallStart;
};

extern EI_CommBaseForMAC* TheCommBase;
extern int32_t g_bIsOpen;
extern std::atomic<int32_t> g_nOpenMode;
extern PM_ErrRecord TheCurrErr;
extern std::atomic<uint32_t> TheWriteTimeOut;
extern std::atomic<uint32_t> TheReadTimeOut;
extern int32_t gRxTimeout;
extern int32_t gRxSleepTime;
extern std::atomic<uint32_t> TheCommSetBps;
// The bit rate PM_SetBitRate set that no speed code stands for; 0 while the speed code holds.
extern std::atomic<uint32_t> TheCommSetRate;

// Failure lines: the fixed number each failure site records with its code. The log prints them,
// so they are part of the module's output and never change.
inline constexpr int32_t PM_LINE_OPEN_CABLE = 652; // diagnostic only: unlisted cable type
inline constexpr int32_t PM_LINE_OPEN_CREATE = 661;
inline constexpr int32_t PM_LINE_OPEN_OPEN = 672;
inline constexpr int32_t PM_LINE_OPEN_WRITETIMEOUT = 693;
inline constexpr int32_t PM_LINE_OPEN_READTIMEOUT = 700;
inline constexpr int32_t PM_LINE_CLOSE_API = 727;
inline constexpr int32_t PM_LINE_CLOSE = 744;
inline constexpr int32_t PM_LINE_TX_NOPORT = 760;
inline constexpr int32_t PM_LINE_TX_ARGUMENT = 761; // negative count, or no bytes for a count
inline constexpr int32_t PM_LINE_TX_PIECE_REFUSED = 790;
inline constexpr int32_t PM_LINE_TX_PIECE_SHORT = 797;
inline constexpr int32_t PM_LINE_TX_REFUSED = 815;
inline constexpr int32_t PM_LINE_TX_SHORT = 824;
inline constexpr int32_t PM_LINE_RX_NOPORT = 873;
inline constexpr int32_t PM_LINE_RX_ARGUMENT = 874; // negative count, or no buffer for a count
inline constexpr int32_t PM_LINE_RX_FAILED = 880;
inline constexpr int32_t PM_LINE_INBUFFER_NOPORT = 898;
inline constexpr int32_t PM_LINE_CLEARBUFFER_NOPORT = 909;
inline constexpr int32_t PM_LINE_SETBPS_REFUSED = 928;
inline constexpr int32_t PM_LINE_SETRTS_NOPORT = 946;
inline constexpr int32_t PM_LINE_SETRTS_API = 951;
inline constexpr int32_t PM_LINE_SETRTS = 952;
inline constexpr int32_t PM_LINE_CLEARRTS_NOPORT = 965;
inline constexpr int32_t PM_LINE_CLEARRTS_API = 970;
inline constexpr int32_t PM_LINE_CLEARRTS = 971;
inline constexpr int32_t PM_LINE_SETDTR_NOPORT = 984;
inline constexpr int32_t PM_LINE_SETDTR_API = 989;
inline constexpr int32_t PM_LINE_SETDTR = 990;
inline constexpr int32_t PM_LINE_CLEARDTR_NOPORT = 1003;
inline constexpr int32_t PM_LINE_CLEARDTR_API = 1008;
inline constexpr int32_t PM_LINE_CLEARDTR = 1009;
inline constexpr int32_t PM_LINE_GETSTATUS_NOPORT = 1022;
inline constexpr int32_t PM_LINE_GETSTATUS_ARGUMENT = 1023; // no record to fill
inline constexpr int32_t PM_LINE_GETSTATUS_API = 1027;
inline constexpr int32_t PM_LINE_GETSTATUS = 1028;
inline constexpr int32_t PM_LINE_SETSTATUS_NOPORT = 1038;
inline constexpr int32_t PM_LINE_SETSTATUS_ARGUMENT = 1039; // no record to apply
inline constexpr int32_t PM_LINE_SETSTATUS_API = 1043;
inline constexpr int32_t PM_LINE_SETSTATUS = 1044;
inline constexpr int32_t PM_LINE_SETTXTIMEOUT = 1061;
inline constexpr int32_t PM_LINE_SETRXTIMEOUT = 1077;
inline constexpr int32_t PM_LINE_CHARGE_CREATE = 1272;
inline constexpr int32_t PM_LINE_CHARGEINFO_CREATE = 1296;
inline constexpr int32_t PM_LINE_SPEEDCODE = 1356;
inline constexpr int32_t PM_LINE_OPENBYNAME_OPEN = 1669;
inline constexpr int32_t PM_LINE_OPENBYNAME_WRITETIMEOUT = 1675;
inline constexpr int32_t PM_LINE_OPENBYNAME_READTIMEOUT = 1678;
inline constexpr int32_t PM_LINE_BLUETOOTH_COUNT = 1695;
inline constexpr int32_t PM_LINE_BLUETOOTH_OPEN = 1716;
// The bit rate and flow control calls, added for hosts beyond the speed codes.
inline constexpr int32_t PM_LINE_SETBITRATE_NOPORT = 1801;
inline constexpr int32_t PM_LINE_SETBITRATE_ARGUMENT = 1802; // 0, or above what PM_GetBPS reports
inline constexpr int32_t PM_LINE_SETBITRATE_UNSUPPORTED = 1803; // the port cannot run at the rate
inline constexpr int32_t PM_LINE_SETBITRATE_API = 1804;
inline constexpr int32_t PM_LINE_SETBITRATE = 1805;
inline constexpr int32_t PM_LINE_SETFLOW_NOPORT = 1811;
inline constexpr int32_t PM_LINE_SETFLOW_ARGUMENT = 1812;    // a mode other than 0, 1, 2
inline constexpr int32_t PM_LINE_SETFLOW_UNSUPPORTED = 1813; // not this port, or its driver
inline constexpr int32_t PM_LINE_SETFLOW_API = 1814;
inline constexpr int32_t PM_LINE_SETFLOW = 1815;

// Stores the error record for the exported call running on this thread (a failure, or 0 0 0 to
// clear it). The log's slots are not touched.
void storeCurrErr(int32_t code, int32_t sysErr, int32_t line);
// Records a module error in TheCurrErr and in the log's port-module slot; returns 0.
int setPortMdlErr(int32_t code, int32_t line);
// Records a transport call that answered 0: 103 with apiLine in the log's port-API slot, then
// module error 14 at moduleLine; returns 0.
int setPortAPIErr(int32_t apiLine, int32_t moduleLine);
// The speed code (1..9) whose rate is exactly rate bit/s, 0 when none is.
int32_t speedCodeOfRate(uint32_t rate);
// The line's rate as PM_GetBPS reports it: the rate PM_SetBitRate set, else the speed code's.
int32_t currentBitRate();
// The send time-out for count bytes at the current speed, never below current.
uint32_t calcWriteTimeOut(int32_t count, uint32_t current);
// One receive request of exactly count bytes (count >= 0, buffer valid for count bytes).
int32_t PM_RxBytesA(int32_t count, uint8_t* buffer);
// Steps common to every open (PortMdlOpen.cpp): closes what is open, resets the error, replaces
// what a failed open left behind, starts the log communication. With the port held.
void BeginOpen(int32_t openMode);
// Ends a failed open: closes the transport when asked, summarises and closes the log; returns 0.
int solvePortOpenErr(int32_t code, int32_t line, int closeTransport);

#endif

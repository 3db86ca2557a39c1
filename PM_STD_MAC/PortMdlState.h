// The module-wide port state shared by the exported functions, and the error recording helpers.
#ifndef PM_STD_MAC_PORTMDLSTATE_H
#define PM_STD_MAC_PORTMDLSTATE_H

#include <cstdint>

#include "portmdl/PortMdl.h"

class EI_CommBaseForMAC;

struct PM_ErrRecord {
    int32_t nErrCode;
};

extern EI_CommBaseForMAC* TheCommBase;
extern int32_t g_bIsOpen;
extern int32_t g_nOpenMode;
extern PM_ErrRecord TheCurrErr;
extern uint32_t TheWriteTimeOut;
extern uint32_t TheReadTimeOut;
extern int32_t gRxTimeout;
extern int32_t gRxSleepTime;
extern uint32_t TheCommSetBps;

// Records a module error in TheCurrErr and in the log's port-module slot; returns 0.
int setPortMdlErr(int32_t code, int32_t line);
// Ends a failed open: closes the transport when asked, summarises and closes the log; returns 0.
int solvePortOpenErr(int32_t code, int32_t line, int closeTransport);

#endif

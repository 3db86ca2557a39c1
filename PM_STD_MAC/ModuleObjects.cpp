// The module's long-lived objects, defined in one place so that they are built in a fixed order
// when the library loads: the shared receive queue, then the log (whose constructor starts the
// millisecond clock).
#include "CommBaseForMAC.h"
#include "CommLog.h"

EI_RingBuff EI_CommBaseForMAC::g_cRingBuff(32768);
CCommLog LogFileData;

// The module's long-lived objects, defined in one place so that they are built in a fixed order
// when the library loads: the shared receive queue, then the log (whose constructor starts the
// millisecond clock).
#include "CommLog.h"

CCommLog LogFileData;

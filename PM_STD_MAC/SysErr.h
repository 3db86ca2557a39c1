// The system's reason for a failure (an errno value), kept beside the module's error code so a
// host can tell "no such file" from "busy" or "permission denied".
#ifndef PM_STD_MAC_SYSERR_H
#define PM_STD_MAC_SYSERR_H

// Called where a system call failed, with its errno, on the host's thread inside an exported
// call: the module error recorded next in that call (setPortMdlErr, a failed open) takes the
// number over, and PM_GetSysErr reports it. The first number recorded in a call is kept: it is the
// cause, and what the clean-up after it meets is not. Only a call that leads to a failure records. A failure with no system reason (a time-out, a bad
// argument) records nothing and reports 0.
void RecordSysErr(int err);

// Takes the number recorded since the exported call began, leaving none (0 when none was).
int TakeSysErr();

// Forgets a number no failure took; the port lock calls it as each exported call begins.
void ForgetSysErr();

#endif

// Tracing of the terminal calls that a pseudo-terminal cannot show from its other side: the test
// program defines tcsetattr, tcflush and ioctl itself, so the module's calls pass through here on
// their way to the C library. A pseudo-terminal clears PARENB and refuses modem-control changes;
// the trace keeps the record as it was applied, and can stand in for a port that takes
// modem-control bits.
#ifndef TESTS_TTYTRACE_H
#define TESTS_TTYTRACE_H

#include <termios.h>
#include <vector>

namespace ttytrace {

void Reset();
// Every record passed to tcsetattr, in order.
std::vector<termios> AppliedSettings();
// Every state passed with TIOCMSET, in order, whether or not the device took it.
std::vector<int> ModemLineStates();
// How many times pending input and output were discarded (tcflush) since the last Reset.
int Flushes();
// On: TIOCMSET succeeds on every descriptor, as on a serial port with modem-control lines.
void FakeModemLines(bool on);

} // namespace ttytrace

#endif

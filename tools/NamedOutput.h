// Writing an output the user named (pmctl log --html -o NAME) without replacing anything that is
// not a regular file of theirs: a terminal, /dev/null or a pipe given as NAME is written through,
// never turned into a file.
#ifndef PMCTL_NAMEDOUTPUT_H
#define PMCTL_NAMEDOUTPUT_H

#include <functional>
#include <iosfwd>
#include <string>

namespace pmctl {

// Writes what write produces to the output named name:
// - "-": standard output;
// - nothing there yet, or a regular file we may write: a temporary file beside it (same folder,
//   created exclusively, never through a link) gets everything, is synced and is renamed into
//   place, so a failure leaves no half output and the old file as it was. A new file gets mode
//   0644; a replaced one keeps its mode and, where we may set it, its owner. A file that appears
//   at a name that was free while we wrote is left alone (an error);
// - a character device or a FIFO that a reader holds open (a terminal, /dev/null, a pipe), or a
//   symbolic link that leads to one (/dev/stdout, /proc/self/fd/1 on a pipe): written through as
//   it is; nothing is created, truncated or renamed;
// - anything else is refused and left as it is: a folder, a block device, a socket, a FIFO
//   nobody reads (pmctl would wait for ever), a symbolic link to a regular file, a folder or
//   nothing (replacing the link's target, or the link, is not ours to do).
// Throws std::runtime_error that names the output, says why and what to do. An exception from
// write passes through; a file is then left as it was.
void writeNamedOutput(const std::string& name, const std::function<void(std::ostream&)>& write);

} // namespace pmctl

#endif // PMCTL_NAMEDOUTPUT_H

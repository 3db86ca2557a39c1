// The record parser of the log reader: record text in, events out. Internal to the reader.
#ifndef PMCTL_LOGRECORDPARSER_H
#define PMCTL_LOGRECORDPARSER_H

#include <functional>
#include <memory>
#include <string_view>

#include "LogReader.h"

namespace pmlog {

// Parses one run of record text that no damaged line interrupts, as it is fed, keeping only the
// text that is not parsed yet. The run starts with a line feed added in front when it lacks one,
// so that a record cut from its leading line feed (the first line kept after the oldest lines
// were dropped, or the line after a damaged one) still reads. Events are handed on one by one;
// the last one is held back while a later record may still add to it.
class RecordParser {
  public:
    using Emit = std::function<void(Event&&)>;

    // direction: the traffic direction in force, kept by the caller across runs.
    RecordParser(Emit emit, int& direction);
    ~RecordParser();
    RecordParser(const RecordParser&) = delete;
    RecordParser& operator=(const RecordParser&) = delete;

    // The text of one segment, which starts at line.
    void feed(std::string_view text, size_t line);
    // A note about the text fed next: handed on after the records that start before it.
    void queueNote(Event&& note);
    // Parses the rest of the run and hands everything on. endOfFile: nothing follows the run, so
    // a record that is not closed was cut.
    void finish(bool endOfFile);

  private:
    class Run;
    std::unique_ptr<Run> m_run;
};

} // namespace pmlog

#endif // PMCTL_LOGRECORDPARSER_H

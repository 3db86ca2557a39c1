// The records view of a log: the decoded record text itself.
#ifndef PMCTL_LOGRECORDSVIEW_H
#define PMCTL_LOGRECORDSVIEW_H

#include <ostream>

#include "LogReader.h"

namespace pmlog {

// The decoded record text as the module wrote it (traffic still in key characters), with damaged
// lines marked: what "PM_LOG.tmp" held.
class RecordsPrinter : public LogSink {
  public:
    explicit RecordsPrinter(std::ostream& out) : m_out(out) {}
    void segment(const Segment& segment) override;

  private:
    std::ostream& m_out;
};

void printRecords(std::ostream& out, const Log& log);

} // namespace pmlog

#endif // PMCTL_LOGRECORDSVIEW_H

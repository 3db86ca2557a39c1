// The readable transcript of a log: one line or block per event, with the file's line numbers.
#ifndef PMCTL_LOGTRANSCRIPT_H
#define PMCTL_LOGTRANSCRIPT_H

#include <ostream>

#include "LogReader.h"

namespace pmlog {

// The readable transcript, printed as the events arrive.
class TranscriptPrinter : public LogSink {
  public:
    explicit TranscriptPrinter(std::ostream& out) : m_out(out) {}
    void begin(const std::string& file, const std::vector<std::string>& notes) override;
    void event(const Event& event) override;
    void end() override;
    const Summary& summary() const { return m_sum; }

  private:
    std::ostream& m_out;
    std::string m_file;
    Summary m_sum;
    bool m_seenBanner = false;
};

// Prints a gathered log's transcript; returns counts for the closing line.
Summary printTranscript(std::ostream& out, const Log& log);

} // namespace pmlog

#endif // PMCTL_LOGTRANSCRIPT_H

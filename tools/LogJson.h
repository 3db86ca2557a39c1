// A communication log as JSON Lines: one object per line for each event the log reader finds, for
// scripts that check a logged session. The same events as the transcript and the HTML page; the
// field names are described in docs/pmctl.md.
#ifndef PMCTL_LOGJSON_H
#define PMCTL_LOGJSON_H

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "LogReader.h"

namespace pmlog {

// The object of one event: {"event": kind, "line": n, ...}. Texts from the log that are not
// UTF-8 have their bad bytes replaced by U+FFFD when written; traffic is exact, as hex.
nlohmann::json eventJson(const Event& e);

// A sink of the log reader that writes one line per event as it comes: first a "log" object
// (the file read and the notes about its choice), then the events, then a "summary" object with
// the counts the transcript's closing line shows. A receive also carries the response time
// recorded just before it ("response_ms").
class JsonLines : public LogSink {
  public:
    explicit JsonLines(std::ostream& out) : m_out(out) {}
    void begin(const std::string& file, const std::vector<std::string>& notes) override;
    void event(const Event& e) override;
    void end() override;

  private:
    void write(const nlohmann::json& object);

    std::ostream& m_out;
    Summary m_sum;
    std::optional<long long> m_responseMs; // a response time waiting for its reply
};

} // namespace pmlog

#endif // PMCTL_LOGJSON_H

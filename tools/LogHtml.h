// A communication log as one self-contained HTML page: for each communication a timeline, time
// running down, the host's sends on the left and the phone's replies on the right, pauses as gaps
// to scale, line changes and comments as marks, time-outs, errors and damage in red, and the
// closing summary with the error codes' names. A list at the top jumps to each communication.
//
// The page needs nothing from outside: no script, no network, no other file; its content policy
// forbids loading anything, so it opens safely from an e-mail attachment. Every text from the log
// is escaped, never markup.
#ifndef PMCTL_LOGHTML_H
#define PMCTL_LOGHTML_H

#include <filesystem>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "LogReader.h"

namespace pmlog {

// Drawing scale of a pause: milliseconds per pixel, and the longest pause drawn whole.
inline constexpr int kHtmlMsPerPixel = 5;
inline constexpr long long kHtmlLongestGapMs = 3000;

// A sink of the log reader that renders the page as the events come, in file order. The page is
// written to out as it goes; what is only known at the end (the list of communications) is written
// by end() and shown at the top by the page's layout, so memory stays small whatever the log's
// length.
class HtmlTimeline : public LogSink {
  public:
    explicit HtmlTimeline(std::ostream& out) : m_out(out) {}
    HtmlTimeline(const HtmlTimeline&) = delete;
    HtmlTimeline& operator=(const HtmlTimeline&) = delete;

    // Starts the page: file names it (title, line references); the notes about the choice of file
    // go at its top.
    void begin(const std::string& file, const std::vector<std::string>& notes) override;
    void event(const Event& e) override;
    // Ends the page with the list of communications.
    void end() override;
    // The counts that the text transcript's closing line shows too.
    const Summary& summary() const { return m_sum; }

  private:
    struct Communication {
        size_t number = 0; // 0: the part of the file before its first banner
        size_t line = 0;
        std::string banner;
        Summary counts; // its damaged lines and unrecognised texts
        size_t timeouts = 0;
        bool closed = false, finished = false, sameErrorsAsBefore = false;
        bool cut = false; // the file ends inside its last record
        long long closeValues[6] = {};
        std::string phone, totalTime, date;
    };

    void openSection(const Event* banner);
    void closeSection();
    void ensureSection();
    void flushResponseTime();
    void traffic(const Event& e);
    void portClose(const Event& e);
    std::string noteRow(const Event& e) const;
    std::string statusTags(const Communication& c, bool forList) const;
    void row(const std::string& classes, const std::string& content);

    std::ostream& m_out;
    std::string m_file;
    std::vector<Communication> m_comms; // one per section, for the list at the top
    bool m_sectionOpen = false;
    bool m_seenBanner = false;
    // Notes that come before anything opened a section wait for the first one.
    std::vector<std::string> m_heldNotes;
    bool m_haveLastClose = false;
    long long m_lastClose[6] = {};
    // A response time waits for the reply it belongs to.
    bool m_responsePending = false;
    long long m_responseMs = 0;
    Summary m_sum;
};

// The whole page of a log read into memory.
void writeHtmlPage(std::ostream& out, const Log& log);

// Writes a page to the output named path, as pmctl::writeNamedOutput does ("-" standard output;
// a regular file replaced whole through a temporary file beside it; a terminal, FIFO or
// /dev/null written through; anything else refused). read hands the log to the page it is given
// (streamLog(file, page), or replay(log, page)); when it throws, no file is written or replaced.
// Throws std::runtime_error with the reason.
void saveHtmlPage(const std::filesystem::path& path, const std::function<void(LogSink&)>& read);

} // namespace pmlog

#endif // PMCTL_LOGHTML_H

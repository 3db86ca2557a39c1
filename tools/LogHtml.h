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
#include <iosfwd>
#include <string>
#include <vector>

#include "LogReader.h"

namespace pmlog {

// Drawing scale of a pause: milliseconds per pixel, and the longest pause drawn whole.
inline constexpr int kHtmlMsPerPixel = 5;
inline constexpr long long kHtmlLongestGapMs = 3000;

// Renders events as they come, in file order. The page is written to out as it goes; what is only
// known at the end (the list of communications) is written by finish() and shown at the top by the
// page's layout, so memory stays small whatever the log's length.
class HtmlTimeline {
  public:
    // file: the log file's name, for the title and the line references.
    HtmlTimeline(std::ostream& out, std::string file);
    HtmlTimeline(const HtmlTimeline&) = delete;
    HtmlTimeline& operator=(const HtmlTimeline&) = delete;

    void add(const Event& e);

    // Ends the page: the notes about the choice of file and the list of communications. Returns the
    // counts that the text transcript's closing line shows too.
    Summary finish(const std::vector<std::string>& notes);

  private:
    struct Communication {
        size_t number = 0; // 0: the part of the file before its first banner
        size_t line = 0;
        std::string banner;
        size_t timeouts = 0, damagedLines = 0, unrecognised = 0;
        bool closed = false, finished = false, sameErrorsAsBefore = false;
        long long closeValues[6] = {};
        std::string phone, totalTime, date;
    };

    void openSection(const Event* banner);
    void closeSection();
    void ensureSection();
    void noteOlderLinesDropped(const Event& e);
    void flushDamaged();
    void flushResponseTime();
    void traffic(const Event& e);
    void portClose(const Event& e);
    std::string statusTags(const Communication& c, bool forList) const;
    void row(const std::string& classes, const std::string& content);

    std::ostream& m_out;
    std::string m_file;
    std::vector<Communication> m_comms; // one per section, for the list at the top
    bool m_sectionOpen = false;
    bool m_seenBanner = false;
    bool m_haveLastClose = false;
    long long m_lastClose[6] = {};
    // A response time waits for the reply it belongs to.
    bool m_responsePending = false;
    long long m_responseMs = 0;
    // Consecutive damaged lines read best as one row.
    size_t m_damagedFirst = 0, m_damagedLast = 0;
    std::string m_damagedProblem;
    Summary m_sum;
};

// The whole page of a log read into memory.
void writeHtmlPage(std::ostream& out, const Log& log);

// Writes the page to path through a temporary file beside it, renamed into place once complete: a
// failure never leaves half a page, and a link planted at path is replaced, not followed. Throws
// std::runtime_error with the reason.
void saveHtmlPage(const Log& log, const std::filesystem::path& path);

} // namespace pmlog

#endif // PMCTL_LOGHTML_H

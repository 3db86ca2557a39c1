#include "LogReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <ostream>
#include <stdexcept>

#include "ErrorNames.h"
#include "Text.h"

namespace pmlog {

namespace {

int base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

int keyValue(char c)
{
    size_t at = kKeyTable.find(c);
    return at == std::string_view::npos ? -1 : static_cast<int>(at);
}

// Parses an optionally negative decimal number at pos; advances pos past it.
bool parseNumber(std::string_view s, size_t& pos, long long& value)
{
    size_t p = pos;
    bool negative = p < s.size() && s[p] == '-';
    if (negative)
        ++p;
    size_t digits = 0;
    long long v = 0;
    while (p < s.size() && s[p] >= '0' && s[p] <= '9' && digits < 18) {
        v = v * 10 + (s[p] - '0');
        ++p;
        ++digits;
    }
    if (digits == 0)
        return false;
    value = negative ? -v : v;
    pos = p;
    return true;
}

bool expect(std::string_view s, size_t& pos, std::string_view literal)
{
    if (s.substr(pos, literal.size()) != literal)
        return false;
    pos += literal.size();
    return true;
}

// Text up to the literal end, which is consumed too.
bool textUntil(std::string_view s, size_t& pos, std::string_view end, std::string& text)
{
    size_t at = s.find(end, pos);
    if (at == std::string_view::npos)
        return false;
    text.assign(s.substr(pos, at - pos));
    pos = at + end.size();
    return true;
}

// The next occurrence of a needle at or after a position, remembered: a text full of record
// openings whose closing never comes is searched once, not once per opening. The text may grow at
// its end, and lose its beginning (shift), between calls.
class NextOccurrence {
  public:
    explicit NextOccurrence(std::string_view needle) : m_needle(needle) {}
    void reset() { m_valid = false; }
    void shift(size_t by)
    {
        if (!m_valid)
            return;
        m_from = m_from > by ? m_from - by : 0;
        m_to = m_to > by ? m_to - by : 0;
        if (m_at != std::string_view::npos)
            m_at = m_at >= by ? m_at - by : std::string_view::npos;
        if (m_at == std::string_view::npos && m_to == 0)
            m_valid = false;
    }
    size_t find(std::string_view s, size_t from)
    {
        // Known: no occurrence in [m_from, m_to) other than m_at.
        if (m_valid && from >= m_from && (m_at == std::string_view::npos || m_at >= from)) {
            if (m_at != std::string_view::npos)
                return m_at;
            if (s.size() <= m_to)
                return std::string_view::npos;
            size_t resume = std::max(from, m_to >= m_needle.size() ? m_to - m_needle.size() + 1 : 0);
            m_at = s.find(m_needle, resume);
            m_to = s.size();
            return m_at;
        }
        m_valid = true;
        m_from = from;
        m_at = s.find(m_needle, from);
        m_to = s.size();
        return m_at;
    }

  private:
    std::string_view m_needle;
    bool m_valid = false;
    size_t m_from = 0, m_to = 0;
    size_t m_at = std::string_view::npos;
};

// Parses one run of record text that no damaged line interrupts, as it is fed, keeping only the
// text that is not parsed yet. The run starts with a line feed added in front when it lacks one,
// so that a record cut from its leading line feed (the first line kept after the oldest lines
// were dropped, or the line after a damaged one) still reads. Events are handed on one by one;
// the last one is held back while a later record may still add to it.
class RunParser {
  public:
    using Emit = std::function<void(Event&&)>;

    RunParser(Emit emit, int& direction) : m_emit(std::move(emit)), m_direction(direction) {}

    // The text of one segment, which starts at line.
    void feed(std::string_view text, size_t line)
    {
        if (text.empty())
            return;
        if (!m_started) {
            m_started = true;
            m_aligned = false;
            m_lines.emplace_back(m_base + m_buf.size(), line);
            if (text[0] != '\n')
                m_buf += '\n';
        } else {
            m_lines.emplace_back(m_base + m_buf.size(), line);
        }
        m_buf.append(text);
        parseAvailable(false);
    }

    // A note about the text fed next: handed on after the records that start before it.
    void queueNote(Event&& note) { m_notes.emplace_back(m_base + m_buf.size(), std::move(note)); }

    // Parses the rest of the run and hands everything on. endOfFile: nothing follows the run, so
    // a record that is not closed was cut.
    void finish(bool endOfFile)
    {
        parseAvailable(true);
        if (endOfFile && m_pending && (m_pending->kind == Event::Unrecognised ||
                                       m_pending->kind == Event::Traffic)) {
            m_pending->cut = true;
        }
        emitPending();
        while (!m_notes.empty()) {
            m_emit(std::move(m_notes.front().second));
            m_notes.pop_front();
        }
        m_base += m_buf.size();
        m_buf.clear();
        m_pos = 0;
        m_lines.clear();
        m_started = false;
        m_aligned = false;
        m_prefixOpen = false;
        m_commentEnd.reset();
        m_lastModify.reset();
        m_osVersion.reset();
    }

  private:
    // The module cuts every record to 5119 characters; with that much text beyond a record's
    // start (and a little for the fixed text after it) the record reads as in the whole file.
    static constexpr size_t kMaxRecord = 5119;
    static constexpr size_t kLookahead = kMaxRecord + 128;
    static constexpr size_t kCompactAt = 1 << 16;

    void parseAvailable(bool final)
    {
        m_final = final;
        m_s = m_buf;
        while (m_pos < m_s.size() && (final || m_s.size() - m_pos > kLookahead)) {
            size_t start = m_pos;
            if (!parseRecord(m_pos)) {
                unrecognised(start, m_pos);
            }
        }
        lineAt(m_pos); // no record starts before here any more
        if (!final && m_pos >= kCompactAt) {
            m_buf.erase(0, m_pos);
            m_base += m_pos;
            m_commentEnd.shift(m_pos);
            m_lastModify.shift(m_pos);
            m_osVersion.shift(m_pos);
            m_pos = 0;
            m_s = m_buf;
        }
    }

    // Line of a position; positions are asked for in increasing order.
    size_t lineAt(size_t offset)
    {
        size_t at = m_base + offset;
        while (m_lines.size() > 1 && m_lines[1].first <= at)
            m_lines.pop_front();
        return m_lines.empty() ? 0 : m_lines.front().second;
    }

    void emitPending()
    {
        if (m_pending) {
            m_emit(std::move(*m_pending));
            m_pending.reset();
        }
    }

    Event& push(Event::Kind kind, size_t start)
    {
        m_prefixOpen = false;
        // A record that starts a line fixes where the traffic after it pairs its digits; a pause
        // or a time-out inside a traffic line does not.
        if (kind != Event::Pause && kind != Event::RxTimeout && kind != Event::Unrecognised &&
            kind != Event::Traffic)
            m_aligned = true;
        emitPending();
        size_t at = m_base + start;
        while (!m_notes.empty() && m_notes.front().first <= at) {
            m_emit(std::move(m_notes.front().second));
            m_notes.pop_front();
        }
        Event e;
        e.kind = kind;
        e.line = lineAt(start);
        m_pending = std::move(e);
        return *m_pending;
    }

    // Tries each record at pos; on success advances pos and returns true.
    bool parseRecord(size_t& pos)
    {
        const size_t start = pos;
        std::string_view s = m_s;
        size_t p = pos;
        if (s[p] == '\n') {
            if (expect(s, p, "\nLogStart Port Open (Start Communication)\n") ||
                (p = pos, expect(s, p, "\nPort Open (ReStart Communication)\n"))) {
                bool restart = s[start + 1] == 'P';
                push(Event::Banner, start + 1).text = restart ? "ReStart" : "LogStart";
                pos = p;
                return true;
            }
            p = pos;
            if (expect(s, p, "\nSD:") || (p = pos, expect(s, p, "\nRD:"))) {
                m_direction = s[start + 1] == 'S' ? 1 : 0;
                Event& e = push(Event::Traffic, start + 1);
                e.direction = m_direction;
                m_aligned = true;
                m_prefixOpen = true;
                pos = p;
                return true;
            }
            p = pos;
            long long v = 0;
            if (expect(s, p, "\n{") && parseNumber(s, p, v) && expect(s, p, "}")) {
                push(Event::ResponseTime, start + 1).values = {v};
                pos = p;
                return true;
            }
            for (std::string_view kind : {"SetDTR", "ClearDTR", "SetRTS", "ClearRTS"}) {
                p = pos + 1;
                if (s.substr(p, kind.size()) == kind) {
                    push(Event::LineControl, start + 1).text = kind;
                    pos = p + kind.size();
                    return true;
                }
            }
            p = pos;
            if (expect(s, p, "\nSet CommSpeed [") && parseNumber(s, p, v) &&
                expect(s, p, "]bps\n")) {
                push(Event::Speed, start + 1).values = {v};
                pos = p;
                return true;
            }
            p = pos;
            if (expect(s, p, "\n//---") && parseComment(start, p)) {
                pos = p;
                return true;
            }
            p = pos;
            if (expect(s, p, "\n\nPortClose (End Communication)\n[") &&
                parsePortClose(start + 2, p)) {
                pos = p;
                return true;
            }
            // Its first line feed is a line of its own, which the roll-over may have dropped.
            p = pos;
            if (expect(s, p, "\nPortClose (End Communication)\n[") &&
                parsePortClose(start + 1, p)) {
                pos = p;
                return true;
            }
            p = pos;
            if (expect(s, p, "\nUserInfo - PhoneUnivID[") && parseUserInfo(start, p)) {
                pos = p;
                return true;
            }
            p = pos;
            if (expect(s, p, "\nComm Finished TotalTime ") && parseFinished(start, p)) {
                pos = p;
                return true;
            }
            // A line feed that starts nothing known: part of the surrounding text.
            if (m_pending && m_pending->kind == Event::Unrecognised &&
                m_unrecognisedEnd == m_base + pos) {
                appendUnrecognised("\n");
                m_unrecognisedEnd = m_base + ++pos;
            } else {
                ++pos;
            }
            return true;
        }
        if (s[p] == '<') {
            long long a = 0, b = 0, c = 0;
            if (expect(s, p, "<TimeoutErr (") && parseNumber(s, p, a) &&
                expect(s, p, "msec GetCnt = ") && parseNumber(s, p, b) &&
                expect(s, p, " InBufCnt = ") && parseNumber(s, p, c) && expect(s, p, ")>")) {
                push(Event::RxTimeout, start).values = {a, b, c};
                pos = p;
                return true;
            }
            p = pos;
            if (expect(s, p, "<") && parseNumber(s, p, a) && expect(s, p, ">")) {
                push(Event::Pause, start).values = {a};
                pos = p;
                return true;
            }
            return false;
        }
        if (keyValue(s[p]) >= 0) {
            parseTraffic(pos);
            return true;
        }
        return false;
    }

    void parseTraffic(size_t& pos)
    {
        size_t end = pos;
        while (end < m_s.size() && keyValue(m_s[end]) >= 0)
            ++end;
        bool more = !m_final && end == m_s.size(); // the line may go on in text not yet fed
        if (more && (end - pos) % 2 != 0)
            --end; // keep a lone digit for its partner
        Event* e;
        if (m_prefixOpen) {
            e = &*m_pending;
        } else {
            // Traffic that no record of this run came before may begin inside a byte pair.
            bool unknown = !m_aligned;
            e = &push(Event::Traffic, pos);
            e->direction = m_direction;
            e->alignmentUnknown = unknown;
        }
        if (e->alignmentUnknown) {
            for (size_t i = pos; i < end; ++i)
                e->text += "0123456789abcdef"[keyValue(m_s[i])];
        } else {
            for (size_t i = pos; i + 1 < end; i += 2) {
                e->bytes.push_back(
                    static_cast<uint8_t>(keyValue(m_s[i]) * 16 + keyValue(m_s[i + 1])));
            }
            e->halfByte = (end - pos) % 2 != 0;
        }
        m_prefixOpen = more;
        pos = end;
    }

    // The module cuts every record to 5119 characters: a record's closing text is never searched
    // for further away, so that a file full of unclosed record openings still reads in linear time.
    std::string_view recordWindow(size_t start) const
    {
        return m_s.substr(0, std::min(m_s.size(), start + kMaxRecord));
    }

    bool parseComment(size_t start, size_t& p)
    {
        // The message may hold anything, even the closing text; the first closing that is
        // complete ends it.
        std::string_view s = recordWindow(start);
        size_t from = p;
        for (;;) {
            size_t at = m_commentEnd.find(m_s, from);
            if (at == std::string_view::npos || at >= s.size())
                return false;
            size_t q = at + 14;
            long long tick = 0;
            if (parseNumber(s, q, tick) && expect(s, q, "}\n")) {
                Event& e = push(Event::Comment, start + 1);
                e.text.assign(s.substr(p, at - p));
                e.values = {tick};
                p = q;
                return true;
            }
            from = at + 1;
        }
    }

    // start: where "PortClose" begins.
    bool parsePortClose(size_t start, size_t& p)
    {
        std::string_view s = recordWindow(start);
        std::string engText, lastModify;
        long long v[6];
        size_t at = m_lastModify.find(m_s, p);
        if (at == std::string_view::npos || at >= s.size())
            return false;
        if (!textUntil(s, p, "] _LastModify(", engText) ||
            !textUntil(s, p, ")\n : CommEngLastErr(LINE) [", lastModify) ||
            !parseNumber(s, p, v[0]) || !expect(s, p, "(") || !parseNumber(s, p, v[1]) ||
            !expect(s, p, ")] PortMdlLastErr(LINE) [") || !parseNumber(s, p, v[2]) ||
            !expect(s, p, "(") || !parseNumber(s, p, v[3]) ||
            !expect(s, p, ")] PortAPILastErr(LINE) [") || !parseNumber(s, p, v[4]) ||
            !expect(s, p, "(") || !parseNumber(s, p, v[5]) || !expect(s, p, ")]")) {
            return false;
        }
        expect(s, p, "\x81\x41"); // the record's closing comma
        Event& e = push(Event::PortClose, start);
        e.text = std::move(engText);
        e.text2 = std::move(lastModify);
        e.values.assign(v, v + 6);
        return true;
    }

    bool parseUserInfo(size_t start, size_t& p)
    {
        std::string_view s = recordWindow(start);
        std::string phone;
        long long v[5];
        size_t at = m_osVersion.find(m_s, p);
        if (at == std::string_view::npos || at >= s.size())
            return false;
        if (!textUntil(s, p, "]OSVer[", phone) || !parseNumber(s, p, v[0]) || !expect(s, p, ".") ||
            !parseNumber(s, p, v[1]) || !expect(s, p, " PlatID ") || !parseNumber(s, p, v[2]) ||
            !expect(s, p, "]CableType[") || !parseNumber(s, p, v[3]) || !expect(s, p, "]PortNo[") ||
            !parseNumber(s, p, v[4]) || !expect(s, p, "]")) {
            return false;
        }
        Event& e = push(Event::UserInfo, start + 1);
        e.text = std::move(phone);
        e.values.assign(v, v + 5);
        return true;
    }

    bool parseFinished(size_t start, size_t& p)
    {
        std::string_view s = recordWindow(start);
        while (p < s.size() && s[p] == ' ')
            ++p;
        size_t numberStart = p;
        while (p < s.size() && s[p] != ' ' && s[p] != '\n')
            ++p;
        std::string seconds(s.substr(numberStart, p - numberStart));
        std::string date;
        if (seconds.empty() || !expect(s, p, " Sec. Dete : ") || !textUntil(s, p, "\n", date))
            return false;
        expect(s, p, "\n"); // the record's own line feed after the date's
        Event& e = push(Event::Finished, start + 1);
        e.text = std::move(seconds);
        e.text2 = std::move(date);
        return true;
    }

    void appendUnrecognised(std::string_view text)
    {
        std::string& t = m_pending->text;
        if (t.size() < kMaxUnrecognised)
            t.append(text.substr(0, kMaxUnrecognised - t.size()));
    }

    void unrecognised(size_t start, size_t& pos)
    {
        size_t end = pos + 1;
        while (end < m_s.size() && m_s[end] != '\n' && m_s[end] != '<')
            ++end;
        if (m_pending && m_pending->kind == Event::Unrecognised &&
            m_unrecognisedEnd == m_base + start) {
            appendUnrecognised(m_s.substr(start, end - start));
        } else {
            push(Event::Unrecognised, start);
            appendUnrecognised(m_s.substr(start, end - start));
        }
        m_unrecognisedEnd = m_base + end;
        pos = end;
    }

    Emit m_emit;
    int& m_direction;
    std::string m_buf;   // the run's text from m_base on
    size_t m_base = 0;   // offset in the run of m_buf[0]
    size_t m_pos = 0;    // in m_buf: where parsing goes on
    std::string_view m_s; // m_buf while parsing
    bool m_final = false;
    bool m_started = false;
    bool m_aligned = false; // a line start was seen in this run
    std::deque<std::pair<size_t, size_t>> m_lines;  // run offset -> line, from the parsing point
    std::deque<std::pair<size_t, Event>> m_notes;   // run offset -> note
    std::optional<Event> m_pending;
    bool m_prefixOpen = false; // the held event is traffic that the next key characters extend
    size_t m_unrecognisedEnd = std::string_view::npos;
    NextOccurrence m_commentEnd{"---{TickCnt = "};
    NextOccurrence m_lastModify{"] _LastModify("};
    NextOccurrence m_osVersion{"]OSVer["};
};

// Where a path's status cannot be had, for a reason other than its absence.
[[noreturn]] void cannotReach(const std::filesystem::path& path, const std::error_code& ec)
{
    throw std::runtime_error("cannot read " + path.string() + ": " + ec.message() +
                             " (check the permissions of the folders on the way)");
}

// Whether the file is in the folder; a folder that cannot be looked into is an error.
bool present(const std::filesystem::path& folder, const char* file)
{
    std::error_code ec;
    auto status = std::filesystem::status(folder / file, ec);
    if (status.type() == std::filesystem::file_type::not_found)
        return false;
    if (ec)
        cannotReach(folder, ec);
    return true;
}

// An open log file, read in chunks. Only a regular file: a device or a pipe may never end.
class LogFile {
  public:
    explicit LogFile(const std::filesystem::path& path) : m_path(path)
    {
        m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        struct stat st {};
        if (m_fd < 0 || ::fstat(m_fd, &st) != 0) {
            int err = errno;
            throw std::runtime_error("cannot open " + path.string() + ": " + std::strerror(err) +
                                     (err == EACCES ? " (ask for a copy you may read)" : ""));
        }
        if (!S_ISREG(st.st_mode)) {
            throw std::runtime_error(path.string() + " is not a file: give a log file (PM_LOG.dat, "
                                                     "PM_LOG.tmp) or the folder that holds them");
        }
        m_empty = st.st_size == 0;
    }
    ~LogFile()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    bool empty() const { return m_empty; }

    // The next chunk; empty at the end of the file.
    std::string_view read()
    {
        for (;;) {
            ssize_t n = ::read(m_fd, m_buffer, sizeof m_buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                throw std::runtime_error("cannot read " + m_path.string() + ": " +
                                         std::strerror(errno));
            return {m_buffer, static_cast<size_t>(n)};
        }
    }

  private:
    std::filesystem::path m_path;
    int m_fd = -1;
    bool m_empty = false;
    char m_buffer[1 << 16];
};

std::string errorText(long long code, long long line)
{
    std::string text = std::to_string(code);
    if (const pmctl::ModuleError* error = pmctl::findModuleError(code); error && code != 0)
        text += std::string(" (") + error->brief + ")";
    return text + " at line " + std::to_string(line);
}

} // namespace

bool decodeLine(std::string_view text, std::string& piece, std::string& problem)
{
    piece.clear();
    if (text.empty()) {
        problem = "no Base64 text after ';'";
        return false;
    }
    size_t padding = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '=') {
            ++padding;
            continue;
        }
        if (base64Value(c) < 0 || padding != 0) {
            problem = "not Base64: " +
                      (padding != 0 ? std::string("text after the '=' padding")
                                    : "'" + pmctl::escapeForDisplay(text.substr(i, 1)) + "'") +
                      " at column " + std::to_string(i + 2);
            return false;
        }
    }
    if (text.size() % 4 != 0 || padding > 2) {
        problem = "cut short: " + std::to_string(text.size()) +
                  " Base64 characters, not a whole number of groups of 4";
        return false;
    }
    for (size_t i = 0; i < text.size(); i += 4) {
        int v[4];
        for (int k = 0; k < 4; ++k)
            v[k] = text[i + k] == '=' ? 0 : base64Value(text[i + k]);
        uint32_t group = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
        size_t bytes = 3;
        if (i + 4 == text.size())
            bytes -= padding;
        for (size_t k = 0; k < bytes; ++k)
            piece.push_back(static_cast<char>((group >> (16 - 8 * k)) & 0xff));
    }
    for (char& c : piece) {
        auto b = static_cast<uint8_t>(c);
        c = static_cast<char>(static_cast<uint8_t>((b << 4) | (b >> 4)));
    }
    return true;
}

namespace {

// Notes on the communications that another process left beside the log, waiting to be folded
// in by the next save ("PM_LOG.tmp." and six characters).
std::vector<std::string> waitingFiles(const std::filesystem::path& folder)
{
    std::vector<std::string> notes;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end;
         it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.size() == 17 && name.compare(0, 11, "PM_LOG.tmp.") == 0) {
            notes.push_back(name + ": a communication of another program that used the folder at "
                                   "the same time, waiting to be saved into the log; read it with "
                                   "pmctl log " + it->path().string());
        }
    }
    return notes;
}

bool isBase64Text(std::string_view text)
{
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return c == '=' || base64Value(c) >= 0; });
}

// Splits a file's content into lines, turns each into a segment, joins runs of damaged lines,
// and feeds the record text to the parser, all as the content arrives. Encoded lines begin with
// ';'. plainAllowed: lines without ';' are record text (a temporary file, where the current
// communication follows the carried-over encoded lines); otherwise such a line is damage.
class Reader {
  public:
    Reader(LogSink& sink, bool plainAllowed)
        : m_sink(sink), m_plainAllowed(plainAllowed),
          m_parser([this](Event&& e) { m_sink.event(e); }, m_direction)
    {
    }

    void feed(std::string_view chunk)
    {
        while (!chunk.empty()) {
            size_t end = chunk.find('\n');
            if (m_inPlainLine) {
                // Plain record text goes to the parser as it comes, however long its line.
                std::string_view piece =
                    end == std::string_view::npos ? chunk : chunk.substr(0, end + 1);
                plainText(piece);
                m_inPlainLine = end == std::string_view::npos;
                chunk.remove_prefix(piece.size());
                continue;
            }
            if (m_partial.empty() && m_plainAllowed && (m_plainBegun || chunk[0] != ';')) {
                flushDamage();
                ++m_lineNo;
                m_plainBegun = true;
                m_inPlainLine = true;
                continue;
            }
            if (end == std::string_view::npos) {
                // Only an encoded line is needed whole; of anything else the start tells enough.
                if (m_partial.empty() || m_partial[0] == ';' || m_partial.size() < 128)
                    m_partial.append(chunk);
                return;
            }
            if (m_partial.empty()) {
                line(chunk.substr(0, end), true);
            } else {
                if (m_partial[0] == ';' || m_partial.size() < 128)
                    m_partial.append(chunk.substr(0, end));
                line(m_partial, true);
                m_partial.clear();
            }
            chunk.remove_prefix(end + 1);
        }
    }

    void finish()
    {
        if (!m_partial.empty())
            line(m_partial, false);
        m_partial.clear();
        flushDamage();
        m_parser.finish(true);
    }

  private:
    void line(std::string_view line, bool terminated)
    {
        ++m_lineNo;
        Segment seg;
        seg.line = seg.lastLine = m_lineNo;
        if (!line.empty() && line[0] == ';' && !m_plainBegun) {
            std::string_view text = line.substr(1);
            if (!text.empty() && text.back() == '\r')
                text.remove_suffix(1); // a copy that went through a CR LF conversion
            if (!text.empty() && !isBase64Text(text)) {
                // The save stores a plain piece that begins with ';' (a message line can make
                // one) as it is: record text, not damage.
                seg.text.assign(line);
                if (terminated)
                    seg.text += '\n';
                seg.problem = "this line begins with ';' but is not Base64: a plain piece that "
                              "was stored as it is (a message can make one); read as record text";
            } else if (!decodeLine(text, seg.text, seg.problem)) {
                seg.damaged = true;
                seg.problem += ": \"" + pmctl::escapeForDisplay(line, 60) + "\"";
            } else if (!terminated) {
                seg.problem =
                    "the file ends inside this line (cut short?); shown as far as it goes";
            }
        } else {
            seg.damaged = true;
            seg.problem = "not an encoded line (it does not begin with ';'): \"" +
                          pmctl::escapeForDisplay(line, 60) + "\"";
        }
        if (seg.damaged) {
            if (m_damage && m_damage->lastLine + 1 == seg.line) {
                m_damage->lastLine = seg.line;
            } else {
                flushDamage();
                m_damage = std::move(seg);
            }
            return;
        }
        flushDamage();
        if (!seg.problem.empty()) {
            Event note;
            note.kind = Event::Note;
            note.text = seg.problem;
            note.line = seg.line;
            m_parser.queueNote(std::move(note));
        }
        m_sink.segment(seg);
        m_parser.feed(seg.text, seg.line);
    }

    void plainText(std::string_view text)
    {
        Segment seg;
        seg.text.assign(text);
        seg.line = seg.lastLine = m_lineNo;
        m_sink.segment(seg);
        m_parser.feed(text, m_lineNo);
    }

    // A run of damaged lines (a file of arbitrary bytes) is one stretch and one event.
    void flushDamage()
    {
        if (!m_damage)
            return;
        m_parser.finish(false);
        m_direction = -1; // a direction change may have been on the lost lines
        m_sink.segment(*m_damage);
        Event e;
        e.kind = Event::Damaged;
        e.text = m_damage->problem;
        e.line = m_damage->line;
        e.lastLine = m_damage->lastLine;
        m_sink.event(e);
        m_damage.reset();
    }

    LogSink& m_sink;
    bool m_plainAllowed;
    int m_direction = -1; // the oldest lines may have been dropped: unknown until a prefix
    RunParser m_parser;
    std::string m_partial;  // the line read so far, when it is not plain text
    bool m_inPlainLine = false; // inside a plain line, whose text is passed on as it comes
    size_t m_lineNo = 0;
    // A temporary file holds the carried-over encoded lines first; once its plain records have
    // begun, a line beginning with ';' is record text too (a message line).
    bool m_plainBegun = false;
    std::optional<Segment> m_damage;
};

// Gathers everything in memory.
class Collector : public LogSink {
  public:
    explicit Collector(Log& log) : m_log(log) {}
    void begin(const std::string& file, const std::vector<std::string>& notes) override
    {
        m_log.file = file;
        m_log.notes = notes;
    }
    void segment(const Segment& segment) override { m_log.segments.push_back(segment); }
    void event(const Event& event) override { m_log.events.push_back(event); }

  private:
    Log& m_log;
};

void streamFile(const std::filesystem::path& path, std::vector<std::string> notes,
                bool plainAllowed, LogSink& sink)
{
    LogFile file(path);
    std::string name = path.filename().string();
    if (file.empty())
        notes.push_back(name + " is empty: nothing was saved into it");
    sink.begin(name, notes);
    Reader reader(sink, plainAllowed);
    for (std::string_view chunk; !(chunk = file.read()).empty();)
        reader.feed(chunk);
    reader.finish();
    sink.end();
}

} // namespace

void LogSink::begin(const std::string&, const std::vector<std::string>&) {}
void LogSink::segment(const Segment&) {}
void LogSink::event(const Event&) {}
void LogSink::end() {}

void streamLogContent(std::string_view content, const std::string& name, bool plainAllowed,
                      LogSink& sink, size_t chunkSize)
{
    std::vector<std::string> notes;
    if (content.empty())
        notes.push_back(name + " is empty: nothing was saved into it");
    sink.begin(name, notes);
    Reader reader(sink, plainAllowed);
    if (chunkSize == 0)
        chunkSize = content.size();
    for (size_t at = 0; at < content.size(); at += chunkSize)
        reader.feed(content.substr(at, chunkSize));
    reader.finish();
    sink.end();
}

void streamLog(const std::filesystem::path& fileOrFolder, LogSink& sink)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    auto status = fs::status(fileOrFolder, ec);
    if (status.type() == fs::file_type::not_found)
        throw std::runtime_error("no such file or folder: " + fileOrFolder.string());
    if (ec)
        cannotReach(fileOrFolder, ec);
    if (fs::is_directory(status)) {
        bool haveDat = present(fileOrFolder, "PM_LOG.dat");
        std::vector<std::string> waiting = waitingFiles(fileOrFolder);
        if (present(fileOrFolder, "PM_LOG.tmp")) {
            std::vector<std::string> notes = {
                "reading PM_LOG.tmp: a communication is still open or did not close cleanly; "
                "the file holds the carried-over log lines and the newer records"};
            if (haveDat) {
                notes.push_back("PM_LOG.dat is there too: a save that did not finish wrote it "
                                "from PM_LOG.tmp, so it is not read again");
            }
            notes.insert(notes.end(), waiting.begin(), waiting.end());
            streamFile(fileOrFolder / "PM_LOG.tmp", notes, true, sink);
            return;
        }
        if (!haveDat && !waiting.empty()) {
            throw std::runtime_error("no PM_LOG.dat or PM_LOG.tmp in " + fileOrFolder.string() +
                                     ", only a communication that waits to be saved: " +
                                     waiting.front());
        }
        if (!haveDat) {
            throw std::runtime_error("no PM_LOG.dat or PM_LOG.tmp in " + fileOrFolder.string() +
                                     ": give the folder that the host logs to (pmctl talk --log "
                                     "FOLDER), or the log file itself");
        }
        streamFile(fileOrFolder / "PM_LOG.dat", waiting, false, sink);
        return;
    }
    // Plain records: a temporary file, or a communication waiting beside one (PM_LOG.tmp.XXXXXX).
    std::string name = fileOrFolder.filename().string();
    bool plain = fileOrFolder.extension() == ".tmp" || name.find(".tmp.") != std::string::npos;
    streamFile(fileOrFolder, {}, plain, sink);
}

Log readLogContent(std::string_view content, const std::string& name, bool plainAllowed)
{
    Log log;
    Collector collector(log);
    streamLogContent(content, name, plainAllowed, collector);
    return log;
}

Log readLog(const std::filesystem::path& fileOrFolder)
{
    Log log;
    Collector collector(log);
    streamLog(fileOrFolder, collector);
    return log;
}

void replay(const Log& log, LogSink& sink)
{
    sink.begin(log.file, log.notes);
    for (const Segment& seg : log.segments)
        sink.segment(seg);
    for (const Event& e : log.events)
        sink.event(e);
    sink.end();
}

size_t damagedLineCount(const Event& e)
{
    return e.lastLine >= e.line ? e.lastLine - e.line + 1 : 1;
}

bool isBarePrefix(const Event& e)
{
    return e.kind == Event::Traffic && e.bytes.empty() && !e.halfByte && !e.alignmentUnknown &&
           !e.cut;
}

bool isInsideCommunication(const Event& e)
{
    return e.kind != Event::Banner && e.kind != Event::Damaged && e.kind != Event::Note &&
           !isBarePrefix(e);
}

void Summary::add(const Event& e)
{
    if (e.kind == Event::Banner)
        ++communications;
    else if (e.kind == Event::Unrecognised)
        ++unrecognised;
    else if (e.kind == Event::Damaged)
        damagedLines += damagedLineCount(e);
}

void TranscriptPrinter::begin(const std::string& file, const std::vector<std::string>& notes)
{
    m_file = file;
    for (const std::string& note : notes)
        m_out << "note: " << note << "\n";
}

void TranscriptPrinter::event(const Event& e)
{
    const std::string where = m_file + " line ";
    if (!m_seenBanner && isInsideCommunication(e)) {
        m_out << "(the log begins inside a communication: its older lines were dropped)\n";
        m_seenBanner = true;
    }
    m_sum.add(e);
    switch (e.kind) {
    case Event::Banner:
        m_seenBanner = true;
        m_out << "\n=== Port Open ("
              << (e.text == "ReStart" ? "ReStart Communication" : "LogStart, Start Communication")
              << ")    [" << where << e.line << "]\n";
        break;
    case Event::Traffic: {
        const char* label = e.direction == 1   ? "  SD> "
                            : e.direction == 0 ? "  RD< "
                                               : "  ??? ";
        if (e.alignmentUnknown) {
            m_out << label << "(" << e.text.size()
                  << " traffic digits whose pairing into bytes is unknown: the start of their "
                     "line was dropped) ["
                  << where << e.line << "]\n";
            constexpr size_t kPerRow = 64;
            for (size_t at = 0; at < e.text.size(); at += kPerRow)
                m_out << "      " << e.text.substr(at, kPerRow) << "\n";
        } else {
            bool first = true;
            // Row by row: a traffic line may be very long.
            for (size_t at = 0; at < e.bytes.size(); at += 16) {
                size_t n = std::min<size_t>(16, e.bytes.size() - at);
                m_out << (first ? label : "      ") << pmctl::hexRows(e.bytes.data() + at, n)[0]
                      << "\n";
                first = false;
            }
            if (e.halfByte) {
                m_out << (first ? label : "      ")
                      << "(one lone traffic character after this: the line is cut) [" << where
                      << e.line << "]\n";
                first = false;
            }
            if (e.cut) {
                m_out << (first ? label : "      ")
                      << "(the file ends in this traffic: more may have been sent or received) ["
                      << where << e.line << "]\n";
            }
        }
        break;
    }
    case Event::ResponseTime:
        m_out << "        (answer after " << e.values[0] << " ms)\n";
        break;
    case Event::LineControl:
        m_out << "  " << e.text
              << (e.text == "SetDTR"     ? " (DTR raised)"
                  : e.text == "ClearDTR" ? " (DTR lowered)"
                  : e.text == "SetRTS"   ? " (RTS raised)"
                                         : " (RTS lowered)")
              << "\n";
        break;
    case Event::Speed:
        m_out << "  Set CommSpeed " << e.values[0] << " bps\n";
        break;
    case Event::Pause:
        m_out << "  <pause " << e.values[0] << " ms>\n";
        break;
    case Event::RxTimeout:
        m_out << "  <TimeoutErr: waited " << e.values[0] << " ms, got " << e.values[1] << " bytes, "
              << e.values[2] << " waiting>\n";
        break;
    case Event::Comment:
        m_out << "  // " << pmctl::escapeForDisplay(e.text) << "    {TickCnt = " << e.values[0]
              << "}\n";
        break;
    case Event::PortClose:
        m_out << "--- PortClose (End Communication)    [" << where << e.line << "]\n"
              << "  CommEngLastErr " << errorText(e.values[0], e.values[1]) << " ["
              << pmctl::escapeForDisplay(e.text) << "] _LastModify("
              << pmctl::escapeForDisplay(e.text2) << ")\n"
              << "  PortMdlLastErr " << errorText(e.values[2], e.values[3]) << "\n"
              << "  PortAPILastErr " << errorText(e.values[4], e.values[5]) << "\n";
        break;
    case Event::UserInfo:
        m_out << "--- UserInfo: PhoneUnivID[" << pmctl::escapeForDisplay(e.text) << "] OSVer "
              << e.values[0] << "." << e.values[1] << " PlatID " << e.values[2] << ", CableType "
              << e.values[3] << ", PortNo " << e.values[4] << "\n";
        break;
    case Event::Finished:
        m_out << "=== Comm Finished: total time " << e.text << " s, "
              << pmctl::escapeForDisplay(e.text2) << "\n";
        break;
    case Event::Unrecognised:
        m_out << "? " << where << e.line << ": unrecognised text \""
              << pmctl::escapeForDisplay(e.text, 200) << "\"\n";
        if (e.cut)
            m_out << "  (cut: the file ends inside this record; its writer stopped there)\n";
        break;
    case Event::Damaged: {
        size_t lines = damagedLineCount(e);
        if (lines == 1) {
            m_out << "! " << where << e.line << ": " << e.text << "\n";
        } else {
            m_out << "! " << m_file << " lines " << e.line << "-" << e.lastLine << ": " << lines
                  << " damaged lines skipped (line " << e.line << ": " << e.text << ")\n";
        }
        break;
    }
    case Event::Note:
        m_out << "note: " << where << e.line << ": " << e.text << "\n";
        break;
    }
}

void TranscriptPrinter::end()
{
    m_out << "\n--- end of " << m_file << ": " << m_sum.communications << " communication"
          << (m_sum.communications == 1 ? "" : "s") << ", " << m_sum.damagedLines
          << " damaged line" << (m_sum.damagedLines == 1 ? "" : "s") << ", " << m_sum.unrecognised
          << " unrecognised text" << (m_sum.unrecognised == 1 ? "" : "s") << "\n";
}

void RecordsPrinter::segment(const Segment& seg)
{
    if (seg.damaged) {
        if (seg.lastLine > seg.line) {
            m_out << "\n!! lines " << seg.line << "-" << seg.lastLine << ": "
                  << (seg.lastLine - seg.line + 1) << " damaged lines skipped (line " << seg.line
                  << ": " << seg.problem << ")\n";
        } else {
            m_out << "\n!! line " << seg.line << ": " << seg.problem << "\n";
        }
        return;
    }
    m_out << seg.text;
}

Summary printTranscript(std::ostream& out, const Log& log)
{
    TranscriptPrinter printer(out);
    replay(log, printer);
    return printer.summary();
}

void printRecords(std::ostream& out, const Log& log)
{
    RecordsPrinter printer(out);
    replay(log, printer);
}

} // namespace pmlog

#include "LogRecordParser.h"

#include <algorithm>
#include <deque>
#include <optional>
#include <string>

namespace pmlog {

namespace {

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

} // namespace

class RecordParser::Run {
  public:
    using Emit = std::function<void(Event&&)>;

    Run(Emit emit, int& direction) : m_emit(std::move(emit)), m_direction(direction) {}

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

RecordParser::RecordParser(Emit emit, int& direction)
    : m_run(std::make_unique<Run>(std::move(emit), direction))
{
}

RecordParser::~RecordParser() = default;

void RecordParser::feed(std::string_view text, size_t line)
{
    m_run->feed(text, line);
}

void RecordParser::queueNote(Event&& note)
{
    m_run->queueNote(std::move(note));
}

void RecordParser::finish(bool endOfFile)
{
    m_run->finish(endOfFile);
}

} // namespace pmlog

#include "LogReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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
// openings whose closing never comes is searched once, not once per opening.
class NextOccurrence {
  public:
    explicit NextOccurrence(std::string_view needle) : m_needle(needle) {}
    void reset() { m_searchedFrom = std::string_view::npos; }
    size_t find(std::string_view s, size_t from)
    {
        // Valid while the last search started at or before from and found nothing before it.
        if (m_searchedFrom == std::string_view::npos || from < m_searchedFrom ||
            (m_at != std::string_view::npos && m_at < from)) {
            m_at = s.find(m_needle, from);
            m_searchedFrom = from;
        }
        return m_at;
    }

  private:
    std::string_view m_needle;
    size_t m_searchedFrom = std::string_view::npos;
    size_t m_at = std::string_view::npos;
};

// Parses one run of record text that no damaged line interrupts. The run starts with a line feed
// added in front when it lacks one, so that a record cut from its leading line feed (the first
// line kept after the oldest lines were dropped, or the line after a damaged one) still reads.
class RunParser {
  public:
    RunParser(std::vector<Event>& out, int& direction) : m_out(out), m_direction(direction) {}

    void parse(std::string_view text, const std::vector<std::pair<size_t, size_t>>& lineStarts)
    {
        m_s = text;
        m_lines = &lineStarts;
        m_prefixOpen = false;
        m_commentEnd.reset();
        m_lastModify.reset();
        m_osVersion.reset();
        size_t pos = 0;
        while (pos < m_s.size()) {
            size_t start = pos;
            if (!parseRecord(pos)) {
                unrecognised(start, pos);
            }
        }
    }

  private:
    size_t lineAt(size_t offset) const
    {
        auto it = std::upper_bound(
            m_lines->begin(), m_lines->end(), offset,
            [](size_t o, const std::pair<size_t, size_t>& e) { return o < e.first; });
        return it == m_lines->begin() ? m_lines->front().second : std::prev(it)->second;
    }

    Event& push(Event::Kind kind, size_t start)
    {
        m_prefixOpen = false;
        Event e;
        e.kind = kind;
        e.line = lineAt(start);
        m_out.push_back(std::move(e));
        return m_out.back();
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
            if (!m_out.empty() && m_out.back().kind == Event::Unrecognised &&
                m_unrecognisedEnd == pos) {
                m_out.back().text += '\n';
                m_unrecognisedEnd = ++pos;
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
        Event* e;
        if (m_prefixOpen) {
            e = &m_out.back();
        } else {
            e = &push(Event::Traffic, pos);
            e->direction = m_direction;
        }
        for (size_t i = pos; i + 1 < end; i += 2) {
            e->bytes.push_back(static_cast<uint8_t>(keyValue(m_s[i]) * 16 + keyValue(m_s[i + 1])));
        }
        e->halfByte = (end - pos) % 2 != 0;
        m_prefixOpen = false;
        pos = end;
    }

    // The module cuts every record to 5119 characters: a record's closing text is never searched
    // for further away, so that a file full of unclosed record openings still reads in linear time.
    std::string_view recordWindow(size_t start) const
    {
        constexpr size_t kMaxRecord = 5119;
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

    void unrecognised(size_t start, size_t& pos)
    {
        size_t end = pos + 1;
        while (end < m_s.size() && m_s[end] != '\n' && m_s[end] != '<')
            ++end;
        if (!m_out.empty() && m_out.back().kind == Event::Unrecognised &&
            m_unrecognisedEnd == start) {
            m_out.back().text.append(m_s.substr(start, end - start));
        } else {
            push(Event::Unrecognised, start).text.assign(m_s.substr(start, end - start));
        }
        m_unrecognisedEnd = end;
        pos = end;
    }

    std::vector<Event>& m_out;
    int& m_direction;
    std::string_view m_s;
    const std::vector<std::pair<size_t, size_t>>* m_lines = nullptr;
    bool m_prefixOpen = false; // the last event is a traffic prefix still waiting for its data
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

std::string readFile(const std::filesystem::path& path)
{
    // Only a regular file: a device or a pipe may never end.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        int err = errno;
        if (fd >= 0)
            ::close(fd);
        throw std::runtime_error("cannot open " + path.string() + ": " + std::strerror(err) +
                                 (err == EACCES ? " (ask for a copy you may read)" : ""));
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        throw std::runtime_error(path.string() + " is not a file: give a log file (PM_LOG.dat, "
                                                 "PM_LOG.tmp) or the folder that holds them");
    }
    std::string content;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            std::string reason = std::strerror(errno);
            ::close(fd);
            throw std::runtime_error("cannot read " + path.string() + ": " + reason);
        }
        if (n == 0)
            break;
        content.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return content;
}

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

std::vector<Segment> readSegments(std::string_view content, bool plainAllowed)
{
    std::vector<Segment> segments;
    size_t pos = 0;
    size_t lineNo = 0;
    // A temporary file holds the carried-over encoded lines first; once its plain records have
    // begun, a line beginning with ';' is record text too (a message line).
    bool plainBegun = false;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos);
        bool terminated = end != std::string_view::npos;
        if (!terminated)
            end = content.size();
        std::string_view line = content.substr(pos, end - pos);
        Segment seg;
        seg.line = ++lineNo;
        if (!line.empty() && line[0] == ';' && !plainBegun) {
            std::string_view text = line.substr(1);
            if (!text.empty() && text.back() == '\r')
                text.remove_suffix(1); // a copy that went through a CR LF conversion
            if (!decodeLine(text, seg.text, seg.problem)) {
                seg.damaged = true;
                seg.problem += ": \"" + pmctl::escapeForDisplay(line, 60) + "\"";
            } else if (!terminated) {
                seg.problem =
                    "the file ends inside this line (cut short?); shown as far as it goes";
            }
        } else if (plainAllowed) {
            plainBegun = true;
            seg.text.assign(line);
            if (terminated)
                seg.text += '\n';
        } else {
            seg.damaged = true;
            seg.problem = "not an encoded line (it does not begin with ';'): \"" +
                          pmctl::escapeForDisplay(line, 60) + "\"";
        }
        segments.push_back(std::move(seg));
        pos = terminated ? end + 1 : end;
    }
    return segments;
}

std::vector<Event> parseSegments(const std::vector<Segment>& segments)
{
    std::vector<Event> events;
    int direction = -1; // the oldest lines may have been dropped: unknown until a prefix
    RunParser parser(events, direction);
    std::string run;
    std::vector<std::pair<size_t, size_t>> lineStarts; // offset in run -> line number
    auto flush = [&] {
        if (run.empty())
            return;
        if (run[0] != '\n') {
            run.insert(run.begin(), '\n');
            for (auto& l : lineStarts)
                ++l.first;
            lineStarts.front().first = 0;
        }
        parser.parse(run, lineStarts);
        run.clear();
        lineStarts.clear();
    };
    auto notice = [&](const Segment& seg) {
        Event e;
        e.kind = Event::Damaged;
        e.text = seg.problem;
        e.line = seg.line;
        events.push_back(std::move(e));
    };
    for (const Segment& seg : segments) {
        if (seg.damaged) {
            flush();
            notice(seg);
            direction = -1; // a direction change may have been on the lost line
            continue;
        }
        if (!seg.problem.empty()) {
            flush();
            notice(seg);
        }
        lineStarts.emplace_back(run.size(), seg.line);
        run += seg.text;
    }
    flush();
    return events;
}

Log readLogContent(std::string_view content, const std::string& name, bool plainAllowed)
{
    Log log;
    log.file = name;
    if (content.empty())
        log.notes.push_back(name + " is empty: nothing was saved into it");
    log.segments = readSegments(content, plainAllowed);
    log.events = parseSegments(log.segments);
    return log;
}

Log readLog(const std::filesystem::path& fileOrFolder)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    auto status = fs::status(fileOrFolder, ec);
    if (status.type() == fs::file_type::not_found)
        throw std::runtime_error("no such file or folder: " + fileOrFolder.string());
    if (ec)
        cannotReach(fileOrFolder, ec);
    if (fs::is_directory(status)) {
        fs::path dat = fileOrFolder / "PM_LOG.dat";
        fs::path tmp = fileOrFolder / "PM_LOG.tmp";
        bool haveDat = present(fileOrFolder, "PM_LOG.dat");
        if (present(fileOrFolder, "PM_LOG.tmp")) {
            std::string content = readFile(tmp);
            Log log = readLogContent(content, tmp.filename().string(), true);
            log.notes.insert(
                log.notes.begin(),
                "reading PM_LOG.tmp: a communication is still open or did not close cleanly; "
                "the file holds the carried-over log lines and the newer records");
            if (haveDat) {
                log.notes.push_back("PM_LOG.dat is there too: a save that did not finish wrote "
                                    "it from PM_LOG.tmp, so it is not read again");
            }
            return log;
        }
        if (!haveDat) {
            throw std::runtime_error("no PM_LOG.dat or PM_LOG.tmp in " + fileOrFolder.string() +
                                     ": give the folder that the host logs to (pmctl talk --log "
                                     "FOLDER), or the log file itself");
        }
        return readLogContent(readFile(dat), dat.filename().string(), false);
    }
    bool plain = fileOrFolder.extension() == ".tmp";
    return readLogContent(readFile(fileOrFolder), fileOrFolder.filename().string(), plain);
}

Summary printTranscript(std::ostream& out, const Log& log)
{
    Summary sum;
    for (const std::string& note : log.notes)
        out << "note: " << note << "\n";
    const std::string where = log.file + " line ";
    bool seenBanner = false;
    for (size_t i = 0; i < log.events.size(); ++i) {
        const Event& e = log.events[i];
        if (!seenBanner && e.kind != Event::Banner && e.kind != Event::Damaged &&
            !(e.kind == Event::Traffic && e.bytes.empty() && !e.halfByte)) {
            out << "(the log begins inside a communication: its older lines were dropped)\n";
            seenBanner = true;
        }
        switch (e.kind) {
        case Event::Banner:
            seenBanner = true;
            ++sum.communications;
            out << "\n=== Port Open ("
                << (e.text == "ReStart" ? "ReStart Communication" : "LogStart, Start Communication")
                << ")    [" << where << e.line << "]\n";
            break;
        case Event::Traffic: {
            if (e.bytes.empty() && !e.halfByte)
                break;
            const char* label = e.direction == 1   ? "  SD> "
                                : e.direction == 0 ? "  RD< "
                                                   : "  ??? ";
            auto rows = pmctl::hexRows(e.bytes.data(), e.bytes.size());
            for (size_t r = 0; r < rows.size(); ++r)
                out << (r == 0 ? label : "      ") << rows[r] << "\n";
            if (e.halfByte) {
                out << (rows.empty() ? label : "      ")
                    << "(one lone traffic character after this: the line is cut) [" << where
                    << e.line << "]\n";
            }
            break;
        }
        case Event::ResponseTime:
            out << "        (answer after " << e.values[0] << " ms)\n";
            break;
        case Event::LineControl:
            out << "  " << e.text
                << (e.text == "SetDTR"     ? " (DTR raised)"
                    : e.text == "ClearDTR" ? " (DTR lowered)"
                    : e.text == "SetRTS"   ? " (RTS raised)"
                                           : " (RTS lowered)")
                << "\n";
            break;
        case Event::Speed:
            out << "  Set CommSpeed " << e.values[0] << " bps\n";
            break;
        case Event::Pause:
            out << "  <pause " << e.values[0] << " ms>\n";
            break;
        case Event::RxTimeout:
            out << "  <TimeoutErr: waited " << e.values[0] << " ms, got " << e.values[1]
                << " bytes, " << e.values[2] << " waiting>\n";
            break;
        case Event::Comment:
            out << "  // " << pmctl::escapeForDisplay(e.text) << "    {TickCnt = " << e.values[0]
                << "}\n";
            break;
        case Event::PortClose:
            out << "--- PortClose (End Communication)    [" << where << e.line << "]\n"
                << "  CommEngLastErr " << errorText(e.values[0], e.values[1]) << " ["
                << pmctl::escapeForDisplay(e.text) << "] _LastModify("
                << pmctl::escapeForDisplay(e.text2) << ")\n"
                << "  PortMdlLastErr " << errorText(e.values[2], e.values[3]) << "\n"
                << "  PortAPILastErr " << errorText(e.values[4], e.values[5]) << "\n";
            break;
        case Event::UserInfo:
            out << "--- UserInfo: PhoneUnivID[" << pmctl::escapeForDisplay(e.text) << "] OSVer "
                << e.values[0] << "." << e.values[1] << " PlatID " << e.values[2] << ", CableType "
                << e.values[3] << ", PortNo " << e.values[4] << "\n";
            break;
        case Event::Finished:
            out << "=== Comm Finished: total time " << e.text << " s, "
                << pmctl::escapeForDisplay(e.text2) << "\n";
            break;
        case Event::Unrecognised:
            ++sum.unrecognised;
            out << "? " << where << e.line << ": unrecognised text \""
                << pmctl::escapeForDisplay(e.text, 200) << "\"\n";
            break;
        case Event::Damaged: {
            // A run of damaged lines (a file of arbitrary bytes) reads best as one notice.
            size_t j = i;
            while (j + 1 < log.events.size() && log.events[j + 1].kind == Event::Damaged &&
                   log.events[j + 1].line == log.events[j].line + 1)
                ++j;
            sum.damagedLines += j - i + 1;
            if (j == i) {
                out << "! " << where << e.line << ": " << e.text << "\n";
            } else {
                out << "! " << log.file << " lines " << e.line << "-" << log.events[j].line << ": "
                    << (j - i + 1) << " damaged lines skipped (line " << e.line << ": " << e.text
                    << ")\n";
            }
            i = j;
            break;
        }
        }
    }
    out << "\n--- end of " << log.file << ": " << sum.communications << " communication"
        << (sum.communications == 1 ? "" : "s") << ", " << sum.damagedLines << " damaged line"
        << (sum.damagedLines == 1 ? "" : "s") << ", " << sum.unrecognised << " unrecognised text"
        << (sum.unrecognised == 1 ? "" : "s") << "\n";
    return sum;
}

void printRecords(std::ostream& out, const Log& log)
{
    for (const Segment& seg : log.segments) {
        if (seg.damaged) {
            out << "\n!! line " << seg.line << ": " << seg.problem << "\n";
            continue;
        }
        out << seg.text;
    }
}

} // namespace pmlog

#include "LogReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>

#include "LogRecordParser.h"
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
    RecordParser m_parser;
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

} // namespace pmlog

// Reader of the module's communication log. Undoes both encodings of "PM_LOG.dat" (Base64 of each
// line, then the swap of the two halves of every byte) and the key-table substitution of the
// traffic, and turns the record text into events for a sink (the transcript, the records view, the
// HTML page, JSON). It is a reader for people: damage (bad Base64, truncated lines, stray bytes) is
// reported with its line and reading goes on. This file reads and splits files and joins damaged
// lines; LogRecordParser parses the record text.
#ifndef PMCTL_LOGREADER_H
#define PMCTL_LOGREADER_H

#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace pmlog {

// The characters that stand for the hex digits 0..15 in traffic records.
inline constexpr std::string_view kKeyTable = "#pL4$w9Q)k2%Tx7=";

// Base64-decodes text (RFC 4648 alphabet, '=' padding required) and swaps the halves of every
// decoded byte: the inverse of how the module stores one piece of its temporary file. On failure
// returns false and says why in problem.
bool decodeLine(std::string_view text, std::string& piece, std::string& problem);

// One stretch of record text taken from a file: a decoded encoded line, or a plain line of a
// temporary file. A damaged stretch carries no text, only its problem; consecutive damaged lines
// make one stretch (line to lastLine).
struct Segment {
    std::string text;
    size_t line = 0;      // 1-based line number in its file
    size_t lastLine = 0;  // a damaged stretch: its last line
    bool damaged = false; // the line is skipped
    std::string problem;  // why it is damaged, or a note about a line that was kept
};

struct Event {
    enum Kind {
        Banner,       // text: "LogStart" or "ReStart"
        Traffic,      // direction, bytes, halfByte; or alignmentUnknown with the digits in text
        ResponseTime, // values[0]: milliseconds
        LineControl,  // text: "SetDTR", "ClearDTR", "SetRTS" or "ClearRTS"
        Speed,        // values[0]: bits per second
        Pause,        // values[0]: milliseconds
        RxTimeout,    // values: time-out ms, bytes obtained, bytes waiting
        Comment,      // text: the message; values[0]: tick count
        PortClose,    // text, text2: CommEng texts; values: six error codes and lines
        UserInfo,     // text: phone id; values: OS major, minor, platform, cable type, port no
        Finished,     // text: total seconds as printed; text2: the date
        Unrecognised, // text: the raw text (its first kMaxUnrecognised bytes)
        Damaged,      // text: the problem of the first line; lines line to lastLine skipped
        Note          // text: a remark about the line, which was read as record text
    };
    Kind kind;
    int direction = -1;         // Traffic: 1 send, 0 receive, -1 unknown (after damage)
    std::vector<uint8_t> bytes; // Traffic
    bool halfByte = false;      // Traffic: ended in a lone hex digit
    // Traffic at the start of what could be read (the log rolled over, or a damaged line went
    // before): its line's start is gone, so which digits pair into bytes is unknown. text holds
    // the hex digits; bytes stays empty.
    bool alignmentUnknown = false;
    bool cut = false; // the file ends inside this record
    std::vector<long long> values;
    std::string text, text2;
    size_t line = 0;     // line of the file where the record starts
    size_t lastLine = 0; // Damaged: the last line of the run
};

// Unrecognised text longer than this keeps only its beginning.
inline constexpr size_t kMaxUnrecognised = 4096;

// What a log is read into, piece by piece, in file order: a renderer of the transcript, a
// collector, a copy of the record text. Reading keeps only a small window of the file in memory.
class LogSink {
  public:
    virtual ~LogSink() = default;
    // file: the file that is read; notes: remarks about the choice of the file.
    virtual void begin(const std::string& file, const std::vector<std::string>& notes);
    virtual void segment(const Segment& segment);
    virtual void event(const Event& event);
    virtual void end();
};

// Reads a log file or a log folder. A folder: "PM_LOG.dat", or "PM_LOG.tmp" when that is there
// (it starts with the lines of "PM_LOG.dat" that were carried over and holds the newer records;
// a "PM_LOG.dat" beside it is only a copy made by an unfinished save). A file: encoded lines, and
// plain record text too when its name ends in ".tmp". Throws std::runtime_error when nothing can
// be read (before anything reaches the sink) or when reading fails on the way.
void streamLog(const std::filesystem::path& fileOrFolder, LogSink& sink);

// The same for content already in memory; name is only used in messages. chunkSize: the content
// is taken in pieces of that many bytes, as a file is read (0: all at once); the events are the
// same either way.
void streamLogContent(std::string_view content, const std::string& name, bool plainAllowed,
                      LogSink& sink, size_t chunkSize = 0);

// A whole log gathered in memory.
struct Log {
    std::string file;               // the file that was read
    std::vector<std::string> notes; // remarks about the choice of the file
    std::vector<Segment> segments;
    std::vector<Event> events;
};

Log readLog(const std::filesystem::path& fileOrFolder);
Log readLogContent(std::string_view content, const std::string& name, bool plainAllowed);

// Hands a gathered log to a sink: begin, all segments, all events, end. The segments and events
// are not interleaved as in a reading; each sink uses one or the other.
void replay(const Log& log, LogSink& sink);

// The number of lines a Damaged event skipped.
size_t damagedLineCount(const Event& e);

// A traffic prefix ("SD:", "RD:") that nothing followed, not even the end of the file.
bool isBarePrefix(const Event& e);

// Whether the event is part of a communication: not a banner, damage, a note or a bare prefix.
// One before the first banner means the log begins inside a communication whose older lines were
// dropped.
bool isInsideCommunication(const Event& e);

struct Summary {
    size_t communications = 0;
    size_t damagedLines = 0;
    size_t unrecognised = 0;
    // Counts the event's banner, damaged lines or unrecognised text.
    void add(const Event& e);
};

} // namespace pmlog

#endif // PMCTL_LOGREADER_H

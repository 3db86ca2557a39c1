// The log reader of pmctl on arbitrary bytes, as a rolling log and as a temporary file. Beyond not
// crashing: the events must not depend on how the content is cut into pieces while it is read,
// and both printers must take them.
#include <cstdint>
#include <cstdlib>
#include <ostream>
#include <streambuf>
#include <string_view>
#include <vector>

#include "LogReader.h"
#include "LogRecordsView.h"
#include "LogTranscript.h"

namespace {

struct Collect : pmlog::LogSink {
    std::vector<pmlog::Event> events;
    void event(const pmlog::Event& e) override { events.push_back(e); }
};

bool same(const pmlog::Event& a, const pmlog::Event& b)
{
    return a.kind == b.kind && a.direction == b.direction && a.bytes == b.bytes &&
           a.halfByte == b.halfByte && a.alignmentUnknown == b.alignmentUnknown &&
           a.cut == b.cut && a.values == b.values && a.text == b.text && a.text2 == b.text2 &&
           a.line == b.line && a.lastLine == b.lastLine;
}

// Discards what is printed.
class NullBuffer : public std::streambuf {
  protected:
    int overflow(int c) override { return c; }
    std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    // The first byte: the kind of file, and the size of the pieces it is read in.
    bool plain = (data[0] & 1) != 0;
    size_t chunk = 1 + ((data[0] >> 1) * 37u) % 8000;
    std::string_view content(reinterpret_cast<const char*>(data + 1), size - 1);
    const char* name = plain ? "PM_LOG.tmp" : "PM_LOG.dat";

    Collect whole, pieces;
    pmlog::streamLogContent(content, name, plain, whole);
    pmlog::streamLogContent(content, name, plain, pieces, chunk);
    if (whole.events.size() != pieces.events.size())
        abort();
    for (size_t i = 0; i < whole.events.size(); ++i) {
        if (!same(whole.events[i], pieces.events[i]))
            abort();
    }

    NullBuffer nothing;
    std::ostream out(&nothing);
    pmlog::TranscriptPrinter transcript(out);
    pmlog::streamLogContent(content, name, plain, transcript, chunk);
    pmlog::RecordsPrinter records(out);
    pmlog::streamLogContent(content, name, plain, records);
    return 0;
}

#include "LogHtml.h"

#include <algorithm>
#include <ostream>

#include "ErrorNames.h"
#include "NamedOutput.h"
#include "Text.h"

namespace pmlog {

namespace {

// The page's look. Everything is inline: the page must open with no other file and no network.
// The list of communications comes last in the file (only then is it known) and is moved to the
// top by the flex order.
constexpr const char* kStyle = R"(
body{margin:0;display:flex;flex-direction:column;font:14px/1.4 system-ui,sans-serif;color:#1b1b1b;background:#fff}
header{order:-3;padding:.8em 1.2em .2em}
header .note{margin:.3em 0 0}
nav{order:-2;padding:0 1.2em}
.legend{order:-1;margin:.6em 1.2em;padding:.5em .8em;background:#f6f6f3;border:1px solid #ddd;font-size:13px}
main{order:0;padding:0 1.2em 2em}
h1{font-size:20px;margin:0}
h2{font-size:17px;margin:1.4em 0 .3em;border-bottom:1px solid #ccc}
h2 small,h3 small{font-weight:normal;color:#666}
h3{font-size:14px;margin:0 0 .3em}
nav ol{margin:.3em 0;padding-left:2em}
nav li{margin:.15em 0}
.counts{color:#444}
.note{color:#6a4b00}
.tag{display:inline-block;margin-left:.4em;padding:0 .45em;border-radius:.7em;font-size:12px;border:1px solid}
.tag.ok{color:#1d6b33;border-color:#8fc9a0;background:#effaf2}
.tag.err{color:#fff;background:#c8102e;border-color:#c8102e;font-weight:600}
.tag.old{color:#c8102e;background:#fff0f2}
.tag.warn{color:#8a4b00;background:#fff4e0;border-color:#e3b061}
ol.tl{list-style:none;margin:0;padding:.4em 0;background:linear-gradient(#9a9a9a,#9a9a9a) no-repeat center/2px 100%}
ol.tl>li{display:grid;grid-template-columns:1fr 9em 1fr;align-items:center;min-height:1.3em;margin:.15em 0}
.h{grid-column:1;justify-self:end;max-width:100%}
.a{grid-column:2;justify-self:center}
.p{grid-column:3;justify-self:start;max-width:100%}
.w{grid-column:1/-1;justify-self:center;max-width:100%}
details{min-width:0}
summary{cursor:pointer;padding:.15em .5em;border-radius:4px;border:1px solid;overflow-wrap:anywhere}
.send summary{background:#e7f0fc;border-color:#8db0e0}
.reply summary{background:#e8f6ec;border-color:#8ccaa0}
.unknown summary{background:#f0f0f0;border-color:#bbb}
.send summary::after{content:" \2192"}
.reply summary::before{content:"\2190  "}
.bytes{font-family:ui-monospace,monospace;white-space:pre-wrap}
.bytes i{color:#7a7a7a;font-style:normal}
.count{color:#555;font-size:12px;margin-left:.4em}
pre.hex{margin:.2em 0;padding:.4em .6em;background:#fafafa;border:1px solid #ddd;font-size:12px;overflow-x:auto}
.rt{font-size:12px;color:#1d6b33;background:#fff;padding:0 .3em}
.bar{width:12px;background:repeating-linear-gradient(#d9d9d9 0 3px,#8a8a8a 3px 6px)}
.bar.cut{border-bottom:4px double #c8102e}
.gl{font-size:12px;color:#555}
.mark span.w,.mark div.w{background:#f2f2f2;border:1px solid #c9c9c9;border-radius:1em;padding:0 .7em;font-size:13px}
.comment span.w{background:#f5effa;border-color:#c6b1dc}
.err .w,.err .p{background:#c8102e;color:#fff;border-radius:4px;padding:.1em .6em;font-weight:600}
.unrec .w{background:#fff4e0;color:#8a4b00;border:1px solid #e3b061;border-radius:4px;padding:.1em .6em}
.warnline{color:#8a4b00;font-size:12px}
.cutmark{display:block;color:#c8102e;font-size:12px;font-weight:600}
.remark span.w{background:#fff8e6;border-color:#e3c77a;color:#6a4b00}
.close .w{border:1px solid #bbb;border-radius:4px;padding:.5em .8em;background:#fbfbfb}
table{border-collapse:collapse;font-size:13px}
th,td{text-align:left;padding:.1em .8em .1em 0}
tr.bad td{color:#c8102e;font-weight:600}
.fine{font-size:12px;color:#666;margin:.3em 0 0}
.status{margin:.4em 0 0;font-size:13px}
)";

// Text for HTML: & < > " ' as entities. Input from the log passes escapeForDisplay first, so only
// printable ASCII reaches here and no byte can break the page's encoding.
std::string esc(std::string_view s)
{
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// Arbitrary bytes from the log as safe text.
std::string shown(std::string_view bytes, size_t maxLength = 0)
{
    return esc(pmctl::escapeForDisplay(bytes, maxLength));
}

std::string num(long long v)
{
    return std::to_string(v);
}

// A number of a record; 0 where an event carries fewer than its kind has.
long long v(const Event& e, size_t i)
{
    return i < e.values.size() ? e.values[i] : 0;
}

std::string plural(size_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Traffic as text: printable characters as they are, the others as escapes set apart in grey.
std::string trafficText(const std::vector<uint8_t>& bytes)
{
    constexpr size_t kShown = 160;
    std::string out;
    bool escaped = false;
    size_t n = std::min(bytes.size(), kShown);
    for (size_t i = 0; i < n; ++i) {
        uint8_t b = bytes[i];
        bool printable = b >= 0x20 && b < 0x7f;
        if (printable == escaped) {
            out += printable ? "</i>" : "<i>";
            escaped = !printable;
        }
        out += printable ? esc(std::string(1, static_cast<char>(b)))
                         : pmctl::escapeForDisplay(std::string(1, static_cast<char>(b)));
    }
    if (escaped)
        out += "</i>";
    if (bytes.size() > n)
        out += "<i> \u2026 " + std::to_string(bytes.size() - n) + " more</i>";
    return out;
}

std::string hexDump(const std::vector<uint8_t>& bytes)
{
    std::string out;
    for (const std::string& r : pmctl::hexRows(bytes.data(), bytes.size()))
        out += esc(r) + "\n";
    return out;
}

const char* kLayers[3] = {"CommEngLastErr", "PortMdlLastErr", "PortAPILastErr"};

// The name of a code in one of the closing summary's slots; the engine's codes are the host's own.
std::string codeName(size_t layer, long long code)
{
    if (code == 0)
        return "none";
    if (layer == 0)
        return "the host's own code";
    if (const pmctl::ModuleError* e = pmctl::findModuleError(code))
        return std::string(e->constant) + " \u2014 " + e->brief;
    return "unknown code";
}

} // namespace

void HtmlTimeline::begin(const std::string& file, const std::vector<std::string>& notes)
{
    m_file = file;
    m_out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
             "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
             "style-src 'unsafe-inline'\">\n"
             "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
             "<title>Communication log "
          << shown(m_file) << "</title>\n<style>" << kStyle << "</style>\n</head>\n<body>\n"
          << "<header><h1>Communication log <small>" << shown(m_file) << "</small></h1>\n";
    for (const std::string& note : notes)
        m_out << "<p class=\"note\">Note: " << shown(note) << "</p>\n";
    m_out << "</header>\n"
          << "<div class=\"legend\" id=\"legend\">Time runs down the page. Left: what the host "
             "sent (SD); right: what the phone replied (RD), with its response time on the time "
             "axis. Click a send or reply for its hex dump. A pause is a gap on the time axis "
             "drawn to scale: <b>1 px = "
          << kHtmlMsPerPixel << " ms</b> (100 px = " << 100 * kHtmlMsPerPixel
          << " ms); a pause over " << kHtmlLongestGapMs / 1000 << " s is drawn "
          << kHtmlLongestGapMs / kHtmlMsPerPixel
          << " px long and ends in a red double line. Other rows take no time on this scale. "
             "Line changes, speed changes and comments are grey marks; notes on a line that was "
             "read are yellow. "
             "<span class=\"tag err\">Red</span>: time-outs, errors, damaged lines and a record "
             "the file ends inside; "
             "<span class=\"tag warn\">orange</span>: text that is no known record.</div>\n"
          << "<main>\n";
}

void HtmlTimeline::row(const std::string& classes, const std::string& content)
{
    m_out << "<li class=\"" << classes << "\">" << content << "</li>\n";
}

void HtmlTimeline::openSection(const Event* banner)
{
    Communication c;
    if (banner != nullptr) {
        m_sum.add(*banner);
        c.number = m_sum.communications;
        c.line = banner->line;
        c.banner = banner->text == "ReStart" ? "Port Open (ReStart Communication)"
                                             : "LogStart Port Open (Start Communication)";
        m_out << "<section id=\"c" << c.number << "\">\n<h2>Communication " << c.number
              << " <small>" << esc(c.banner) << " \u00b7 " << shown(m_file) << " line " << c.line
              << "</small></h2>\n<ol class=\"tl\">\n";
    } else {
        m_out << "<section id=\"c0\">\n<h2>Before the first Port Open <small>" << shown(m_file)
              << " line 1</small></h2>\n<ol class=\"tl\">\n";
    }
    m_comms.push_back(std::move(c));
    m_sectionOpen = true;
    for (const std::string& note : m_heldNotes)
        m_out << note;
    m_heldNotes.clear();
}

void HtmlTimeline::closeSection()
{
    if (!m_sectionOpen)
        return;
    flushResponseTime();
    m_out << "</ol>\n<p class=\"status\">" << (m_comms.back().number == 0 ? "Found: " : "Ended: ")
          << statusTags(m_comms.back(), false) << "</p>\n</section>\n";
    m_sectionOpen = false;
}

void HtmlTimeline::ensureSection()
{
    if (!m_sectionOpen)
        openSection(nullptr);
}

void HtmlTimeline::flushResponseTime()
{
    if (!m_responsePending)
        return;
    m_responsePending = false;
    row("mark", "<span class=\"w\">response time " + num(m_responseMs) +
                    " ms, with no reply bytes after it</span>");
}

void HtmlTimeline::traffic(const Event& e)
{
    std::string head, dump;
    if (e.alignmentUnknown) {
        // Digits, not bytes: which of them pair into a byte is not known.
        constexpr size_t kShown = 64, kPerRow = 64;
        head = "<span class=\"bytes\">" + esc(e.text.substr(0, kShown));
        if (e.text.size() > kShown)
            head += "<i> \u2026 " + std::to_string(e.text.size() - kShown) + " more</i>";
        head += "</span><span class=\"count\">" +
                plural(e.text.size(), "traffic digit", "traffic digits") +
                " whose pairing into bytes is unknown: the start of their line was dropped";
        for (size_t at = 0; at < e.text.size(); at += kPerRow)
            dump += esc(e.text.substr(at, kPerRow)) + "\n";
    } else {
        head = "<span class=\"bytes\">" + trafficText(e.bytes) + "</span><span class=\"count\">" +
               plural(e.bytes.size(), "byte", "bytes");
        dump = hexDump(e.bytes);
    }
    if (e.direction != 0 && e.direction != 1)
        head += ", direction unknown (a line before it is missing)";
    head += "</span>";
    if (e.halfByte) {
        head += "<span class=\"warnline\"> \u00b7 one lone traffic character after this: the line "
                "is cut (" +
                shown(m_file) + " line " + std::to_string(e.line) + ")</span>";
    }
    if (e.cut) {
        head += "<span class=\"cutmark\">the file ends in this traffic (" + shown(m_file) +
                " line " + std::to_string(e.line) + "): more may have been sent or received</span>";
    }
    std::string body = "<summary>" + head + "</summary><pre class=\"hex\">" + dump + "</pre>";
    if (e.direction == 1) {
        row("send", "<details class=\"h\">" + body + "</details>");
    } else if (e.direction == 0) {
        std::string rt;
        if (m_responsePending) {
            rt = "<span class=\"a rt\" title=\"from the end of the send to the first reply\">" +
                 num(m_responseMs) + " ms</span>";
            m_responsePending = false;
        }
        row("reply", rt + "<details class=\"p\">" + body + "</details>");
    } else {
        row("unknown", "<details class=\"w\">" + body + "</details>");
    }
}

void HtmlTimeline::portClose(const Event& e)
{
    Communication& c = m_comms.back();
    c.closed = true;
    for (size_t i = 0; i < 6; ++i)
        c.closeValues[i] = v(e, i);
    c.sameErrorsAsBefore =
        m_haveLastClose && std::equal(c.closeValues, c.closeValues + 6, m_lastClose);
    std::copy(c.closeValues, c.closeValues + 6, m_lastClose);
    m_haveLastClose = true;

    std::string t = "<div class=\"w\"><h3>PortClose (End Communication) <small>" + shown(m_file) +
                    " line " + std::to_string(e.line) +
                    "</small></h3><table><tr><th>Slot</th><th>Code</th><th>Name</th>"
                    "<th>Line</th></tr>";
    for (size_t layer = 0; layer < 3; ++layer) {
        long long code = v(e, 2 * layer), line = v(e, 2 * layer + 1);
        t += std::string("<tr") + (code != 0 ? " class=\"bad\"" : "") + "><td>" + kLayers[layer] +
             "</td><td>" + num(code) + "</td><td>" + esc(codeName(layer, code)) + "</td><td>" +
             num(line) + "</td></tr>";
    }
    t += "</table><p class=\"fine\">Engine texts: [" + shown(e.text) + "] _LastModify(" +
         shown(e.text2) +
         "). Each slot keeps the last error since the library was loaded, so a code may come "
         "from an earlier communication.</p></div>";
    row("close", t);
}

std::string HtmlTimeline::noteRow(const Event& e) const
{
    return "<li class=\"mark remark\"><span class=\"w\">Note on " + shown(m_file) + " line " +
           std::to_string(e.line) + ": " + shown(e.text) + "</span></li>\n";
}

void HtmlTimeline::event(const Event& e)
{
    if (e.kind == Event::Banner) {
        closeSection();
        m_seenBanner = true;
        openSection(&e);
        return;
    }
    if (isBarePrefix(e))
        return; // a prefix with nothing after it
    if (e.kind == Event::Note && !m_sectionOpen) {
        m_heldNotes.push_back(noteRow(e));
        return;
    }
    ensureSection();
    if (!m_seenBanner && isInsideCommunication(e)) {
        m_seenBanner = true;
        row("mark note", "<span class=\"w\">The log begins inside a communication: its older "
                         "lines were dropped</span>");
    }
    // Only a pause may come between a response time and its reply; a note is about the text.
    if (e.kind != Event::Pause && e.kind != Event::Note &&
        !(e.kind == Event::Traffic && e.direction == 0))
        flushResponseTime();
    m_sum.add(e);
    Communication& c = m_comms.back();
    c.counts.add(e);
    c.cut = c.cut || e.cut;
    switch (e.kind) {
    case Event::Traffic:
        traffic(e);
        break;
    case Event::ResponseTime:
        m_responsePending = true;
        m_responseMs = v(e, 0);
        break;
    case Event::LineControl: {
        const std::string& k = e.text;
        std::string what = k == "SetDTR"     ? "DTR raised"
                           : k == "ClearDTR" ? "DTR lowered"
                           : k == "SetRTS"   ? "RTS raised"
                                             : "RTS lowered";
        row("mark line", "<span class=\"w\">" + what + " <small>(" + shown(k) + ")</small></span>");
        break;
    }
    case Event::Speed:
        row("mark speed", "<span class=\"w\">speed " + num(v(e, 0)) + " bit/s</span>");
        break;
    case Event::Pause: {
        long long ms = std::max(0LL, v(e, 0));
        bool cut = ms > kHtmlLongestGapMs;
        long long px = std::min(ms, kHtmlLongestGapMs) / kHtmlMsPerPixel;
        row("gap", "<span class=\"a bar" + std::string(cut ? " cut" : "") +
                       "\" style=\"height:" + num(px) + "px\"></span><span class=\"p gl\">pause " +
                       num(v(e, 0)) + " ms" + (cut ? " (drawn cut)" : "") + "</span>");
        break;
    }
    case Event::RxTimeout:
        ++c.timeouts;
        row("timeout err", "<span class=\"p\">time-out: waited " + num(v(e, 0)) + " ms, got " +
                               num(v(e, 1)) + " bytes, " + num(v(e, 2)) + " waiting</span>");
        break;
    case Event::Comment:
        row("mark comment", "<span class=\"w\">// " + shown(e.text) + " <small>tick " +
                                num(v(e, 0)) + " ms</small></span>");
        break;
    case Event::PortClose:
        portClose(e);
        break;
    case Event::UserInfo:
        c.phone = e.text;
        row("mark info", "<span class=\"w\">UserInfo: phone " + shown(e.text) +
                             " \u00b7 cable type " + num(v(e, 3)) + " \u00b7 port " + num(v(e, 4)) +
                             " \u00b7 OS " + num(v(e, 0)) + "." + num(v(e, 1)) + " platform " +
                             num(v(e, 2)) + "</span>");
        break;
    case Event::Finished:
        c.finished = true;
        c.totalTime = e.text;
        c.date = e.text2;
        row("mark end", "<span class=\"w\">Comm Finished: " + shown(e.text) + " s \u00b7 " +
                            shown(e.text2) + "</span>");
        break;
    case Event::Unrecognised:
        row("unrec", "<span class=\"w\">Unrecognised text at " + shown(m_file) + " line " +
                         std::to_string(e.line) + ": \u201c" + shown(e.text, 200) + "\u201d" +
                         (e.cut ? "<span class=\"cutmark\">cut: the file ends inside this "
                                  "record; its writer stopped there</span>"
                                : "") +
                         "</span>");
        break;
    case Event::Damaged: {
        size_t lines = damagedLineCount(e);
        std::string text = "Damaged " + shown(m_file) + " ";
        if (lines == 1) {
            text += "line " + std::to_string(e.line) + ", skipped: " + shown(e.text);
        } else {
            text += "lines " + std::to_string(e.line) + "\u2013" + std::to_string(e.lastLine) +
                    ", skipped: " + plural(lines, "line", "lines") + " (line " +
                    std::to_string(e.line) + ": " + shown(e.text) + ")";
        }
        row("damaged err", "<span class=\"w\">" + text + "</span>");
        break;
    }
    case Event::Note:
        m_out << noteRow(e);
        break;
    case Event::Banner:
        break; // opens a section, above
    }
}

std::string HtmlTimeline::statusTags(const Communication& c, bool forList) const
{
    std::string tags;
    if (c.timeouts != 0)
        tags +=
            "<span class=\"tag err\">" + plural(c.timeouts, "time-out", "time-outs") + "</span>";
    if (c.closed) {
        for (size_t layer = 0; layer < 3; ++layer) {
            long long code = c.closeValues[2 * layer];
            if (code == 0)
                continue;
            tags += std::string("<span class=\"tag err") + (c.sameErrorsAsBefore ? " old" : "") +
                    "\" title=\"" + kLayers[layer] + " in the PortClose summary" +
                    (c.sameErrorsAsBefore ? ", unchanged since the communication before" : "") +
                    "\">" + kLayers[layer] + " " + num(code) + " " + esc(codeName(layer, code)) +
                    (c.sameErrorsAsBefore ? " (as before)" : "") + "</span>";
        }
    }
    if (c.counts.damagedLines != 0)
        tags += "<span class=\"tag err\">" +
                plural(c.counts.damagedLines, "damaged line", "damaged lines") + "</span>";
    if (c.counts.unrecognised != 0)
        tags += "<span class=\"tag warn\">" +
                plural(c.counts.unrecognised, "unrecognised text", "unrecognised texts") +
                "</span>";
    if (c.cut)
        tags += "<span class=\"tag err\">the file ends inside its last record</span>";
    if (c.number != 0 && !c.finished)
        tags += "<span class=\"tag warn\">no Comm Finished: cut short or still open</span>";
    if (tags.empty())
        tags = forList ? "<span class=\"tag ok\">no error</span>"
                       : "<span class=\"tag ok\">no error recorded</span>";
    return tags;
}

void HtmlTimeline::end()
{
    if (!m_heldNotes.empty())
        ensureSection();
    closeSection();
    m_out << "</main>\n<nav id=\"list\">\n<h2>Communications</h2>\n";
    m_out << "<p class=\"counts\">" << shown(m_file) << ": "
          << plural(m_sum.communications, "communication", "communications") << ", "
          << plural(m_sum.damagedLines, "damaged line", "damaged lines") << ", "
          << plural(m_sum.unrecognised, "unrecognised text", "unrecognised texts") << "</p>\n";
    if (m_comms.empty()) {
        m_out << "<p>Nothing in this file.</p>\n";
    } else {
        m_out << "<ol>\n";
        for (const Communication& c : m_comms) {
            bool bad = c.timeouts != 0 || c.counts.damagedLines != 0 || c.cut ||
                       (c.closed &&
                        (c.closeValues[0] != 0 || c.closeValues[2] != 0 || c.closeValues[4] != 0));
            m_out << "<li class=\"" << (bad ? "bad" : "good") << "\"><a href=\"#c" << c.number
                  << "\">"
                  << (c.number == 0 ? std::string("Before the first Port Open")
                                    : "Communication " + std::to_string(c.number))
                  << "</a> <small>";
            if (c.number != 0)
                m_out << "line " << c.line;
            if (!c.phone.empty())
                m_out << " \u00b7 phone " << shown(c.phone);
            if (c.finished)
                m_out << " \u00b7 " << shown(c.totalTime) << " s \u00b7 " << shown(c.date);
            m_out << "</small>" << statusTags(c, true) << "</li>\n";
        }
        m_out << "</ol>\n";
    }
    m_out << "</nav>\n</body>\n</html>\n";
    m_out.flush();
}

void writeHtmlPage(std::ostream& out, const Log& log)
{
    HtmlTimeline page(out);
    replay(log, page);
}

void saveHtmlPage(const std::filesystem::path& path, const std::function<void(LogSink&)>& read)
{
    pmctl::writeNamedOutput(path.string(), [&](std::ostream& out) {
        HtmlTimeline page(out);
        read(page);
    });
}

} // namespace pmlog

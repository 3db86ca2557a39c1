#include "LogTranscript.h"

#include <ostream>

#include "ErrorNames.h"
#include "Text.h"

namespace pmlog {

namespace {

std::string errorText(long long code, long long line)
{
    std::string text = std::to_string(code);
    if (const pmctl::ModuleError* error = pmctl::findModuleError(code); error && code != 0)
        text += std::string(" (") + error->brief + ")";
    return text + " at line " + std::to_string(line);
}

} // namespace

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

Summary printTranscript(std::ostream& out, const Log& log)
{
    TranscriptPrinter printer(out);
    replay(log, printer);
    return printer.summary();
}

} // namespace pmlog

#include "LogRecordsView.h"

#include <ostream>

namespace pmlog {

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

void printRecords(std::ostream& out, const Log& log)
{
    RecordsPrinter printer(out);
    replay(log, printer);
}

} // namespace pmlog

#include "AtPhone.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace pmsim {

namespace {

std::string Upper(std::string s)
{
    for (char& c : s) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return s;
}

constexpr std::size_t kMaxLine = 256;

} // namespace

void AtPhone::SetIdentification(std::string reply)
{
    m_identification = std::move(reply);
}

void AtPhone::SetEcho(bool on)
{
    m_echo = on;
}

void AtPhone::AddReply(std::string request, std::string reply)
{
    m_script.Add(std::move(request), std::move(reply));
}

void AtPhone::SetGuardTime(std::chrono::milliseconds guard)
{
    m_guard = guard;
}

void AtPhone::SetSilent(bool silent)
{
    m_silent = silent;
}

void AtPhone::Answer(const std::string& bytes, std::string& out) const
{
    if (!m_silent) {
        out += bytes;
    }
}

std::string AtPhone::Receive(const char* data, std::size_t n, Clock::time_point now)
{
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        char c = data[i];
        if (m_commandMode) {
            if (c == '\r') {
                std::string line;
                line.swap(m_line);
                OnCommandLine(line, now, out);
            } else if (c != '\n' && m_line.size() < kMaxLine) {
                m_line += c;
            }
        } else {
            // An escape is three '+' with nothing but guard-time silence before the first.
            if (c == '+' && m_plusCount < 3 && (m_plusCount > 0 || now - m_lastByte >= m_guard)) {
                if (++m_plusCount == 3) {
                    m_escapeDue = now + m_guard;
                }
            } else {
                m_plusCount = 0;
            }
        }
        m_lastByte = now;
    }
    if (!m_commandMode) {
        if (m_echo) {
            Answer(std::string(data, n), out);
        }
        Answer(m_script.Feed(data, n), out);
    }
    return out;
}

std::optional<AtPhone::Clock::time_point> AtPhone::Due() const
{
    if (m_plusCount == 3) {
        return m_escapeDue;
    }
    return std::nullopt;
}

std::string AtPhone::Tick(Clock::time_point now)
{
    std::string out;
    if (m_plusCount != 3 || now < m_escapeDue) {
        return out;
    }
    m_plusCount = 0;
    m_commandMode = true;
    m_line.clear();
    m_script.Reset();
    m_commands.push_back({"+++", m_escapeDue - m_guard});
    Answer("\r\nOK\r\n", out);
    return out;
}

void AtPhone::OnCommandLine(const std::string& line, Clock::time_point now, std::string& out)
{
    if (line.empty()) {
        return;
    }
    m_commands.push_back({line, now});
    std::string cmd = Upper(line);
    if (cmd == "AT") {
        Answer("\r\nOK\r\n", out);
    } else if (cmd == "AT!CCHK") {
        Answer(m_identification, out);
    } else if (cmd == "AT!CON" || cmd == "AT!COFF") {
        m_charge = cmd == "AT!CON" ? 1 : 0;
        Answer("\r\nOK\r\n", out);
    } else if (cmd == "AT%Z") {
        m_commandMode = false;
        m_plusCount = 0;
        Answer("\r\nOK\r\n", out);
    } else {
        Answer("\r\nERROR\r\n", out);
    }
}

} // namespace pmsim

#include "ModemDaemon.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>

namespace modemd {

namespace {

using Clock = std::chrono::steady_clock;
using pmwire::Word;

constexpr uint32_t kDataSize = 256;
// What one client may make the daemon keep: bytes for the tty, replies it has not taken, and
// the calls waiting for an answer (each counted as the largest reply).
constexpr std::size_t kMaxQueued = 64 * 1024;
constexpr std::size_t kReplyRoom = 4 * 5 + kDataSize;
// While this much waits for a slow tty, writes are answered only when it has gone.
constexpr std::size_t kHoldWrites = kMaxQueued / 2;
// Requests taken from the client in one turn, so a busy client cannot keep the others waiting.
constexpr int kRequestsPerTurn = 64;
constexpr std::size_t kMaxRefused = 16;
constexpr auto kReadWait = std::chrono::milliseconds(50);
// How long a client may leave a reply untaken, and a refused one may wait for its answer.
constexpr auto kSendLimit = std::chrono::seconds(1);

gid_t GroupOrOwn(gid_t group)
{
    return group == static_cast<gid_t>(-1) ? getegid() : group;
}

} // namespace

ModemDaemon::ModemDaemon(Options options, TtyLocator& locator)
    : m_options(std::move(options)), m_locator(locator),
      m_path(m_options.plane + "/" + m_options.name),
      m_listen(pmwire::ListenInPlane(m_options.plane, m_options.name,
                                     GroupOrOwn(m_options.group))),
      m_group(GroupOrOwn(m_options.group))
{
    if (pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        int saved = errno;
        close(m_listen);
        unlink(m_path.c_str());
        throw std::system_error(saved, std::generic_category(), "pipe");
    }
}

ModemDaemon::~ModemDaemon()
{
    if (m_client >= 0) {
        close(m_client);
    }
    for (const Refused& r : m_refused) {
        close(r.fd);
    }
    m_tty.Close();
    close(m_listen);
    unlink(m_path.c_str());
    close(m_wake[0]);
    close(m_wake[1]);
}

void ModemDaemon::Stop()
{
    char b = 1;
    ssize_t r = write(m_wake[1], &b, 1); // a full pipe already holds a wake-up
    (void)r;
}

void ModemDaemon::Log(const std::string& line) const
{
    if (m_options.log) {
        m_options.log(line);
    }
}

std::size_t ModemDaemon::Queued() const
{
    return m_out.size() + m_replyBytes + (m_reads.size() + m_held.size()) * kReplyRoom;
}

bool ModemDaemon::Hungry() const
{
    return Queued() + kDataSize + kReplyRoom <= kMaxQueued;
}

void ModemDaemon::Run()
{
    std::vector<uint8_t> buf(pmwire::kMaxRequest + 1);
    for (;;) {
        std::vector<pollfd> fds;
        fds.push_back({m_wake[0], POLLIN, 0});
        fds.push_back({m_listen, POLLIN, 0});
        // A client with no room left is not read: its requests wait in the socket. Its hang-up
        // still shows.
        short clientEvents =
            static_cast<short>((Hungry() ? POLLIN : 0) | (m_replies.empty() ? 0 : POLLOUT));
        fds.push_back({m_client, clientEvents, 0}); // a negative descriptor is skipped
        short ttyEvents = static_cast<short>((m_reads.empty() ? 0 : POLLIN) |
                                             (m_out.empty() ? 0 : POLLOUT));
        fds.push_back({m_tty.Fd(), ttyEvents, 0}); // hang-ups show even when nothing is asked
        fds.push_back({m_locator.EventFd(), POLLIN, 0});
        std::optional<Clock::time_point> due;
        auto dueBy = [&](Clock::time_point t) { due = due ? std::min(*due, t) : t; };
        for (const Refused& r : m_refused) {
            fds.push_back({r.fd, POLLIN, 0});
            dueBy(r.until);
        }
        for (const PendingRead& r : m_reads) {
            dueBy(r.due);
        }
        if (m_wantOpen && !m_tty.IsOpen()) {
            dueBy(m_nextTry);
        }
        if (!m_replies.empty()) {
            dueBy(m_replies.front().made + kSendLimit);
        }
        // An interrupted wait is simply computed again from the same due times.
        int timeoutMs = -1;
        if (due) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*due - Clock::now());
            timeoutMs = static_cast<int>(std::max<long long>(0, left.count() + 1));
        }
        if (poll(fds.data(), fds.size(), timeoutMs) < 0) {
            if (errno == EINTR) {
                continue;
            }
            Log(std::string("poll failed: ") + std::strerror(errno));
            return;
        }
        if (fds[0].revents & POLLIN) {
            return;
        }
        // The tty first: the client's requests below may close it and open it again.
        if (fds[3].fd >= 0) {
            if (fds[3].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                PhoneGone(EIO);
            } else if (fds[3].revents & POLLOUT) {
                PumpTty();
            }
        }
        if (m_client >= 0 && (fds[2].revents & POLLOUT)) {
            SendReplies();
        }
        if (m_client >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR))) {
            if (Hungry()) {
                ReadRequests(buf);
            } else if (fds[2].revents & (POLLHUP | POLLERR)) {
                DropClient("went away");
            }
        }
        std::vector<short> refusedEvents;
        for (std::size_t i = 5; i < fds.size(); ++i) {
            refusedEvents.push_back(fds[i].revents);
        }
        AnswerRefused(buf, refusedEvents);
        if ((fds[4].revents & POLLIN) && m_locator.TakeEvents()) {
            m_nextTry = Clock::now(); // a tty was added: perhaps the phone
        }
        if (fds[1].revents & POLLIN) {
            Accept();
        }
        TryReopen();
        ServeReads();
        ReleaseWrites();
        SendReplies();
    }
}

void ModemDaemon::ReadRequests(std::vector<uint8_t>& buf)
{
    for (int i = 0; i < kRequestsPerTurn && m_client >= 0 && Hungry(); ++i) {
        long n = pmwire::ReceiveRequest(m_client, buf);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        }
        if (n <= 0 || !OnRequest(buf.data(), static_cast<std::size_t>(n))) {
            DropClient(n == 0 ? "went away" : "sent no request");
            return;
        }
    }
}

void ModemDaemon::SendReplies()
{
    while (m_client >= 0 && !m_replies.empty()) {
        const std::string& bytes = m_replies.front().bytes;
        ssize_t n = send(m_client, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n == static_cast<ssize_t>(bytes.size())) {
            m_replyBytes -= bytes.size();
            m_replies.pop_front();
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (Clock::now() - m_replies.front().made >= kSendLimit) {
                DropClient("took no reply within a second");
            }
            return;
        } else {
            DropClient("went away");
            return;
        }
    }
}

void ModemDaemon::AnswerRefused(std::vector<uint8_t>& buf, const std::vector<short>& events)
{
    const auto now = Clock::now();
    for (std::size_t i = 0; i < m_refused.size() && i < events.size(); ++i) {
        Refused& r = m_refused[i];
        if (events[i] != 0) {
            long n = pmwire::ReceiveRequest(r.fd, buf);
            pmwire::Request rq;
            if (n < 0 && errno == EAGAIN && now < r.until) {
                continue;
            }
            if (n > 0 && pmwire::ParseRequest(buf.data(), static_cast<std::size_t>(n), rq) !=
                             pmwire::Parsed::NoTag) {
                std::string reply = pmwire::EncodeReply(rq.tag, r.result, {}, {});
                // An empty socket always takes one small message; a full one is its own fault.
                ssize_t sent = send(r.fd, reply.data(), reply.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
                (void)sent;
            }
        } else if (now < r.until) {
            continue;
        }
        close(r.fd);
        r.fd = -1;
    }
    m_refused.erase(std::remove_if(m_refused.begin(), m_refused.end(),
                                   [](const Refused& r) { return r.fd < 0; }),
                    m_refused.end());
}

void ModemDaemon::Accept()
{
    int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        return;
    }
    std::string who;
    std::string why;
    int32_t refusal;
    if (!pmwire::PeerAllowed(fd, m_group, &who)) {
        refusal = pmwire::kNotPermitted;
        why = "refused " + who + ": not in the group the daemon serves";
    } else if (m_client >= 0) {
        refusal = pmwire::kExclusiveAccess;
        why = "refused a second client: one client at a time";
    } else {
        m_client = fd;
        Log("client connected: " + who);
        return;
    }
    if (m_refused.size() < kMaxRefused) {
        m_refused.push_back({fd, refusal, Clock::now() + kSendLimit});
    } else {
        close(fd); // the end of the stream is its answer
    }
    Log(why);
}

void ModemDaemon::DropClient(const char* why)
{
    const bool held = m_tty.IsOpen();
    close(m_client);
    m_client = -1; // so the answers to its waiting calls below go nowhere
    m_replies.clear();
    m_replyBytes = 0;
    CloseTty();
    // Written once the tty is let go, so whoever reads the line finds it free.
    Log("client " + std::string(why) + (held ? ": tty released" : ""));
}

void ModemDaemon::Answer(uint32_t tag, int32_t result, const std::vector<int32_t>& scalars,
                         const std::string& structure)
{
    if (m_client < 0) {
        return;
    }
    std::string reply = pmwire::EncodeReply(tag, result, scalars, structure);
    if (m_replies.empty()) {
        ssize_t n = send(m_client, reply.data(), reply.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n == static_cast<ssize_t>(reply.size()) ||
            (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            return; // taken, or the client is gone and its hang-up drops it
        }
    }
    // Kept for the client's socket to take later, in order; the send limit runs from now.
    m_replyBytes += reply.size();
    m_replies.push_back({Clock::now(), std::move(reply)});
}

int32_t ModemDaemon::OpenTty()
{
    std::string path = m_locator.Find();
    if (path.empty()) {
        return pmwire::kNotAttached;
    }
    int error = m_tty.Open(path);
    if (error != 0) {
        Log("cannot open " + path + ": " + std::strerror(error));
        return ResultOf(error);
    }
    Log("opened " + path);
    return 0;
}

void ModemDaemon::CloseTty()
{
    m_tty.Close();
    m_wantOpen = false;
    m_coding.reset();
    m_lines.reset();
    for (const PendingRead& r : m_reads) {
        Answer(r.tag, pmwire::kNotOpen);
    }
    m_reads.clear();
    for (const HeldWrite& w : m_held) {
        Answer(w.tag, pmwire::kNotOpen);
    }
    m_held.clear();
    m_out.clear();
}

void ModemDaemon::PhoneGone(int error)
{
    m_tty.Close();
    m_out.clear();
    for (const HeldWrite& w : m_held) {
        Answer(w.tag, pmwire::kNotAttached);
    }
    m_held.clear();
    m_nextTry = Clock::now() + m_options.retry;
    Log("phone gone (" + std::string(std::strerror(error)) + "), waiting for " +
        m_locator.Describe());
}

void ModemDaemon::TryReopen()
{
    if (!m_wantOpen || m_tty.IsOpen() || Clock::now() < m_nextTry) {
        return;
    }
    m_nextTry = Clock::now() + m_options.retry;
    std::string path = m_locator.Find();
    if (path.empty() || m_tty.Open(path) != 0) {
        return;
    }
    int32_t coding = m_coding ? m_tty.SetLineCoding(*m_coding) : 0;
    int32_t lines = m_lines ? m_tty.SetControlLines(*m_lines) : 0;
    Log("phone back at " + path +
        (coding != 0 || lines != 0 ? ", but its line settings could not be restored" : ""));
}

void ModemDaemon::PumpTty()
{
    while (!m_out.empty() && m_tty.IsOpen()) {
        long n = m_tty.Write(m_out.data(), m_out.size());
        if (n > 0) {
            m_out.erase(0, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            if (n < 0 && errno != EAGAIN) {
                PhoneGone(errno);
            }
            break;
        }
    }
}

void ModemDaemon::ServeReads()
{
    char data[kDataSize];
    while (!m_reads.empty()) {
        PendingRead& r = m_reads.front();
        const bool due = r.due <= Clock::now();
        if (!m_tty.IsOpen()) {
            if (!due) {
                break;
            }
            Answer(r.tag, m_wantOpen ? pmwire::kNotAttached : pmwire::kNotOpen);
        } else {
            long n = m_tty.Read(data, r.wanted);
            if (n == 0 || (n < 0 && Vanished(errno))) {
                PhoneGone(n == 0 ? EIO : errno); // a hung-up tty reads as end of file
                continue;
            }
            if (n < 0 && !due) {
                break; // nothing yet; the poll waits for the tty or the due time
            }
            std::string reply;
            uint32_t count = n > 0 ? static_cast<uint32_t>(n) : 0;
            pmwire::PutWord(reply, count);
            reply.append(data, count);
            Answer(r.tag, 0, {}, reply);
        }
        m_reads.erase(m_reads.begin());
    }
}

void ModemDaemon::ReleaseWrites()
{
    if (m_out.size() >= kHoldWrites) {
        return;
    }
    for (const HeldWrite& w : m_held) {
        std::string reply;
        pmwire::PutWord(reply, w.count);
        Answer(w.tag, 0, {}, reply);
    }
    m_held.clear();
}

bool ModemDaemon::OnRequest(const uint8_t* msg, std::size_t n)
{
    pmwire::Request rq;
    switch (pmwire::ParseRequest(msg, n, rq)) {
    case pmwire::Parsed::NoTag:
        return false;
    case pmwire::Parsed::Malformed:
        Answer(rq.tag, pmwire::kBadArgument);
        return true;
    case pmwire::Parsed::Ok:
        break;
    }
    const std::string& in = rq.structure;
    auto shape = [&](std::size_t scalars, std::size_t structure) {
        return rq.scalars.size() == scalars && in.size() == structure;
    };
    // What a call on the tty answers while it is not open.
    const int32_t closed = m_wantOpen ? pmwire::kNotAttached : pmwire::kNotOpen;
    switch (rq.selector) {
    case 0: // client open; the mode is the client's business
        if (!shape(1, 0)) {
            break;
        }
        if (!m_wantOpen) {
            int32_t result = OpenTty();
            m_wantOpen = result == 0;
            Answer(rq.tag, result);
        } else {
            Answer(rq.tag, m_tty.IsOpen() ? 0 : pmwire::kNotAttached);
        }
        return true;
    case 1:
        if (!shape(0, 0)) {
            break;
        }
        {
            bool wanted = m_wantOpen;
            CloseTty();
            if (wanted) {
                Log("tty closed by the client");
            }
        }
        Answer(rq.tag, 0);
        return true;
    case 2:
        if (!shape(0, 0)) {
            break;
        }
        m_out.clear();
        Answer(rq.tag, m_tty.IsOpen() ? m_tty.Purge() : closed);
        return true;
    case 3: {
        // At most what was asked for, what one reply holds and what the client has room for.
        uint32_t wanted = shape(0, 12) && rq.structureOut > 4
                              ? std::min({Word(reinterpret_cast<const uint8_t*>(in.data())),
                                          kDataSize, rq.structureOut - 4})
                              : 0;
        if (wanted == 0) {
            break;
        }
        if (!m_wantOpen) {
            Answer(rq.tag, pmwire::kNotOpen);
            return true;
        }
        m_reads.push_back({rq.tag, wanted, Clock::now() + kReadWait});
        return true;
    }
    case 4: {
        uint32_t count =
            shape(0, 4 + kDataSize + 8) ? Word(reinterpret_cast<const uint8_t*>(in.data())) : 0;
        if (count == 0 || count > kDataSize || rq.structureOut < 4) {
            break;
        }
        if (!m_tty.IsOpen()) {
            Answer(rq.tag, closed);
            return true;
        }
        m_out.append(in, 4, count);
        PumpTty();
        if (!m_tty.IsOpen()) {
            Answer(rq.tag, pmwire::kNotAttached); // the write found the phone gone
        } else if (m_out.size() >= kHoldWrites) {
            m_held.push_back({rq.tag, count});
        } else {
            std::string reply;
            pmwire::PutWord(reply, count);
            Answer(rq.tag, 0, {}, reply);
        }
        return true;
    }
    case 5: {
        if (!shape(0, 0) || rq.structureOut < 8) {
            break;
        }
        LineCoding coding{};
        int32_t result = m_tty.IsOpen() ? m_tty.GetLineCoding(coding) : closed;
        Answer(rq.tag, result, {},
               result == 0 ? std::string(coding.begin(), coding.end()) : std::string());
        return true;
    }
    case 6: {
        if (!shape(0, 8)) {
            break;
        }
        LineCoding coding{};
        std::memcpy(coding.data(), in.data(), coding.size());
        int32_t result = m_tty.IsOpen() ? m_tty.SetLineCoding(coding) : closed;
        if (result == 0) {
            m_coding = coding;
        }
        Answer(rq.tag, result);
        return true;
    }
    case 7: {
        if (!shape(0, 0) || rq.scalarsOut < 1) {
            break;
        }
        int32_t state = 0;
        int32_t result = m_tty.IsOpen() ? m_tty.GetControlLines(state) : closed;
        Answer(rq.tag, result, result == 0 ? std::vector<int32_t>{state} : std::vector<int32_t>{});
        return true;
    }
    case 8: {
        if (!shape(1, 0)) {
            break;
        }
        int32_t result = m_tty.IsOpen() ? m_tty.SetControlLines(rq.scalars[0]) : closed;
        if (result == 0) {
            m_lines = rq.scalars[0];
        }
        Answer(rq.tag, result);
        return true;
    }
    default:
        Answer(rq.tag, pmwire::kUnsupported);
        return true;
    }
    Answer(rq.tag, pmwire::kBadArgument);
    return true;
}

} // namespace modemd

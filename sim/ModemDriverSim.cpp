#include "ModemDriverSim.h"

#include "DriverWire.h"
#include "ThreadCpuTime.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <system_error>
#include <unistd.h>

namespace pmsim {

namespace {

constexpr int kBurst = 64;                             // requests taken with one call
constexpr std::size_t kRoom = pmwire::kMaxRequest + 1; // a longer request is cut: refused

// Takes up to kBurst waiting requests; lengths[k] is 0 for one too long to be a request. Answers
// the number taken, 0 at the end of the stream, or -1 (errno set).
int ReceiveBurst(int fd, std::vector<uint8_t>& burst, std::size_t* lengths)
{
    iovec iov[kBurst];
    mmsghdr msgs[kBurst];
    for (int k = 0; k < kBurst; ++k) {
        iov[k] = {burst.data() + k * kRoom, kRoom};
        msgs[k] = {};
        msgs[k].msg_hdr.msg_iov = &iov[k];
        msgs[k].msg_hdr.msg_iovlen = 1;
    }
    int n = recvmmsg(fd, msgs, kBurst, MSG_DONTWAIT, nullptr);
    for (int k = 0; k < n; ++k) {
        lengths[k] =
            (msgs[k].msg_hdr.msg_flags & MSG_TRUNC) || msgs[k].msg_len > pmwire::kMaxRequest
                ? 0
                : msgs[k].msg_len;
    }
    return n;
}

using Clock = std::chrono::steady_clock;
using pmwire::PutWord;
using pmwire::Word;

constexpr uint32_t kReadSelector = 3;
constexpr uint32_t kNoSelector = 0xFFFFFFFF; // for answers to requests without a usable header
constexpr uint32_t kDataSize = 256;

} // namespace

ModemDriverSim::ModemDriverSim(const std::string& dir, const std::string& name)
    : m_path(dir + "/" + name), m_listen(pmwire::ListenInPlane(dir, name))
{
    if (pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        int saved = errno;
        close(m_listen);
        unlink(m_path.c_str());
        throw std::system_error(saved, std::generic_category(), "pipe");
    }
    try {
        m_thread = std::thread([this] { Run(); });
    } catch (...) {
        close(m_listen);
        close(m_wake[0]);
        close(m_wake[1]);
        unlink(m_path.c_str());
        throw;
    }
}

ModemDriverSim::~ModemDriverSim()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    Wake();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    CloseAll(!m_dead);
    close(m_wake[0]);
    close(m_wake[1]);
}

void ModemDriverSim::CloseAll(bool unlinkSocket)
{
    for (Client& c : m_clients) {
        close(c.fd);
    }
    m_clients.clear();
    m_clientCount = 0;
    if (m_listen >= 0) {
        close(m_listen);
        m_listen = -1;
        if (unlinkSocket) {
            unlink(m_path.c_str());
        }
    }
    m_changed.notify_all();
}

void ModemDriverSim::Wake()
{
    char b = 1;
    ssize_t r = write(m_wake[1], &b, 1); // a full pipe already holds a wake-up
    (void)r;
}

void ModemDriverSim::SetEcho(bool on)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_phone.SetEcho(on);
}

void ModemDriverSim::AddReply(std::string request, std::string reply)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_phone.AddReply(std::move(request), std::move(reply));
}

void ModemDriverSim::SetIdentification(std::string reply)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_phone.SetIdentification(std::move(reply));
}

void ModemDriverSim::Send(std::string bytes)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_outQueue += bytes;
    }
    Wake();
}

void ModemDriverSim::SetFault(uint32_t selector, Fault fault, int32_t result)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults[selector] = fault;
    m_faultResults[selector] = result;
}

void ModemDriverSim::SetDelay(uint32_t selector, std::chrono::milliseconds delay)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_delays[selector] = delay;
}

void ModemDriverSim::SetClaimedCount(uint32_t count)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_claim = count;
}

void ModemDriverSim::SetReadWait(std::chrono::milliseconds wait)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_readWait = wait;
}

void ModemDriverSim::DieAfter(unsigned requests)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dieAfter = requests;
}

void ModemDriverSim::Die()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_dead = true;
    }
    Wake();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    CloseAll(false);
}

bool ModemDriverSim::Dead() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_dead;
}

std::vector<ModemDriverSim::Request> ModemDriverSim::Requests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

unsigned ModemDriverSim::ReadRequests() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_readRequests;
}

std::string ModemDriverSim::ReceivedFrom(std::size_t offset) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return offset < m_received.size() ? m_received.substr(offset) : std::string();
}

std::uint64_t ModemDriverSim::Handed() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_handed;
}

std::string ModemDriverSim::Received() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

bool ModemDriverSim::WaitReceived(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_received.size() >= count; });
}

std::size_t ModemDriverSim::Clients() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_clientCount;
}

bool ModemDriverSim::WaitClients(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_clientCount == count; });
}

double ModemDriverSim::ThreadCpuSeconds() const
{
    return pmsim::ThreadCpuSeconds(m_thread);
}

std::vector<uint8_t> ModemDriverSim::LineCoding() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lineCoding;
}

int32_t ModemDriverSim::ControlLineState() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_controlLines;
}

bool ModemDriverSim::SendTo(Client& client, const std::string& bytes)
{
    if (m_batching) {
        m_batch.push_back(bytes);
        return true;
    }
    return pmwire::SendReply(client.fd, bytes);
}

void ModemDriverSim::SendBatch(Client& client)
{
    std::vector<iovec> iov(m_batch.size());
    std::vector<mmsghdr> msgs(m_batch.size());
    for (std::size_t i = 0; i < m_batch.size(); ++i) {
        iov[i] = {m_batch[i].data(), m_batch[i].size()};
        msgs[i] = {};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    for (std::size_t sent = 0; sent < msgs.size();) {
        int n = sendmmsg(client.fd, msgs.data() + sent, static_cast<unsigned>(msgs.size() - sent),
                         MSG_NOSIGNAL);
        if (n <= 0 && errno != EINTR) {
            break; // the client went away; its socket is dropped when next read
        }
        sent += static_cast<std::size_t>(std::max(n, 0));
    }
    m_batch.clear();
}

void ModemDriverSim::Reply(Client& client, uint32_t selector, uint32_t tag, int32_t result,
                           const std::vector<int32_t>& scalars, const std::string& structure,
                           uint32_t expectedStruct)
{
    Fault fault = Fault::None;
    if (auto it = m_faults.find(selector); it != m_faults.end()) {
        fault = it->second;
    }
    if (fault == Fault::Silent) {
        return;
    }
    std::vector<int32_t> outScalars = scalars;
    std::string outStruct = structure;
    if (fault == Fault::Fail) {
        result = m_faultResults[selector];
        outScalars.clear();
        outStruct.clear();
    } else if (fault == Fault::Oversize) {
        outStruct.resize(expectedStruct + 1, '\0');
    }
    std::string msg = pmwire::EncodeReply(fault == Fault::WrongTag ? tag ^ 0x80000000u : tag,
                                          result, outScalars, outStruct);
    if (fault == Fault::Malformed) {
        msg.resize(8); // tag and result only
    }
    auto delay = m_delays.find(selector);
    if (delay != m_delays.end() && delay->second.count() > 0) {
        client.delayed.push_back({Clock::now() + delay->second, std::move(msg)});
    } else {
        SendTo(client, msg);
    }
}

void ModemDriverSim::ServeReads(Client& client)
{
    // The replies go out together, so a client with many reads waiting wakes once for them all.
    m_batching = true;
    ServeReadsBatched(client);
    m_batching = false;
    SendBatch(client);
    m_handed += m_replying;
    m_replying = 0;
}

void ModemDriverSim::ServeReadsBatched(Client& client)
{
    auto now = Clock::now();
    while (!client.reads.empty()) {
        PendingRead& read = client.reads.front();
        std::size_t waiting = m_outQueue.size() - m_outHead;
        if (waiting == 0 && read.due > now) {
            break; // nothing to give yet, and the read may still wait
        }
        std::size_t n = std::min<std::size_t>(read.wanted, waiting);
        std::string structure;
        PutWord(structure, m_claim != 0 ? m_claim : static_cast<uint32_t>(n));
        structure.append(m_outQueue, m_outHead, n);
        // Taken bytes are dropped in bulk: erasing 256 bytes off the front of a megabyte at
        // every read would cost more than the whole exchange.
        m_outHead += n;
        m_replying += n;
        if (m_outHead == m_outQueue.size() || m_outHead >= 65536) {
            m_outQueue.erase(0, m_outHead);
            m_outHead = 0;
        }
        Reply(client, kReadSelector, read.tag, 0, {}, structure, 4 + kDataSize);
        client.reads.erase(client.reads.begin());
    }
}

bool ModemDriverSim::OnMessage(Client& client, const uint8_t* msg, std::size_t n)
{
    if (n < 4) {
        return false; // not even a tag to answer
    }
    if (m_dieAfter != 0 && --m_dieAfter == 0) {
        m_dead = true;
        return false;
    }
    pmwire::Request parsed;
    if (pmwire::ParseRequest(msg, n, parsed) != pmwire::Parsed::Ok) {
        Reply(client, kNoSelector, parsed.tag, kBadArgument, {}, {}, 0);
        return true;
    }
    const uint32_t tag = parsed.tag, selector = parsed.selector;
    const auto nIn = static_cast<uint32_t>(parsed.scalars.size());
    const auto sIn = static_cast<uint32_t>(parsed.structure.size());
    const uint32_t nOut = parsed.scalarsOut, sOut = parsed.structureOut;
    Request request{selector, std::move(parsed.scalars), std::move(parsed.structure)};
    const std::string& in = request.structure;
    if (selector == kReadSelector) {
        ++m_readRequests;
    } else {
        m_requests.push_back(request);
        m_changed.notify_all();
    }
    auto shape = [&](uint32_t scalarsIn, uint32_t structIn) {
        return nIn == scalarsIn && sIn == structIn;
    };
    switch (selector) {
    case 0:
    case 8:
        if (!shape(1, 0)) {
            break;
        }
        if (selector == 8) {
            m_controlLines = request.scalars[0];
        }
        Reply(client, selector, tag, 0, {}, {}, sOut);
        return true;
    case 1:
    case 2:
        if (!shape(0, 0)) {
            break;
        }
        if (selector == 2) {
            m_handed += m_outQueue.size() - m_outHead;
            m_outQueue.clear();
            m_outHead = 0;
        }
        Reply(client, selector, tag, 0, {}, {}, sOut);
        return true;
    case 3: {
        uint32_t wanted = shape(0, 12) ? std::min(Word(msg + 24), kDataSize) : 0;
        if (wanted == 0 || sOut < 4) {
            break;
        }
        auto fault = m_faults.find(selector);
        if (fault != m_faults.end() && fault->second != Fault::None) {
            std::string empty;
            PutWord(empty, 0);
            Reply(client, selector, tag, 0, {}, empty, sOut);
            return true;
        }
        client.reads.push_back({tag, wanted, Clock::now() + m_readWait});
        return true;
    }
    case 4: {
        uint32_t count = shape(0, 4 + kDataSize + 8) ? Word(msg + 24) : 0;
        if (count == 0 || count > kDataSize || sOut < 4) {
            break;
        }
        const char* data = in.data() + 4;
        m_received.append(data, count);
        m_outQueue += m_phone.Receive(data, count, Clock::now());
        m_changed.notify_all();
        std::string written;
        PutWord(written, count);
        Reply(client, selector, tag, 0, {}, written, sOut);
        return true;
    }
    case 5:
        if (!shape(0, 0) || sOut < 8) {
            break;
        }
        Reply(client, selector, tag, 0, {},
              std::string(m_lineCoding.begin(), m_lineCoding.end()), sOut);
        return true;
    case 6:
        if (!shape(0, 8)) {
            break;
        }
        m_lineCoding.assign(in.begin(), in.end());
        Reply(client, selector, tag, 0, {}, {}, sOut);
        return true;
    case 7:
        if (!shape(0, 0) || nOut < 1) {
            break;
        }
        Reply(client, selector, tag, 0, {m_controlLines}, {}, sOut);
        return true;
    default:
        Reply(client, selector, tag, kUnsupported, {}, {}, sOut);
        return true;
    }
    Reply(client, selector, tag, kBadArgument, {}, {}, sOut);
    return true;
}

void ModemDriverSim::Run()
{
    std::vector<uint8_t> buf(pmwire::kMaxRequest + 1);
    std::vector<uint8_t> burst(kBurst * kRoom);
    std::size_t lengths[kBurst];
    for (;;) {
        std::vector<pollfd> fds;
        int timeoutMs = -1;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stop) {
                return;
            }
            fds.push_back({m_wake[0], POLLIN, 0});
            fds.push_back({m_listen, POLLIN, 0});
            std::optional<Clock::time_point> due = m_phone.Due();
            for (const Client& c : m_clients) {
                fds.push_back({c.fd, POLLIN, 0});
                for (const PendingRead& r : c.reads) {
                    due = due ? std::min(*due, r.due) : r.due;
                }
                for (const Delayed& d : c.delayed) {
                    due = due ? std::min(*due, d.due) : d.due;
                }
            }
            if (due) {
                auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*due -
                                                                                  Clock::now());
                timeoutMs = static_cast<int>(std::max<long long>(0, left.count() + 1));
            }
        }
        if (poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) {
            return;
        }
        if (fds[0].revents & POLLIN) {
            while (read(m_wake[0], buf.data(), buf.size()) > 0) {
            }
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop) {
            return;
        }
        // Requests first: an answer to a write may satisfy a waiting read below.
        std::vector<std::size_t> gone;
        for (std::size_t i = 0; i < m_clients.size() && i + 2 < fds.size(); ++i) {
            if (!(fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR))) {
                continue;
            }
            // Requests are taken in bursts: a client keeps many read requests waiting.
            bool keep = true;
            for (bool more = true; more && keep;) {
                int got = ReceiveBurst(m_clients[i].fd, burst, lengths);
                if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
                    break;
                }
                more = got == kBurst;
                keep = got > 0;
                for (int k = 0; k < got && keep; ++k) {
                    keep = lengths[k] > 0 &&
                           OnMessage(m_clients[i], burst.data() + k * kRoom, lengths[k]);
                    if (m_dead) {
                        CloseAll(false);
                        return;
                    }
                }
            }
            if (!keep) {
                gone.push_back(i);
            }
        }
        for (auto it = gone.rbegin(); it != gone.rend(); ++it) {
            close(m_clients[*it].fd);
            m_clients.erase(m_clients.begin() + static_cast<std::ptrdiff_t>(*it));
        }
        if (fds[1].revents & POLLIN) {
            int fd = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                pmwire::LimitSendWait(fd);
                m_clients.push_back({fd, {}, {}});
            }
        }
        std::string due = m_phone.Tick(Clock::now());
        m_outQueue += due;
        auto now = Clock::now();
        for (Client& c : m_clients) {
            ServeReads(c);
            for (auto d = c.delayed.begin(); d != c.delayed.end();) {
                if (d->due <= now) {
                    SendTo(c, d->reply);
                    d = c.delayed.erase(d);
                } else {
                    ++d;
                }
            }
        }
        if (m_clientCount != m_clients.size()) {
            m_clientCount = m_clients.size();
            m_changed.notify_all();
        }
    }
}

} // namespace pmsim

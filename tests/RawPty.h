// A pseudo-terminal whose master side the test holds raw and reads only when it chooses: a peer
// that does not read, or a line whose bytes have not gone out yet.
#ifndef TESTS_RAWPTY_H
#define TESTS_RAWPTY_H

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <stdlib.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

class RawPty {
  public:
    RawPty()
    {
        m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        EXPECT_GE(m_master, 0);
        EXPECT_EQ(grantpt(m_master), 0);
        EXPECT_EQ(unlockpt(m_master), 0);
        termios t;
        tcgetattr(m_master, &t);
        cfmakeraw(&t);
        tcsetattr(m_master, TCSANOW, &t);
        m_slave = ptsname(m_master);
    }
    ~RawPty() { Close(); }
    RawPty(const RawPty&) = delete;
    RawPty& operator=(const RawPty&) = delete;

    const std::string& SlavePath() const { return m_slave; }
    int MasterFd() const { return m_master; }
    // Hangs the line up; a send blocked on it ends with an error.
    void Close()
    {
        if (m_master >= 0) {
            close(m_master);
            m_master = -1;
        }
    }
    // Bytes the slave side has written that wait to be read here.
    int Waiting() const
    {
        int n = 0;
        return ioctl(m_master, FIONREAD, &n) == 0 ? n : -1;
    }
    // Everything the slave side has written so far.
    std::string ReadAll()
    {
        std::string all;
        fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
        char buf[4096];
        for (;;) {
            ssize_t n = read(m_master, buf, sizeof buf);
            if (n > 0) {
                all.append(buf, static_cast<size_t>(n));
            } else if (!(n < 0 && errno == EINTR)) {
                break;
            }
        }
        return all;
    }

  private:
    int m_master = -1;
    std::string m_slave;
};

#endif

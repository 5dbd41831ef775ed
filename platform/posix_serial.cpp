// Serial ports on termios, poll and ioctl: platform::ISerialPort for ttys (real UARTs, USB serial
// adapters and pseudo-terminals).
//
// This file is the only place that sees the kernel's termios structure, baud-rate constants and tty
// ioctl numbers (TIOCEXCL, TIOCOUTQ, TIOCMBIS, TIOCSBRK, ...). They clash with names used elsewhere and
// differ between libc headers, so they stay here and the links above see plain calls with bool results.
//
// Behaviour measured on Linux pseudo-terminals, which the simulator and the tests use:
// - TIOCOUTQ on the slave always reads 0: a pty write hands its bytes straight to the master's input,
//   so there is never a pending output queue to wait for.
// - tcflush(TCOFLUSH) on the slave discards bytes the master's side has not yet taken in; issued right
//   after a write it loses the byte about one time in four. The link therefore only flushes output when
//   TIOCOUTQ says bytes are still queued (never on a pty, and never after a drained write).
// - TIOCMBIS fails with ENOTTY (a pty has no modem lines); TIOCSBRK succeeds and does nothing.
// - Once the master is closed, poll on the slave reports POLLIN|POLLERR|POLLHUP, read() returns 0 and
//   FIONREAD/TIOCOUTQ fail with EIO.
// - TIOCGSERIAL fails with ENOTTY on a pty; TIOCMGET too. On USB adapters TIOCSSERIAL with
//   ASYNC_LOW_LATENCY is taken by ftdi_sio (its latency timer becomes 1 ms, for any user), while other
//   drivers answer ENOTTY or EINVAL, or EPERM for flags a user may not change.
#include "platform/posix_serial.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <poll.h>

#include <cerrno>
#include <climits>
#include <string>

#include "common/clock.h"
#include "platform/serial_adapter.h"

namespace platform {

namespace {

// The bit rates the camera's speed codes name; anything else is refused.
bool ConvertBaudRate(uint32_t baudRate, speed_t& speed) {
    switch (baudRate) {
        case 9600:
            speed = B9600;
            return true;
        case 19200:
            speed = B19200;
            return true;
        case 38400:
            speed = B38400;
            return true;
        case 57600:
            speed = B57600;
            return true;
        case 115200:
            speed = B115200;
            return true;
        default:
            return false;
    }
}

int ClampTimeout(uint32_t timeoutMs) {
    return timeoutMs > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(timeoutMs);
}

class PosixSerialPort final : public ISerialPort {
  public:
    PosixSerialPort(int fd, bool exclusive, bool haveOriginal, const termios& original, std::string path)
        : m_fd(fd),
          m_exclusive(exclusive),
          m_haveOriginal(haveOriginal),
          m_original(original),
          m_path(std::move(path)) {}

    // Undo in reverse order of the open: end a break, give back the driver's latency flag, put back the
    // line settings found, give up the exclusive mode, then close (which drops the advisory lock).
    ~PosixSerialPort() override {
        if (m_breakOn) {
            ioctl(m_fd, TIOCCBRK);
        }
        if (m_lowLatencySet) {
            serial_struct serial{};
            if (ioctl(m_fd, TIOCGSERIAL, &serial) == 0) {
                serial.flags &= ~ASYNC_LOW_LATENCY;
                ioctl(m_fd, TIOCSSERIAL, &serial);
            }
        }
        if (m_haveOriginal) {
            tcsetattr(m_fd, TCSANOW, &m_original);
        }
        if (m_exclusive) {
            ioctl(m_fd, TIOCNXCL);
        }
        close(m_fd);
    }

    PosixSerialPort(const PosixSerialPort&) = delete;
    PosixSerialPort& operator=(const PosixSerialPort&) = delete;

    // SetupComm: the queues of a tty are the kernel's; what matters is that this is a terminal.
    bool IsSerialDevice() override {
        termios settings{};
        if (isatty(m_fd) == 0 || tcgetattr(m_fd, &settings) != 0) {
            return Fail();
        }
        return true;
    }

    // ClearCommError: Linux has no sticky line-error state to clear; the counts come from FIONREAD and
    // TIOCOUTQ.
    bool GetQueueState(QueueState& state) override {
        int inCount = 0;
        int outCount = 0;
        if (ioctl(m_fd, FIONREAD, &inCount) != 0 || ioctl(m_fd, TIOCOUTQ, &outCount) != 0) {
            return Fail();
        }
        state.inQueue = inCount > 0 ? static_cast<uint32_t>(inCount) : 0u;
        state.outQueue = outCount > 0 ? static_cast<uint32_t>(outCount) : 0u;
        return true;
    }

    // GetCommState/SetCommState: tcgetattr, raw 8N1 with the receiver on and modem status ignored
    // (CLOCAL, as a camera cable carries no carrier), parity neither generated nor checked, hardware
    // flow control (CRTSCTS) as found; tcsetattr; then DTR up.
    // XON/XOFF is switched off although other flow control is kept: every Linux tty starts with IXON
    // set as a terminal default, not as a choice made for the port, and with it the bytes 0x11 and 0x13
    // of the camera's binary data packets would be swallowed as flow control.
    bool ConfigureLine(uint32_t baudRate) override {
        speed_t speed = B0;
        if (!ConvertBaudRate(baudRate, speed)) {
            errno = EINVAL;
            return Fail();
        }
        termios settings{};
        if (tcgetattr(m_fd, &settings) != 0) {
            return Fail();
        }
        settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                                   INPCK | IUCLC | IXON | IXOFF | IXANY);
        settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
        settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
        settings.c_cflag |= static_cast<tcflag_t>(CS8 | CLOCAL | CREAD);
        // One byte satisfies a read, no inter-byte timer: with O_NONBLOCK an empty queue gives EAGAIN,
        // and a read returning 0 can only mean the other end hung up.
        settings.c_cc[VMIN] = 1;
        settings.c_cc[VTIME] = 0;
        if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0) {
            return Fail();
        }
        if (tcsetattr(m_fd, TCSANOW, &settings) != 0) {
            return Fail();
        }
        int dtr = TIOCM_DTR;
        if (ioctl(m_fd, TIOCMBIS, &dtr) != 0 && errno != ENOTTY && errno != EINVAL) {
            return Fail();
        }
        return true;
    }

    // SetCommState with only BaudRate changed.
    bool SetBaudRate(uint32_t baudRate) override {
        speed_t speed = B0;
        if (!ConvertBaudRate(baudRate, speed)) {
            errno = EINVAL;
            return Fail();
        }
        termios settings{};
        if (tcgetattr(m_fd, &settings) != 0) {
            return Fail();
        }
        if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0) {
            return Fail();
        }
        if (tcsetattr(m_fd, TCSANOW, &settings) != 0) {
            return Fail();
        }
        return true;
    }

    // PurgeComm(PURGE_RXCLEAR / PURGE_TXCLEAR).
    bool Purge(bool input, bool output) override {
        if (!input && !output) {
            return true;
        }
        const int selector = input && output ? TCIOFLUSH : (input ? TCIFLUSH : TCOFLUSH);
        if (tcflush(m_fd, selector) != 0) {
            return Fail();
        }
        return true;
    }

    // SetCommBreak / ClearCommBreak.
    bool SetBreak(bool on) override {
        if (ioctl(m_fd, on ? TIOCSBRK : TIOCCBRK) != 0) {
            return Fail();
        }
        m_breakOn = on;
        return true;
    }

    long WriteSome(const uint8_t* data, size_t count) override {
        for (;;) {
            const ssize_t written = write(m_fd, data, count);
            if (written >= 0) {
                return static_cast<long>(written);
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return 0;
            }
            Fail();
            return -1;
        }
    }

    long ReadSome(uint8_t* data, size_t count) override {
        if (count == 0) {
            return 0;
        }
        for (;;) {
            const ssize_t got = read(m_fd, data, count);
            if (got > 0) {
                return static_cast<long>(got);
            }
            if (got == 0) {
                // VMIN is 1, so an empty queue reports EAGAIN; 0 is end of file: the line hung up.
                errno = EIO;
                Fail();
                return -1;
            }
            if (errno == EINTR) {
                continue;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return 0;
            }
            Fail();
            return -1;
        }
    }

    // A hang-up alone counts as readable, so that the read that follows reports it; an error or an
    // invalid descriptor is a failure at once.
    int WaitReadable(uint32_t timeoutMs) override { return WaitFor(POLLIN, timeoutMs); }
    int WaitWritable(uint32_t timeoutMs) override { return WaitFor(POLLOUT, timeoutMs); }

    int LastError() const override { return m_lastError; }

    // TIOCGSERIAL, the flag added, TIOCSSERIAL; a port that already had it is left as it is.
    bool RequestLowLatency() override {
        serial_struct serial{};
        if (ioctl(m_fd, TIOCGSERIAL, &serial) != 0) {
            return Fail();
        }
        if ((serial.flags & ASYNC_LOW_LATENCY) != 0) {
            return true;
        }
        serial.flags |= ASYNC_LOW_LATENCY;
        if (ioctl(m_fd, TIOCSSERIAL, &serial) != 0) {
            return Fail();
        }
        m_lowLatencySet = true;
        return true;
    }

    SerialAdapterFacts AdapterFacts() override { return ReadSerialAdapterFacts(m_path); }

    // CRTSCTS from termios and CTS from the modem lines; a device without modem lines holds nothing.
    bool OutputHeldByFlowControl() override {
        termios settings{};
        int lines = 0;
        if (tcgetattr(m_fd, &settings) != 0 || (settings.c_cflag & CRTSCTS) == 0) {
            return false;
        }
        if (ioctl(m_fd, TIOCMGET, &lines) != 0) {
            return false;
        }
        return (lines & TIOCM_CTS) == 0;
    }

  private:
    bool Fail() {
        m_lastError = errno;
        return false;
    }

    int WaitFor(short events, uint32_t timeoutMs) {
        const Deadline deadline(timeoutMs);
        for (;;) {
            pollfd entry{m_fd, events, 0};
            const int ready = poll(&entry, 1, ClampTimeout(deadline.RemainingMs()));
            if (ready < 0) {
                if (errno == EINTR) {
                    if (WaitsCut()) {
                        return 0;  // the signal cut the wait short: a time-out
                    }
                    continue;
                }
                Fail();
                return -1;
            }
            if (ready == 0) {
                return 0;
            }
            if ((entry.revents & POLLNVAL) != 0) {
                m_lastError = EBADF;
                return -1;
            }
            if ((entry.revents & POLLERR) != 0) {
                m_lastError = EIO;
                return -1;
            }
            if ((entry.revents & POLLHUP) != 0) {
                if (events == POLLIN) {
                    return 1;
                }
                m_lastError = EIO;
                return -1;
            }
            return 1;
        }
    }

    int m_fd;
    bool m_exclusive;
    bool m_haveOriginal;
    termios m_original;
    std::string m_path;
    bool m_breakOn = false;
    bool m_lowLatencySet = false;
    int m_lastError = 0;
};

}  // namespace

// CreateFile with share mode 0: open without becoming the controlling terminal and without waiting
// for carrier, then make the open exclusive. TIOCEXCL refuses further opens by other users but not by
// root, so an advisory flock guards against a second instance of any program that also locks.
std::unique_ptr<ISerialPort> OpenPosixSerialPort(const char* path, int& errorNumber) {
    errorNumber = 0;
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        errorNumber = errno;
        return nullptr;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        errorNumber = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        return nullptr;
    }
    // A file that is not a terminal still opens; the link's next step finds out and closes it.
    termios original{};
    const bool isTerminal = isatty(fd) != 0 && tcgetattr(fd, &original) == 0;
    bool exclusive = false;
    if (isTerminal) {
        if (ioctl(fd, TIOCEXCL) != 0) {
            errorNumber = errno;
            close(fd);
            return nullptr;
        }
        exclusive = true;
    }
    return std::make_unique<PosixSerialPort>(fd, exclusive, isTerminal, original, path);
}

}  // namespace platform

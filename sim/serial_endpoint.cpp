// The camera's serial port on a pseudo-terminal pair (see serial_endpoint.h for the line model).
#include "sim/serial_endpoint.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {
namespace {

// A bound on camera bytes waiting for a host that does not read: a real receiver overruns and drops.
constexpr size_t TO_HOST_LIMIT = 65536;

struct RateEntry {
    speed_t speed;
    uint32_t baud;
};
constexpr RateEntry RATES[] = {
    {B1200, 1200},   {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},
    {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
};

// Microseconds one byte (start bit, 8 data bits, stop bit) takes on the line.
uint64_t ByteTimeUs(uint32_t baud) {
    return baud == 0 ? 0 : (10u * 1000000u + baud - 1) / baud;
}

std::string Hex(uint32_t value) {
    char text[16];
    snprintf(text, sizeof text, "%u", value);
    return text;
}

// Publishes target as linkPath; a stale link (to a terminal that is gone) is replaced.
bool PublishLink(const std::string& target, const std::string& linkPath, std::string& error) {
    if (symlink(target.c_str(), linkPath.c_str()) == 0) {
        return true;
    }
    if (errno != EEXIST) {
        error = "cannot create " + linkPath + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (lstat(linkPath.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
        error = linkPath + " exists and is not a link; remove it first";
        return false;
    }
    if (stat(linkPath.c_str(), &info) == 0) {
        error = linkPath + " already names a live terminal (another simulator?); remove it first";
        return false;
    }
    if (unlink(linkPath.c_str()) != 0 || symlink(target.c_str(), linkPath.c_str()) != 0) {
        error = "cannot replace the stale " + linkPath + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

bool SerialEndpoint::Open(const std::string& directory, int portNumber, std::string& error) {
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_master < 0) {
        error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    char slaveName[PATH_MAX] = {};
    if (grantpt(m_master) != 0 || unlockpt(m_master) != 0 ||
        ptsname_r(m_master, slaveName, sizeof slaveName) != 0) {
        error = std::string("cannot prepare the pseudo-terminal: ") + std::strerror(errno);
        Close();
        return false;
    }
    m_slavePath = slaveName;
    m_slave = open(slaveName, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_slave < 0) {
        error = "cannot open " + m_slavePath + ": " + std::strerror(errno);
        Close();
        return false;
    }
    // Raw 8N1 at 9600 on the slave (termios requests on the master reach the slave), so that nothing the
    // camera sends is echoed or translated before the updater configures the line itself.
    termios settings{};
    if (tcgetattr(m_master, &settings) != 0) {
        error = std::string("cannot read the terminal settings: ") + std::strerror(errno);
        Close();
        return false;
    }
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&settings, B9600);
    cfsetospeed(&settings, B9600);
    if (tcsetattr(m_master, TCSANOW, &settings) != 0) {
        error = std::string("cannot set the terminal raw: ") + std::strerror(errno);
        Close();
        return false;
    }
    // Packet mode: the updater's purges show up as status bytes, which the log records.
    int packetMode = 1;
    if (ioctl(m_master, TIOCPKT, &packetMode) != 0) {
        error = std::string("cannot enable packet mode: ") + std::strerror(errno);
        Close();
        return false;
    }
    const std::string linkPath = directory + "/COM" + std::to_string(portNumber);
    if (!PublishLink(m_slavePath, linkPath, error)) {
        Close();
        return false;
    }
    m_linkPath = linkPath;
    m_lastBaud = 9600;
    return true;
}

void SerialEndpoint::Close() {
    if (!m_linkPath.empty()) {
        // Only our own link is removed: someone may have replaced it meanwhile.
        char target[PATH_MAX] = {};
        const ssize_t length = readlink(m_linkPath.c_str(), target, sizeof target - 1);
        if (length > 0 && m_slavePath == std::string(target, static_cast<size_t>(length))) {
            unlink(m_linkPath.c_str());
        }
        m_linkPath.clear();
    }
    if (m_slave >= 0) {
        close(m_slave);
        m_slave = -1;
    }
    if (m_master >= 0) {
        close(m_master);
        m_master = -1;
    }
}

void SerialEndpoint::AddPollFds(std::vector<pollfd>& fds) {
    pollfd entry{};
    entry.fd = m_master;
    entry.events = static_cast<short>(POLLIN | (m_toHost.empty() ? 0 : POLLOUT));
    fds.push_back(entry);
}

bool SerialEndpoint::HandlePoll(const std::vector<pollfd>& fds, size_t first, uint64_t nowUs) {
    const short events = fds[first].revents;
    if ((events & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (events & POLLIN) == 0) {
        m_wire.Log().Event(nowUs, "the pseudo-terminal failed");
        return false;
    }
    if ((events & POLLIN) != 0 && !ReadFromHost(nowUs)) {
        return false;
    }
    if ((events & POLLOUT) != 0) {
        WriteToHost();
    }
    return true;
}

uint32_t SerialEndpoint::ReadHostBaud() {
    termios settings{};
    if (tcgetattr(m_master, &settings) != 0) {
        return 0;
    }
    const speed_t speed = cfgetospeed(&settings);
    for (const RateEntry& entry : RATES) {
        if (entry.speed == speed) {
            return entry.baud;
        }
    }
    return 0;
}

void SerialEndpoint::TrackHostBaud(uint32_t baud, uint64_t nowUs) {
    if (baud == m_lastBaud) {
        return;
    }
    m_wire.Log().Event(nowUs, "host line at " + Hex(baud) + " baud");
    CameraModel& model = m_wire.Model();
    if (baud == 9600 && model.BaudRate() != 9600) {
        DeliverBreak(nowUs);
    }
    m_lastBaud = baud;
}

void SerialEndpoint::DeliverBreak(uint64_t nowUs) {
    CameraModel& model = m_wire.Model();
    const std::string reset =
        "line reset: host back at 9600 while the camera runs at " + Hex(model.BaudRate());
    if (m_adapterModel.kind == AdapterKind::NoBreak) {
        m_wire.Log().Event(nowUs, reset + "; the adapter sends no break");
        return;
    }
    if (m_adapterModel.kind == AdapterKind::FakeBreak) {
        m_wire.Log().Event(nowUs, reset + "; the adapter sends a NUL at 46 baud instead of a break");
        static const uint8_t nul = 0;
        m_wire.FeedHost(&nul, 1, nowUs, FAKE_BREAK_BAUD);
        m_adapter.GarbleUntil(nowUs + uint64_t{FAKE_BREAK_MS} * 1000);
        return;
    }
    m_wire.Log().Event(nowUs, reset + "; delivered as a break");
    model.SetBreak(true, m_wire.ModelTime(nowUs));
    model.SetBreak(false, m_wire.ModelTime(nowUs));
}

// The late-byte model delays the first camera byte after the first command with its code.
bool SerialEndpoint::IsLateReply(uint32_t dueMs) {
    if (m_adapterModel.kind != AdapterKind::LateByte || m_lateGiven) {
        return false;
    }
    for (const CommandRecord& command : m_wire.Model().Commands()) {
        if (command.code == m_adapterModel.lateCommand && dueMs >= command.timeMs) {
            m_lateGiven = true;
            return true;
        }
    }
    return false;
}

bool SerialEndpoint::ReadFromHost(uint64_t nowUs) {
    uint8_t buffer[4097];
    for (;;) {
        const ssize_t count = read(m_master, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return true;
        }
        if (count < 0) {
            m_wire.Log().Event(nowUs,
                               std::string("reading the pseudo-terminal failed: ") + std::strerror(errno));
            return false;
        }
        if (count == 0) {
            return true;
        }
        if (buffer[0] != TIOCPKT_DATA) {
            // A status byte: the updater discarded its input (TIOCPKT_FLUSHREAD) or output (FLUSHWRITE).
            std::string text = "host purged";
            text += (buffer[0] & TIOCPKT_FLUSHREAD) != 0 ? " input" : "";
            text += (buffer[0] & TIOCPKT_FLUSHWRITE) != 0 ? " output" : "";
            m_wire.Log().Event(nowUs, text);
            continue;
        }
        const uint32_t baud = ReadHostBaud();
        TrackHostBaud(baud, nowUs);
        const uint64_t byteUs = m_pace ? ByteTimeUs(baud) : 0;
        for (ssize_t i = 1; i < count; ++i) {
            uint64_t dueUs = nowUs;
            if (byteUs != 0) {
                dueUs = std::max(nowUs, m_inLineFreeUs) + byteUs;
                m_inLineFreeUs = dueUs;
            }
            m_fromHost.push_back(HostByte{dueUs, buffer[i], baud});
        }
    }
}

void SerialEndpoint::FeedDueBytes(uint64_t nowUs) {
    std::vector<uint8_t> run;
    while (!m_fromHost.empty() && m_fromHost.front().dueUs <= nowUs) {
        const uint32_t baud = m_fromHost.front().baud;
        uint64_t lastDueUs = m_fromHost.front().dueUs;
        run.clear();
        while (!m_fromHost.empty() && m_fromHost.front().dueUs <= nowUs && m_fromHost.front().baud == baud) {
            run.push_back(m_fromHost.front().value);
            lastDueUs = m_fromHost.front().dueUs;
            m_fromHost.pop_front();
        }
        m_wire.FeedHost(run.data(), run.size(), lastDueUs, baud);
    }
}

void SerialEndpoint::TakeCameraBytes(uint64_t nowUs, uint32_t baud) {
    const std::vector<OutputByte> due = m_wire.Model().TakeDue(m_wire.ModelTime(nowUs), baud);
    size_t start = 0;
    std::vector<uint8_t> run;
    while (start < due.size()) {
        const bool lost = due[start].lost;
        run.clear();
        size_t end = start;
        for (; end < due.size() && due[end].lost == lost; ++end) {
            run.push_back(due[end].value);
        }
        m_wire.Log().Bytes(nowUs, "C>H", baud, run.data(), run.size(), lost);
        if (!lost && m_adapterModel.kind == AdapterKind::Pty) {
            m_toHost.insert(m_toHost.end(), run.begin(), run.end());
        }
        start = end;
    }
    if (m_adapterModel.kind != AdapterKind::Pty) {
        for (const OutputByte& byte : due) {
            if (!byte.lost) {
                m_adapter.Arrive(byte.value, m_wire.WireTimeUs(byte.dueMs), IsLateReply(byte.dueMs));
            }
        }
        std::vector<uint8_t> released;
        m_adapter.Release(nowUs, released);
        if (!released.empty()) {
            m_wire.Log().Bytes(nowUs, "A>H", baud, released.data(), released.size(), false);
            m_toHost.insert(m_toHost.end(), released.begin(), released.end());
        }
    }
    if (m_toHost.size() > TO_HOST_LIMIT) {
        m_toHost.erase(m_toHost.begin(),
                       m_toHost.begin() + static_cast<std::ptrdiff_t>(m_toHost.size() - TO_HOST_LIMIT));
    }
}

void SerialEndpoint::WriteToHost() {
    while (!m_toHost.empty()) {
        const ssize_t count = write(m_master, m_toHost.data(), m_toHost.size());
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            return;  // the pty is full (EAGAIN) or failing; POLLOUT or the next service tries again
        }
        m_toHost.erase(m_toHost.begin(), m_toHost.begin() + count);
    }
}

void SerialEndpoint::Service(uint64_t nowUs) {
    const uint32_t baud = ReadHostBaud();
    TrackHostBaud(baud, nowUs);
    FeedDueBytes(nowUs);
    TakeCameraBytes(nowUs, baud);
    WriteToHost();
}

std::optional<uint64_t> SerialEndpoint::NextWakeUs() const {
    std::optional<uint64_t> wake;
    if (!m_fromHost.empty()) {
        wake = m_fromHost.back().dueUs;
    }
    const std::optional<uint32_t> output = m_wire.Model().NextOutputTime();
    if (output.has_value()) {
        const uint64_t outputUs = m_wire.WireTimeUs(*output);
        wake = wake.has_value() ? std::min(*wake, outputUs) : outputUs;
    }
    if (const std::optional<uint64_t> releaseUs = m_adapter.NextReleaseUs()) {
        wake = wake.has_value() ? std::min(*wake, *releaseUs) : *releaseUs;
    }
    return wake;
}

}  // namespace sim

#include "app/desktopsession.h"

#include "app/sessionlog.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <poll.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

// Linux: the session bus is asked, with a bound, what every library that uses it asks first (to
// be let in and for a name: the SASL EXTERNAL handshake and Hello), before Qt, SDL or our own
// code has touched it. Those libraries wait for that answer without a limit of their own, and a
// bus that accepts connections but never answers (its daemon stopped or stuck) held the window
// unshown inside Qt's accessibility bridge, and the sound library's start, for minutes. Plain
// POSIX on a non-blocking socket: no Qt object exists yet, and no library may be asked first.

namespace app {

namespace {

using Clock = std::chrono::steady_clock;

// Where the program's libraries are sent instead of a bus that does not answer: a socket that
// does not exist fails at once, in every library, as no bus at all does.
constexpr const char *kNoBus = "unix:path=/nonexistent/vintra-session-bus-did-not-answer";

// One entry of the address list: "unix:path=/run/user/1000/bus,guid=..." gives the transport
// "unix" and its key=value pairs, with the %XX escapes of the values undone.
struct BusAddress {
    std::string transport;
    std::vector<std::pair<std::string, std::string>> keys;

    std::optional<std::string> value(std::string_view key) const
    {
        for (const auto &[name, text] : keys) {
            if (name == key)
                return text;
        }
        return std::nullopt;
    }
};

std::string unescaped(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += char(std::strtol(std::string(text.substr(i + 1, 2)).c_str(), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<std::string_view> split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (size_t end = text.find(separator); end != std::string_view::npos; end = text.find(separator, start)) {
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    parts.push_back(text.substr(start));
    return parts;
}

// The list libdbus tries in turn, taking the first that connects.
std::vector<BusAddress> busAddresses(std::string_view list)
{
    std::vector<BusAddress> addresses;
    for (std::string_view entry : split(list, ';')) {
        const size_t colon = entry.find(':');
        if (entry.empty() || colon == std::string_view::npos)
            continue;
        BusAddress address{std::string(entry.substr(0, colon)), {}};
        for (std::string_view pair : split(entry.substr(colon + 1), ',')) {
            const size_t equals = pair.find('=');
            if (equals != std::string_view::npos)
                address.keys.emplace_back(std::string(pair.substr(0, equals)), unescaped(pair.substr(equals + 1)));
        }
        addresses.push_back(std::move(address));
    }
    return addresses;
}

// The socket of a "unix:" address a client connects to; none for every other kind (tcp, the
// launchers), which is then left to the libraries as it is.
std::optional<std::string> socketName(const BusAddress &address)
{
    if (address.transport != "unix")
        return std::nullopt;
    if (auto path = address.value("path"))
        return *path;
    if (auto abstract = address.value("abstract"))
        return std::string(1, '\0') + *abstract;
    if (address.value("runtime") == "yes") {
        const char *runtime = std::getenv("XDG_RUNTIME_DIR");
        if (runtime && *runtime)
            return std::string(runtime) + "/bus";
    }
    return std::nullopt;
}

// A file descriptor closed when it goes.
class Socket {
public:
    Socket() : m_fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {}
    ~Socket()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

// How one step of the exchange ended. A step that ran out of time is a bus that does not answer;
// only a definite failure (refused, closed, an error) lets the next address be tried.
enum class Io { Done, TimedOut, Failed };

Io readyBy(int fd, short events, Clock::time_point deadline)
{
    for (;;) {
        // Rounded up: a wait cut short by the rounding would give up before the deadline, and
        // would be taken for a failure rather than for silence.
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            return Io::TimedOut;
        pollfd watched{fd, events, 0};
        const int ready = ::poll(&watched, 1, int(left));
        if (ready > 0)
            return Io::Done;
        if (ready < 0 && errno != EINTR)
            return Io::Failed;
    }
}

Io sendBy(int fd, std::string_view bytes, Clock::time_point deadline)
{
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent > 0) {
            bytes.remove_prefix(size_t(sent));
        } else if (sent < 0 && errno != EAGAIN && errno != EINTR) {
            return Io::Failed;
        } else if (const Io ready = readyBy(fd, POLLOUT, deadline); ready != Io::Done) {
            return ready;
        }
    }
    return Io::Done;
}

// Reads until `complete(received)`, the deadline, the end of the stream or an error.
template <typename Complete>
Io receiveBy(int fd, std::string &received, Complete complete, Clock::time_point deadline)
{
    while (!complete(received)) {
        char buffer[256];
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
        if (got > 0)
            received.append(buffer, size_t(got));
        else if (got == 0 || (errno != EAGAIN && errno != EINTR))
            return Io::Failed;
        else if (const Io ready = readyBy(fd, POLLIN, deadline); ready != Io::Done)
            return ready;
    }
    return Io::Done;
}

// org.freedesktop.DBus.Hello, the first call of every client, as a little-endian message of
// serial 1 with no body.
std::string helloCall()
{
    std::string message = {'l', 1 /* method call */, 0, 1 /* protocol version */};
    const auto u32 = [&message](uint32_t value) {
        for (int shift = 0; shift < 32; shift += 8)
            message += char((value >> shift) & 0xff);
    };
    const auto pad = [&message](size_t to) {
        while (message.size() % to)
            message += '\0';
    };
    u32(0); // body length
    u32(1); // serial
    u32(0); // header fields' length, filled in below
    const auto field = [&](char code, char type, std::string_view text) {
        pad(8);
        message += code;
        message += '\1';
        message += type;
        message += '\0';
        pad(4);
        u32(uint32_t(text.size()));
        message += text;
        message += '\0';
    };
    field(1, 'o', "/org/freedesktop/DBus");
    field(6, 's', "org.freedesktop.DBus");
    field(2, 's', "org.freedesktop.DBus");
    field(3, 's', "Hello");
    const auto fields = uint32_t(message.size() - 16);
    for (int i = 0; i < 4; ++i)
        message[size_t(12 + i)] = char((fields >> (8 * i)) & 0xff);
    pad(8);
    return message;
}

enum class Answer { Answered, Silent, Unreachable };

Answer ask(const std::string &name, Clock::time_point deadline)
{
    Socket bus;
    sockaddr_un where = {};
    where.sun_family = AF_UNIX;
    if (bus.fd() < 0 || name.size() >= sizeof where.sun_path)
        return Answer::Unreachable;
    std::memcpy(where.sun_path, name.data(), name.size());
    // An abstract name is as long as it is, without a terminating NUL.
    const auto length = socklen_t(offsetof(sockaddr_un, sun_path) + name.size() + (name[0] == '\0' ? 0 : 1));
    if (::connect(bus.fd(), reinterpret_cast<const sockaddr *>(&where), length) != 0) {
        // A full backlog (EAGAIN) is a daemon that has stopped accepting: libdbus's blocking
        // connect would wait there. Anything else fails at once for the libraries too.
        return errno == EAGAIN ? Answer::Silent : Answer::Unreachable;
    }
    std::string uid = std::to_string(::geteuid());
    std::string hexUid;
    for (const char digit : uid) {
        static constexpr char kHex[] = "0123456789abcdef";
        hexUid += kHex[static_cast<unsigned char>(digit) >> 4];
        hexUid += kHex[static_cast<unsigned char>(digit) & 0xf];
    }
    // One request and its reply; running out of time is silence, any other failure unreachable.
    std::string reply;
    const auto exchange = [&](const std::string &request, auto complete) {
        Io io = sendBy(bus.fd(), request, deadline);
        if (io == Io::Done)
            io = receiveBy(bus.fd(), reply, complete, deadline);
        return io;
    };
    const auto outcome = [](Io io) { return io == Io::TimedOut ? Answer::Silent : Answer::Unreachable; };
    const auto line = [](const std::string &got) { return got.find("\r\n") != std::string::npos; };
    if (const Io io = exchange(std::string(1, '\0') + "AUTH EXTERNAL " + hexUid + "\r\n", line); io != Io::Done)
        return outcome(io);
    // A refusal is an answer: the libraries hear it as quickly and go on without the bus.
    if (reply.rfind("OK ", 0) != 0)
        return Answer::Answered;
    reply.clear();
    const auto anything = [](const std::string &got) { return !got.empty(); };
    if (const Io io = exchange("BEGIN\r\n" + helloCall(), anything); io != Io::Done)
        return outcome(io);
    return Answer::Answered;
}

} // namespace

bool avoidHungSessionBus(std::chrono::milliseconds bound)
{
    const char *set = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    // Without the variable libdbus looks for the bus in the runtime folder first.
    const std::string list = set && *set ? set : "unix:runtime=yes";
    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + bound;
    for (const BusAddress &address : busAddresses(list)) {
        const std::optional<std::string> name = socketName(address);
        if (!name || name->empty())
            return true;
        switch (ask(*name, deadline)) {
        case Answer::Answered:
            qCDebug(lcSession) << "the session bus answered in"
                               << std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count()
                               << "ms";
            return true;
        case Answer::Unreachable: continue;
        case Answer::Silent:
            ::setenv("DBUS_SESSION_BUS_ADDRESS", kNoBus, 1);
            qCWarning(lcSession) << "the session bus did not answer within" << bound.count()
                                 << "ms; running without it";
            return false;
        }
    }
    return true;
}

} // namespace app

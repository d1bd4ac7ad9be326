// A TCP forwarder on loopback that behaves like a long link, for the benchmark's latency rows:
//   vexl-delay-proxy --listen PORT --to PORT --rtt MS [--mbit N] [--cut-after BYTES [--cut-every]]
// A new connection carries nothing for one round trip (the handshake a real link would cost);
// after that every chunk read from one side is written to the other half a round trip after it
// arrived, in both directions, while later chunks keep arriving behind it. --mbit caps each
// direction's rate by holding at most rate x half a round trip (a link's bandwidth-delay
// product). --cut-after resets the first connection whose answer reaches BYTES right there
// (--cut-every: every such connection), as a dropped connection would. It forwards bytes, so
// HTTPS passes as well as HTTP. --listen 0 takes any free port. The first line on standard
// output is "listening on 127.0.0.1:PORT"; one line per finished connection goes to standard
// error.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <linux/sockios.h>
#include <list>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kReadBytes = 64 * 1024;
constexpr std::size_t kMinHeldBytes = 64 * 1024;
constexpr std::size_t kUncappedHeldBytes = 64 * 1024 * 1024; // bounds memory without --mbit
// How long a connection about to be reset waits for the client to take what was written.
constexpr std::chrono::seconds kDrainLimit{2};

struct Options {
    int listenPort = -1;
    int targetPort = -1;
    Clock::duration halfTrip{};
    Clock::duration roundTrip{};
    std::size_t heldCap = kUncappedHeldBytes;
    unsigned long long cutAfter = 0; // 0: never
    bool cutEvery = false;
};

// Bytes read from one side, due on the other side at `due`; an empty chunk with `end` is the
// sender's end of data.
struct Chunk {
    Clock::time_point due;
    std::string bytes;
    bool end = false;
};

struct Direction {
    int from = -1;
    int to = -1;
    std::deque<Chunk> queue;
    std::size_t offset = 0; // of the front chunk, already written
    std::size_t held = 0;
    unsigned long long written = 0;
    bool readEnded = false;
    bool writeEnded = false;
    bool writeBlocked = false;
};

struct Connection {
    int id = 0;
    Clock::time_point open; // when the handshake of the simulated link is over
    Direction up;           // client to server
    Direction down;         // server to client: the answer
    bool failed = false;    // to be reset once the client has what was written to it
    Clock::time_point failedAt;
    bool cut = false;
};

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

void setNonBlocking(int fd) {
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
        fail("fcntl");
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int listenOn(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address = loopback(port);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 128) != 0) {
        fail("cannot listen on 127.0.0.1:" + std::to_string(port));
    }
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    std::printf("listening on 127.0.0.1:%d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    setNonBlocking(fd);
    return fd;
}

// Loopback connects complete at once, so a blocking connect keeps the loop simple.
int connectTo(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(port);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
        setNonBlocking(fd);
        return fd;
    }
    if (fd >= 0) {
        close(fd);
    }
    return -1;
}

Options parseOptions(int argc, char** argv) {
    Options options;
    double rttMs = -1;
    double mbit = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        const bool hasValue = i + 1 < argc;
        if (name == "--cut-every") {
            options.cutEvery = true;
        } else if (name == "--listen" && hasValue) {
            options.listenPort = std::stoi(argv[++i]);
        } else if (name == "--to" && hasValue) {
            options.targetPort = std::stoi(argv[++i]);
        } else if (name == "--rtt" && hasValue) {
            rttMs = std::stod(argv[++i]);
        } else if (name == "--mbit" && hasValue) {
            mbit = std::stod(argv[++i]);
        } else if (name == "--cut-after" && hasValue) {
            options.cutAfter = std::stoull(argv[++i]);
        } else {
            throw std::invalid_argument("unknown option " + name);
        }
    }
    if (options.listenPort < 0 || options.targetPort <= 0 || rttMs < 0) {
        throw std::invalid_argument("--listen, --to and --rtt are needed");
    }
    const std::chrono::duration<double, std::milli> rtt(rttMs);
    options.roundTrip = std::chrono::duration_cast<Clock::duration>(rtt);
    options.halfTrip = options.roundTrip / 2;
    if (mbit > 0) {
        const double perHalfTrip = mbit * 1e6 / 8 * rttMs / 2000;
        options.heldCap = std::max(kMinHeldBytes, static_cast<std::size_t>(perHalfTrip));
    }
    return options;
}

class Proxy {
public:
    explicit Proxy(const Options& options)
        : options_(options), listener_(listenOn(options.listenPort)) {}

    void run() {
        for (;;) {
            const Clock::time_point now = Clock::now();
            for (Connection& c : connections_) {
                writeDue(c, c.up, now);
                writeDue(c, c.down, now);
            }
            closeFinished();
            waitAndRead();
        }
    }

private:
    static void markFailed(Connection& c) {
        if (!c.failed) {
            c.failed = true;
            c.failedAt = Clock::now();
        }
    }

    bool mayCut(const Connection& c) const {
        return options_.cutAfter > 0 && !c.cut && (options_.cutEvery || !cutDone_);
    }

    // Writes every chunk whose time has come, as far as the receiver takes it.
    void writeDue(Connection& c, Direction& d, Clock::time_point now) {
        while (!c.failed && !d.queue.empty() && d.queue.front().due <= now) {
            Chunk& chunk = d.queue.front();
            if (chunk.end) {
                shutdown(d.to, SHUT_WR);
                d.writeEnded = true;
                d.queue.pop_front();
                continue;
            }
            std::size_t size = chunk.bytes.size() - d.offset;
            const bool cutting = &d == &c.down && mayCut(c);
            if (cutting) {
                size = static_cast<std::size_t>(
                    std::min<unsigned long long>(size, options_.cutAfter - d.written));
            }
            const ssize_t sent = send(d.to, chunk.bytes.data() + d.offset, size, MSG_NOSIGNAL);
            if (sent < 0) {
                d.writeBlocked = errno == EAGAIN || errno == EWOULDBLOCK;
                if (!d.writeBlocked) {
                    markFailed(c);
                }
                return;
            }
            d.writeBlocked = false;
            d.written += static_cast<unsigned long long>(sent);
            d.offset += static_cast<std::size_t>(sent);
            if (cutting && d.written == options_.cutAfter) {
                c.cut = cutDone_ = true;
                markFailed(c);
                return;
            }
            if (d.offset == chunk.bytes.size()) {
                d.held -= chunk.bytes.size();
                d.offset = 0;
                d.queue.pop_front();
            }
        }
    }

    // Reads what one side sent, each read a chunk of its own, up to the direction's cap.
    void readFrom(Connection& c, Direction& d) {
        const Clock::time_point due = std::max(Clock::now(), c.open) + options_.halfTrip;
        while (!d.readEnded && d.held < options_.heldCap) {
            std::string bytes(kReadBytes, '\0');
            const ssize_t got = recv(d.from, bytes.data(), bytes.size(), 0);
            if (got < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK) {
                    markFailed(c);
                }
                return;
            }
            if (got == 0) {
                d.readEnded = true;
                d.queue.push_back(Chunk{due, {}, true});
                return;
            }
            bytes.resize(static_cast<std::size_t>(got));
            d.held += bytes.size();
            d.queue.push_back(Chunk{due, std::move(bytes), false});
        }
    }

    void accept() {
        for (;;) {
            const int client = ::accept(listener_, nullptr, nullptr);
            if (client < 0) {
                return;
            }
            setNonBlocking(client);
            const int server = connectTo(options_.targetPort);
            if (server < 0) {
                std::fprintf(stderr, "cannot connect to 127.0.0.1:%d\n", options_.targetPort);
                close(client);
                continue;
            }
            Connection c;
            c.id = ++accepted_;
            c.open = Clock::now() + options_.roundTrip;
            c.up.from = c.down.to = client;
            c.down.from = c.up.to = server;
            connections_.push_back(std::move(c));
        }
    }

    static short eventsFor(const Direction& reader, const Direction& writer, std::size_t cap) {
        short events = 0;
        if (!reader.readEnded && reader.held < cap) {
            events |= POLLIN;
        }
        if (writer.writeBlocked) {
            events |= POLLOUT;
        }
        return events;
    }

    // A socket with nothing to wait for is left out, or its hang-up would wake the loop forever.
    static pollfd watch(int fd, short events) { return {events != 0 ? fd : -1, events, 0}; }

    // The time until the next chunk falls due, rounded up to whole milliseconds; -1: none.
    int timeoutMs() const {
        Clock::time_point next = Clock::time_point::max();
        for (const Connection& c : connections_) {
            if (c.failed) {
                return 1; // draining before the reset
            }
            for (const Direction* d : {&c.up, &c.down}) {
                if (!d->queue.empty() && !d->writeBlocked) {
                    next = std::min(next, d->queue.front().due);
                }
            }
        }
        if (next == Clock::time_point::max()) {
            return -1;
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
        return static_cast<int>(std::max<long long>(0, wait.count()));
    }

    void waitAndRead() {
        std::vector<pollfd> fds{{listener_, POLLIN, 0}};
        for (const Connection& c : connections_) {
            const bool live = !c.failed;
            fds.push_back(watch(c.up.from, live ? eventsFor(c.up, c.down, options_.heldCap) : 0));
            fds.push_back(watch(c.down.from, live ? eventsFor(c.down, c.up, options_.heldCap) : 0));
        }
        if (poll(fds.data(), fds.size(), timeoutMs()) < 0 && errno != EINTR) {
            fail("poll");
        }
        std::size_t i = 1;
        for (Connection& c : connections_) {
            const short client = fds[i++].revents;
            const short server = fds[i++].revents;
            if (client & (POLLIN | POLLHUP | POLLERR)) {
                readFrom(c, c.up);
            }
            if (server & (POLLIN | POLLHUP | POLLERR)) {
                readFrom(c, c.down);
            }
            c.down.writeBlocked = c.down.writeBlocked && !(client & POLLOUT);
            c.up.writeBlocked = c.up.writeBlocked && !(server & POLLOUT);
        }
        if (fds[0].revents & POLLIN) {
            accept();
        }
    }

    // Bytes written to the client that it has not received yet.
    static int unsent(int fd) {
        int bytes = 0;
        return ioctl(fd, SIOCOUTQ, &bytes) == 0 ? bytes : 0;
    }

    static bool finished(const Connection& c) {
        if (c.failed) {
            return unsent(c.down.to) == 0 || Clock::now() - c.failedAt > kDrainLimit;
        }
        return c.up.writeEnded && c.down.writeEnded;
    }

    // A failed or cut connection is reset towards the client, as a dropped link would be, once
    // the client has every byte written before the failure (a reset discards unsent bytes).
    void closeFinished() {
        for (auto it = connections_.begin(); it != connections_.end();) {
            Connection& c = *it;
            if (!finished(c)) {
                ++it;
                continue;
            }
            if (c.failed) {
                const linger reset{1, 0};
                setsockopt(c.up.from, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            }
            close(c.up.from);
            close(c.down.from);
            std::fprintf(stderr, "connection %d: %llu bytes up, %llu bytes down%s\n", c.id,
                         c.up.written, c.down.written,
                         c.cut ? ", cut" : (c.failed ? ", reset" : ""));
            it = connections_.erase(it);
        }
    }

    Options options_;
    int listener_;
    std::list<Connection> connections_;
    int accepted_ = 0;
    bool cutDone_ = false;
};

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    try {
        Proxy(parseOptions(argc, argv)).run();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vexl-delay-proxy: %s\n", error.what());
        std::fprintf(stderr, "usage: vexl-delay-proxy --listen PORT --to PORT --rtt MS "
                             "[--mbit N] [--cut-after BYTES [--cut-every]]\n");
        return 2;
    }
}

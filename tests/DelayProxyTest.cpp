// The benchmark's delay proxy: what it forwards arrives whole and in order, and its cut comes
// exactly where it was asked for, on the connections it was asked for.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <netinet/in.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

void sendAll(int fd, const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t sent = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent <= 0) {
            return;
        }
        done += static_cast<std::size_t>(sent);
    }
}

std::string receiveAll(int fd) {
    std::string received;
    char buffer[65536];
    for (ssize_t got; (got = recv(fd, buffer, sizeof buffer, 0)) > 0;) {
        received.append(buffer, static_cast<std::size_t>(got));
    }
    return received;
}

// Answers every connection, one after the other, with what it sent.
class EchoServer {
public:
    EchoServer() : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address = loopback(0);
        socklen_t size = sizeof address;
        bind(fd_, reinterpret_cast<sockaddr*>(&address), size);
        listen(fd_, 8);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
        port = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            for (int client; (client = accept(fd_, nullptr, nullptr)) >= 0; close(client)) {
                char buffer[65536];
                for (ssize_t got; (got = recv(client, buffer, sizeof buffer, 0)) > 0;) {
                    sendAll(client, std::string(buffer, static_cast<std::size_t>(got)));
                }
            }
        });
    }
    ~EchoServer() {
        shutdown(fd_, SHUT_RDWR);
        thread_.join();
        close(fd_);
    }

    int port = 0;

private:
    int fd_;
    std::thread thread_;
};

// The proxy as a child process, in front of `targetPort`, on a port of its choosing.
class ProxyProcess {
public:
    ProxyProcess(int targetPort, std::vector<std::string> options) {
        options.insert(options.begin(),
                       {VEXL_DELAY_PROXY_EXE, "--listen", "0", "--to", std::to_string(targetPort)});
        int out[2];
        EXPECT_EQ(pipe(out), 0);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            std::vector<char*> argv;
            for (std::string& option : options) {
                argv.push_back(option.data());
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        std::FILE* output = fdopen(out[0], "r");
        EXPECT_EQ(std::fscanf(output, "listening on 127.0.0.1:%d", &port), 1);
        std::fclose(output);
    }
    ~ProxyProcess() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }

    // Sends `bytes` on a new connection, ends its half, and returns everything answered before
    // the connection ended or was reset.
    std::string exchange(const std::string& bytes) const {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = loopback(port);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        std::thread writer([&] {
            sendAll(fd, bytes);
            shutdown(fd, SHUT_WR);
        });
        std::string answer = receiveAll(fd);
        writer.join();
        close(fd);
        return answer;
    }

    int port = 0;

private:
    pid_t pid_ = -1;
};

std::string randomBytes(std::size_t size) {
    std::mt19937 generator(size);
    std::string bytes(size, '\0');
    for (char& c : bytes) {
        c = static_cast<char>(generator());
    }
    return bytes;
}

} // namespace

// 4 MiB each way through a link that holds only 64 KiB at a time, so that reading stops and
// resumes many times in both directions while the chunks overlap in flight.
TEST(DelayProxyTest, CarriesBytesWholeAndInOrderBothWays) {
    EchoServer echo;
    ProxyProcess proxy(echo.port, {"--rtt", "2", "--mbit", "1"});
    const std::string bytes = randomBytes(4 << 20);
    EXPECT_TRUE(proxy.exchange(bytes) == bytes);
    EXPECT_EQ(proxy.exchange("second connection"), "second connection");
}

// Three connections in turn; the first answer is shorter than the cut, so it is never cut.
TEST(DelayProxyTest, CutsTheAnswerAtExactlyTheByteAskedForOnTheConnectionsAskedFor) {
    struct Case {
        std::vector<std::string> options;
        std::vector<std::size_t> answered;
    };
    const std::vector<std::size_t> sent{50000, 1 << 20, 1 << 20};
    const std::vector<Case> cases{
        {{"--cut-after", "100000"}, {50000, 100000, 1 << 20}},
        {{"--cut-after", "100000", "--cut-every"}, {50000, 100000, 100000}},
        {{}, {50000, 1 << 20, 1 << 20}},
    };
    for (const Case& c : cases) {
        EchoServer echo;
        std::vector<std::string> options{"--rtt", "2"};
        options.insert(options.end(), c.options.begin(), c.options.end());
        ProxyProcess proxy(echo.port, options);
        for (std::size_t i = 0; i < sent.size(); ++i) {
            const std::string bytes = randomBytes(sent[i]);
            const std::string answer = proxy.exchange(bytes);
            EXPECT_EQ(answer.size(), c.answered[i]) << c.options.size() << " options, #" << i;
            EXPECT_TRUE(answer == bytes.substr(0, answer.size()));
        }
    }
}

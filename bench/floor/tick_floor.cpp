// The least a once-a-second sample-and-report loop can cost on this host, for bench/overhead to set beside
// the agent: the same proc files read the same way (kept open, read with pread), a report body of the
// same shape growing by one sample per series each second, a few console lines, and one POST per second
// over one kept HTTP/1.1 connection whose answer is read when it arrives. One thread, one epoll, no
// allocation per tick, none of the agent's abstractions. With --no-post it does all but the POST (no
// connection, no body), which shows what the report's upload alone costs.
//
// Usage: perfagent_tick_floor PORT [--no-post]   (posts to 127.0.0.1:PORT/entry-point/json until killed)

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

/// Reads a kept-open proc file from its start; the text is not used, only paid for.
void readAgain(int fd, char* buffer, std::size_t size) {
    if (pread(fd, buffer, size, 0) < 0) std::perror("pread");
}

/// Every thread's schedstat, opened per listing as the thread set may change.
void readThreads(char* buffer, std::size_t size) {
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks) return;
    while (const dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        const std::string path = std::string("/proc/self/task/") + entry->d_name + "/schedstat";
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) readAgain(fd, buffer, size), close(fd);
    }
    closedir(tasks);
}

int connectTo(unsigned short port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("connect");
        std::exit(1);
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;  // blocking writes: a body larger than the socket buffer goes out whole
}

}  // namespace

int main(int argc, char** argv) {
    const bool post = argc == 2, noPost = argc == 3 && std::string(argv[2]) == "--no-post";
    const long port = post || noPost ? std::strtol(argv[1], nullptr, 10) : 0;
    if (port <= 0 || port > 65535) {
        std::fprintf(stderr, "usage: perfagent_tick_floor PORT [--no-post]\n");
        return 2;
    }
    const int files[] = {open("/proc/stat", O_RDONLY | O_CLOEXEC), open("/proc/meminfo", O_RDONLY | O_CLOEXEC),
                         open("/proc/self/statm", O_RDONLY | O_CLOEXEC)};
    const int upload = post ? connectTo(static_cast<unsigned short>(port)) : -1;
    const int timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    const itimerspec everySecond{{1, 0}, {1, 0}};
    timerfd_settime(timer, 0, &everySecond, nullptr);
    const int poller = epoll_create1(EPOLL_CLOEXEC);
    for (const int fd : {timer, upload}) {
        if (fd < 0) continue;
        epoll_event interest{};
        interest.events = EPOLLIN;
        interest.data.fd = fd;
        epoll_ctl(poller, EPOLL_CTL_ADD, fd, &interest);
    }

    // Four series of "Ns": value members, as the report's, kept as text and only appended to.
    std::string series[4], body, head;
    for (auto& text : series) text.reserve(1 << 20);
    body.reserve(4 << 20);
    char scratch[8192];
    for (std::uint64_t tick = 0;;) {
        epoll_event ready{};
        if (epoll_wait(poller, &ready, 1, -1) != 1) continue;
        if (ready.data.fd == upload) {
            ssize_t got;
            while ((got = recv(upload, scratch, sizeof scratch, MSG_DONTWAIT)) > 0) {
            }
            if (got == 0) {
                std::fprintf(stderr, "perfagent_tick_floor: the sink closed the connection\n");
                return 1;  // else the closed socket would report itself ready forever
            }
            continue;
        }
        std::uint64_t expirations = 0;
        if (read(timer, &expirations, sizeof expirations) < 0) continue;
        ++tick;
        for (const int fd : files) readAgain(fd, scratch, sizeof scratch);
        readThreads(scratch, sizeof scratch);
        for (int i = 0; i < 4; ++i) {
            const int length = std::snprintf(scratch, sizeof scratch, "%s\n    \"%llus\" : %.15g", tick > 1 ? "," : "",
                                             static_cast<unsigned long long>(tick), 12.345678 * i + tick % 7);
            series[i].append(scratch, static_cast<std::size_t>(length));
        }
        for (int line = 0; line < 10; ++line) std::printf("console line %d of sample %llu\n", line,
                                                         static_cast<unsigned long long>(tick));
        std::fflush(stdout);
        if (!post) continue;
        body.assign("{\n  \"UsecaseName\" : \"overhead\",\n  \"srNumber\" : \"1\",\n");
        for (int i = 0; i < 4; ++i) body.append("  \"series\" : {").append(series[i]).append("\n  },\n");
        body.append("  \"averagecpu\" : 1.5\n}");
        head = "POST /entry-point/json HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
               "\r\nContent-Type: application/json\r\nAccept: application/json\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n\r\n";
        iovec parts[] = {{head.data(), head.size()}, {body.data(), body.size()}};
        if (writev(upload, parts, 2) < 0) std::perror("writev");
    }
}

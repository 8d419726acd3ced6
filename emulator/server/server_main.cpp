// vantri_emulator: serves emulated adapters over TCP on 127.0.0.1 until
// SIGTERM or SIGINT, then writes their state. See docs/emulator.md.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "emulator/server/emulator_server.h"

namespace {

int s_signalPipe[2] = {-1, -1};

// Only async-signal-safe work here: the main loop does the rest.
void OnSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(s_signalPipe[1], &byte, 1);
}

bool InstallSignals()
{
    if (::pipe2(s_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    ::signal(SIGPIPE, SIG_IGN);
    return ::sigaction(SIGTERM, &action, nullptr) == 0 && ::sigaction(SIGINT, &action, nullptr) == 0;
}

int Listen(std::uint16_t port, std::uint16_t& bound)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 128) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    bound = ntohs(address.sin_port);
    return fd;
}

void DumpAtExit(VantriEmu::EmulatorServer& server, const VantriEmu::ServerOptions& options)
{
    if (options.stateDir.empty())
        return;
    std::string error;
    if (!server.Dump(error))
        std::fprintf(stderr, "vantri_emulator: %s\n", error.c_str());
}

} // namespace

int main(int argc, char** argv)
{
    VantriEmu::ServerOptions options;
    std::string error;
    if (!VantriEmu::ParseServerOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "vantri_emulator: %s\n%s", error.c_str(), VantriEmu::kServerUsage);
        return 2;
    }
    if (options.help) {
        std::fputs(VantriEmu::kServerUsage, stdout);
        return 0;
    }
    // The frame clock sleeps to whole milliseconds; Linux lets an ordinary
    // thread's sleep run up to 50 us over, which the model would add to every
    // frame. Threads started later inherit the tighter slack.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    if (!InstallSignals()) {
        std::fprintf(stderr, "vantri_emulator: cannot install signal handlers: %s\n", std::strerror(errno));
        return 1;
    }
    std::uint16_t port = 0;
    const int listener = Listen(options.port, port);
    if (listener < 0) {
        std::fprintf(stderr, "vantri_emulator: cannot listen on 127.0.0.1:%u: %s\n", options.port, std::strerror(errno));
        return 1;
    }
    VantriEmu::EmulatorServer server(options);
    if (options.port == 0) {
        std::printf("port=%u\n", port);
        std::fflush(stdout);
    }

    pollfd watched[2] = {{listener, POLLIN, 0}, {s_signalPipe[0], POLLIN, 0}};
    for (;;) {
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "vantri_emulator: poll: %s\n", std::strerror(errno));
            break;
        }
        if (watched[1].revents != 0)
            break;
        if ((watched[0].revents & POLLIN) == 0)
            continue;
        const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            continue;
        // Small messages, one request at a time: Nagle would hold each
        // reply back for the peer's delayed acknowledgement.
        const int one = 1;
        ::setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::thread([&server, connection] { server.Serve(connection); }).detach();
    }
    DumpAtExit(server, options);
    std::fflush(stdout);
    std::fflush(stderr);
    // Connection threads may still be blocked in reads of silent adapters:
    // leave without running destructors under them.
    ::_exit(0);
}

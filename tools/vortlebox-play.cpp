// vortlebox-play: sends one player command line to the Vortlebox listener on
// 127.0.0.1 and prints the reply, as a music-player plug-in would.
//
//   vortlebox-play [--port N] [--timeout S] COMMAND ['FIELDS']
//   vortlebox-play [--port N] [--timeout S] [--no-newline] --raw 'LINE'
//
// Exit status: 0 for the reply "OK", 1 for an "ERROR: ..." reply, 2 when the
// listener cannot be reached, does not answer or answers something else,
// and for wrong usage.

#include "app/UniqueFd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kDefaultPort = 33367;

int Usage(const char* message) {
    if (message)
        std::fprintf(stderr, "vortlebox-play: %s\n", message);
    std::fprintf(stderr,
                 "usage: vortlebox-play [--port N] [--timeout SECONDS] COMMAND ['FIELDS']\n"
                 "       vortlebox-play [--port N] [--timeout SECONDS] [--no-newline] --raw 'LINE'\n"
                 "Sends \"COMMAND FIELDS\" (or LINE exactly as given) and a line feed to the\n"
                 "Vortlebox listener on 127.0.0.1 (port %d by default) and prints its reply.\n"
                 "Example: vortlebox-play START 'c=demo&a=Artist&t=Title&l=200&p=/music/a.mp3'\n"
                 "Exit status: 0 reply OK, 1 reply ERROR, 2 no connection, no or unexpected reply.\n",
                 kDefaultPort);
    return 2;
}

bool ParseNumber(const char* text, long low, long high, long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && value >= low && value <= high;
}

} // namespace

int main(int argc, char** argv) {
    long port = kDefaultPort;
    long timeout = 10;
    bool raw = false;
    bool newline = true;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "--port" || arg == "--timeout") && i + 1 < argc) {
            bool ok = arg == "--port" ? ParseNumber(argv[++i], 1, 65535, port)
                                      : ParseNumber(argv[++i], 1, 3600, timeout);
            if (!ok)
                return Usage((arg + " needs a number in range").c_str());
        } else if (arg == "--raw") {
            raw = true;
        } else if (arg == "--no-newline") {
            newline = false;
        } else if (arg == "--help" || arg == "-h") {
            Usage(nullptr);
            return 0;
        } else if (arg == "--") {
            positional.insert(positional.end(), argv + i + 1, argv + argc);
            break;
        } else if (arg.size() > 1 && arg.compare(0, 2, "--") == 0) {
            return Usage(("unknown option " + arg).c_str());
        } else {
            positional.push_back(arg);
        }
    }
    if (raw ? positional.size() != 1 : positional.empty() || positional.size() > 2)
        return Usage(raw ? "--raw takes exactly one LINE" : "give COMMAND and FIELDS");
    if (!raw && !newline)
        return Usage("--no-newline needs --raw");

    std::string line =
        raw ? positional[0] : positional[0] + (positional.size() > 1 ? " " + positional[1] : "");
    if (newline)
        line += '\n';

    CUniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (sock.Get() < 0) {
        std::fprintf(stderr, "vortlebox-play: cannot create a socket: %s\n", std::strerror(errno));
        return 2;
    }
    timeval tv{};
    tv.tv_sec = timeout;
    ::setsockopt(sock.Get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(sock.Get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(sock.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::fprintf(stderr, "vortlebox-play: cannot connect to 127.0.0.1:%ld: %s\n", port,
                     std::strerror(errno));
        return 2;
    }
    std::size_t sent = 0;
    while (sent < line.size()) {
        ssize_t n = ::send(sock.Get(), line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            std::fprintf(stderr, "vortlebox-play: sending failed: %s\n", std::strerror(errno));
            return 2;
        }
        sent += static_cast<std::size_t>(n);
    }

    std::string reply;
    bool complete = false;
    while (!complete) {
        char buf[1024];
        ssize_t n = ::recv(sock.Get(), buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            bool timedOut = errno == EAGAIN || errno == EWOULDBLOCK;
            std::fprintf(stderr, "vortlebox-play: %s\n",
                         timedOut ? ("no reply within " + std::to_string(timeout) + " s").c_str()
                                  : (std::string("receiving failed: ") + std::strerror(errno)).c_str());
            return 2;
        }
        if (n == 0)
            break;
        reply.append(buf, static_cast<std::size_t>(n));
        auto nl = reply.find('\n');
        if (nl != std::string::npos) {
            reply.erase(nl);
            complete = true;
        }
    }
    if (!reply.empty() && reply.back() == '\r')
        reply.pop_back();
    if (reply.empty() && !complete) {
        std::fprintf(stderr, "vortlebox-play: the listener closed the connection without a reply\n");
        return 2;
    }
    std::printf("%s\n", reply.c_str());
    if (reply == "OK")
        return 0;
    if (reply == "ERROR" || reply.compare(0, 6, "ERROR:") == 0)
        return 1;
    std::fprintf(stderr, "vortlebox-play: unexpected reply\n");
    return 2;
}

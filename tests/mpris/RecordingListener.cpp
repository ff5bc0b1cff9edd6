#include "tests/mpris/RecordingListener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

CRecordingListener::CRecordingListener(std::uint16_t port)
    : mSocket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    const int on = 1;
    ::setsockopt(mSocket.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(mSocket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(mSocket.Get(), 4) != 0) {
        mSocket.Reset();
        return;
    }
    mThread = std::thread([this] { Serve(); });
}

CRecordingListener::~CRecordingListener() {
    mbStop = true;
    if (mThread.joinable())
        mThread.join();
}

std::vector<std::string> CRecordingListener::Lines() const {
    std::lock_guard<std::mutex> guard(mMutex);
    return mLines;
}

std::size_t CRecordingListener::Count() const {
    std::lock_guard<std::mutex> guard(mMutex);
    return mLines.size();
}

void CRecordingListener::ReplyTo(const std::string& prefix, const std::string& reply) {
    std::lock_guard<std::mutex> guard(mMutex);
    mReplyPrefix = prefix;
    mReply = reply;
}

void CRecordingListener::Serve() {
    while (!mbStop) {
        pollfd wait{mSocket.Get(), POLLIN, 0};
        if (::poll(&wait, 1, 50) <= 0)
            continue;
        CUniqueFd connection(::accept4(mSocket.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!connection.IsValid())
            continue;
        std::string line;
        bool complete = false;
        while (!complete && !mbStop) {
            pollfd readable{connection.Get(), POLLIN, 0};
            if (::poll(&readable, 1, 50) <= 0)
                continue;
            char buffer[1024];
            const ssize_t n = ::recv(connection.Get(), buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            line.append(buffer, static_cast<std::size_t>(n));
            complete = line.back() == '\n';
        }
        if (!complete)
            continue;
        line.pop_back();
        std::string reply = "OK";
        {
            std::lock_guard<std::mutex> guard(mMutex);
            mLines.push_back(line);
            if (!mReply.empty() && line.rfind(mReplyPrefix, 0) == 0)
                reply = mReply;
        }
        reply += "\n";
        ::send(connection.Get(), reply.data(), reply.size(), MSG_NOSIGNAL);
        ::shutdown(connection.Get(), SHUT_WR);
    }
}

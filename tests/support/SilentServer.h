// A database server that accepts connections and never answers (a hung
// server, a partitioned network): a socket on 127.0.0.1 that listens and
// reads nothing, for as long as the object lives. Header only, for every
// test executable that needs one.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

class SilentServer {
  public:
    SilentServer() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), size), 0);
        EXPECT_EQ(listen(fd_, 64), 0);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
        url_ = "postgresql://qmb@127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/qmb";
    }
    ~SilentServer() { close(fd_); }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;
    const std::string& Url() const { return url_; }

  private:
    int fd_ = -1;
    std::string url_;
};

#include "support/ftp_test_client.h"

#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

TFtpTestClient::~TFtpTestClient() { Close(); }

void TFtpTestClient::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    buffer_.clear();
}

TFtpReply TFtpTestClient::Connect(int port, int receiveTimeoutMs) {
    Close();
    timeoutMs_ = receiveTimeoutMs;
    fd_ = ConnectLoopback(port, receiveTimeoutMs, receiveTimeoutMs);
    if (fd_ < 0) return {};
    return ReadReply();
}

void TFtpTestClient::Send(const std::string& raw) { SendAll(fd_, raw); }

TFtpReply TFtpTestClient::Command(const std::string& line) {
    Send(line + "\r\n");
    return ReadReply();
}

TFtpReply TFtpTestClient::ReadReply() {
    TFtpReply r;
    std::string code;
    for (;;) {
        size_t nl;
        while ((nl = buffer_.find("\r\n")) == std::string::npos) {
            char buf[1024];
            ssize_t got = fd_ < 0 ? -1 : ::recv(fd_, buf, sizeof buf, 0);
            if (got <= 0) return TFtpReply{};
            buffer_.append(buf, static_cast<size_t>(got));
        }
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 2);
        if (!r.Text.empty()) r.Text += "\n";
        r.Text += line;
        if (code.empty()) {
            if (line.size() < 4) return TFtpReply{};
            code = line.substr(0, 3);
        }
        if (line.size() >= 4 && line.compare(0, 3, code) == 0 && line[3] == ' ') break;
    }
    r.Code = std::atoi(code.c_str());
    return r;
}

TFtpReply TFtpTestClient::Login(const std::string& user, const std::string& pass) {
    TFtpReply u = Command("USER " + user);
    if (u.Code != 331) return u;
    return Command("PASS " + pass);
}

int TFtpTestClient::OpenPassive() {
    TFtpReply r = Command("EPSV");
    if (r.Code != 229) return -1;
    size_t p = r.Text.find("(|||");
    if (p == std::string::npos) return -1;
    int port = std::atoi(r.Text.c_str() + p + 4);
    return ConnectLoopback(port, timeoutMs_, timeoutMs_);
}

bool TFtpTestClient::ServerClosed() {
    char buf[256];
    for (int i = 0; i < 1000; ++i) {
        ssize_t got = ::recv(fd_, buf, sizeof buf, 0);
        if (got == 0) return true;
        if (got < 0) return errno == ECONNRESET;
    }
    return false;
}

// Helpers of the FTP and upload tests: a command runner for the real
// clients (curl, lftp) and a plain FTP control/data client on 127.0.0.1
// with receive time-outs, for the replies that the real clients hide (the
// socket helpers of support/loopback.h come with it).
#pragma once

#include "support/shell.h"

#include <string>
#include <utility>

#include "support/loopback.h"

// One reply: its code and every line of it.
struct TFtpReply {
    int Code = 0;
    std::string Text;
};

class TFtpTestClient {
public:
    TFtpTestClient() = default;
    ~TFtpTestClient();
    TFtpTestClient(const TFtpTestClient&) = delete;
    TFtpTestClient& operator=(const TFtpTestClient&) = delete;

    // Connects to 127.0.0.1:port and reads the greeting.
    TFtpReply Connect(int port, int receiveTimeoutMs = 20000);
    // Sends one line (CR LF added) and reads the reply.
    TFtpReply Command(const std::string& line);
    void Send(const std::string& raw);
    // Reads one complete reply; Code 0 when the server closed or went quiet.
    TFtpReply ReadReply();
    // USER + PASS; the PASS reply.
    TFtpReply Login(const std::string& user, const std::string& pass);
    // EPSV and a connection to the port it names; -1 on failure.
    int OpenPassive();
    // Whether the server closed the control connection (reads until the end
    // or the receive time-out).
    bool ServerClosed();
    void Close();

private:
    int fd_ = -1;
    std::string buffer_;
    int timeoutMs_ = 20000;
};


#include "replication/ftp/ftp_session.h"

#include <cctype>
#include <chrono>
#include <vector>

#include "core/exceptions.h"
#include "replication/ftp/ftp_paths.h"

using asio::ip::tcp;

namespace {

const char* const kCrLf = "\r\n";
const char* const kSyntaxError = "Syntax error in parameters or arguments.";

// The control connection failed (a time-out, the client gone, the server
// stopping): the session ends.
class TControlLost : public Exception {
public:
    explicit TControlLost(bool timedOut = false, std::string failure = "")
        : Exception(failure.empty() ? "Control connection lost" : failure),
          TimedOut(timedOut),
          Failure(std::move(failure)) {}
    const char* ClassName() const override { return "TControlLost"; }

    bool TimedOut;
    std::string Failure;  // a socket failure other than the client going away
};

TControlLost LostBy(const TNetResult& r) {
    return TControlLost(r.Status == TNetStatus::TimedOut, r.Status == TNetStatus::Failed ? r.Error.message() : "");
}

// Splits "CMD argument": the verb upper-cased, the argument as sent (only
// the single blank after the verb is dropped).
void SplitCommand(const std::string& line, std::string& verb, std::string& arg) {
    size_t sp = line.find(' ');
    verb = UpperAscii(line.substr(0, sp));
    arg = sp == std::string::npos ? std::string() : line.substr(sp + 1);
}

// Active mode may only connect back to the client that asked, and never to
// a privileged port: the server must not be made to open connections to
// third parties.
bool AllowedActiveTarget(const asio::ip::address& peer, const asio::ip::address& target, unsigned port) {
    if (port < 1024) return false;
    auto norm = [](const asio::ip::address& a) -> asio::ip::address {
        if (a.is_v6() && a.to_v6().is_v4_mapped()) return asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
        return a;
    };
    return norm(peer) == norm(target);
}

}  // namespace

// The commands: those allowed before login first; commands not offered
// answer 502 whether logged in or not; any other verb is unknown (500).
const TFtpSession::TCommand TFtpSession::kCommands[] = {
    {"USER", false, &TFtpSession::CmdUser}, {"PASS", false, &TFtpSession::CmdPass},
    {"QUIT", false, &TFtpSession::CmdQuit}, {"NOOP", false, &TFtpSession::CmdNoop},
    {"SYST", false, &TFtpSession::CmdSyst}, {"FEAT", false, &TFtpSession::CmdFeat},
    {"OPTS", false, &TFtpSession::CmdOpts},
    {"PWD", true, &TFtpSession::CmdPwd},    {"XPWD", true, &TFtpSession::CmdPwd},
    {"CWD", true, &TFtpSession::CmdCwd},    {"XCWD", true, &TFtpSession::CmdCwd},
    {"CDUP", true, &TFtpSession::CmdCdup},  {"XCUP", true, &TFtpSession::CmdCdup},
    {"TYPE", true, &TFtpSession::CmdType},  {"MODE", true, &TFtpSession::CmdMode},
    {"STRU", true, &TFtpSession::CmdStru},  {"PASV", true, &TFtpSession::CmdPasv},
    {"EPSV", true, &TFtpSession::CmdEpsv},  {"PORT", true, &TFtpSession::CmdPort},
    {"EPRT", true, &TFtpSession::CmdEprt},  {"LIST", true, &TFtpSession::CmdList},
    {"NLST", true, &TFtpSession::CmdList},  {"STOR", true, &TFtpSession::CmdStor},
    {"APPE", true, &TFtpSession::CmdAppe},  {"SIZE", true, &TFtpSession::CmdSize},
    {"ALLO", true, &TFtpSession::CmdAllo},  {"ABOR", true, &TFtpSession::CmdAbor},
    {"RETR", false, &TFtpSession::CmdNotImplemented}, {"DELE", false, &TFtpSession::CmdNotImplemented},
    {"RNFR", false, &TFtpSession::CmdNotImplemented}, {"RNTO", false, &TFtpSession::CmdNotImplemented},
    {"MKD", false, &TFtpSession::CmdNotImplemented},  {"XMKD", false, &TFtpSession::CmdNotImplemented},
    {"RMD", false, &TFtpSession::CmdNotImplemented},  {"XRMD", false, &TFtpSession::CmdNotImplemented},
    {"REST", false, &TFtpSession::CmdNotImplemented}, {"MDTM", false, &TFtpSession::CmdNotImplemented},
    {"STOU", false, &TFtpSession::CmdNotImplemented}, {"SITE", false, &TFtpSession::CmdNotImplemented},
    {"SMNT", false, &TFtpSession::CmdNotImplemented}, {"REIN", false, &TFtpSession::CmdNotImplemented},
    {"STAT", false, &TFtpSession::CmdNotImplemented}, {"HELP", false, &TFtpSession::CmdNotImplemented},
    {"ACCT", false, &TFtpSession::CmdNotImplemented}, {"AUTH", false, &TFtpSession::CmdNotImplemented},
    {"PBSZ", false, &TFtpSession::CmdNotImplemented}, {"PROT", false, &TFtpSession::CmdNotImplemented},
    {"CCC", false, &TFtpSession::CmdNotImplemented},  {"MLSD", false, &TFtpSession::CmdNotImplemented},
    {"MLST", false, &TFtpSession::CmdNotImplemented}, {"LANG", false, &TFtpSession::CmdNotImplemented},
    {"ADAT", false, &TFtpSession::CmdNotImplemented}, {"MIC", false, &TFtpSession::CmdNotImplemented},
    {"CONF", false, &TFtpSession::CmdNotImplemented}, {"ENC", false, &TFtpSession::CmdNotImplemented},
};

TFtpSession::TFtpSession(TFtpServer& server, std::shared_ptr<TNetSession> net)
    : srv_(server), net_(std::move(net)), limits_(server.Limits) {
    ctx_.SessionId = net_->Id();
    ctx_.PeerIP = net_->PeerIp().to_string();
    ctx_.CurrentDirectory = "/";
}

void TFtpSession::ReportException(const std::string& message) {
    if (!srv_.OnException) return;
    try {
        srv_.OnException(ctx_, message);
    } catch (...) {
    }
}

template <class F>
asio::awaitable<bool> TFtpSession::Event(F f) {
    std::string failure;
    co_await net_->RunOnWorkers([&] {
        try {
            f();
        } catch (const std::exception& e) {
            failure = e.what();
            if (failure.empty()) failure = "exception";
        }
    });
    if (failure.empty()) co_return true;
    ReportException(failure);
    co_return false;
}

// ---------------------------------------------------------------------------
// Control connection

asio::awaitable<void> TFtpSession::RawReply(const std::string& text) {
    TNetResult r = co_await net_->WriteAll(net_->Socket(), text.data(), text.size(), limits_.ControlIdleTimeoutMs);
    if (!r.Ok()) throw LostBy(r);
}

asio::awaitable<void> TFtpSession::Reply(int code, const std::string& text) {
    co_await RawReply(std::to_string(code) + " " + text + kCrLf);
}

// One command line without its line end. Telnet commands are dropped and
// a doubled 0xFF is one 0xFF byte. False at the client's end.
asio::awaitable<bool> TFtpSession::ReadLine(std::string& line) {
    line.clear();
    bool tooLong = false;
    size_t scan = 0;
    for (;;) {
        size_t nl = inbuf_.find('\n', scan);
        if (nl != std::string::npos) {
            std::string raw = inbuf_.substr(0, nl);
            inbuf_.erase(0, nl + 1);
            if (!raw.empty() && raw.back() == '\r') raw.pop_back();
            for (size_t i = 0; i < raw.size(); ++i) {
                unsigned char c = static_cast<unsigned char>(raw[i]);
                if (c == 0xFF && i + 1 < raw.size()) {
                    unsigned char n = static_cast<unsigned char>(raw[i + 1]);
                    if (n == 0xFF) {
                        line += '\xFF';
                        ++i;
                    } else if (n >= 251 && n <= 254) {
                        i += 2;  // option negotiation: three bytes
                    } else {
                        ++i;  // interrupt, data mark and the like
                    }
                    continue;
                }
                line += static_cast<char>(c);
            }
            if (tooLong) {
                co_await Reply(500, "Command line too long.");
                line.clear();
                tooLong = false;
                scan = 0;
                continue;
            }
            co_return true;
        }
        if (static_cast<int>(inbuf_.size()) > limits_.MaxCommandLine) {
            tooLong = true;  // the rest of this line is read and thrown away
            inbuf_.clear();
        }
        scan = inbuf_.size();
        char buf[2048];
        TNetResult r = co_await net_->ReadSome(net_->Socket(), buf, sizeof buf, limits_.ControlIdleTimeoutMs);
        if (r.Status == TNetStatus::Closed) co_return false;
        if (!r.Ok()) throw LostBy(r);
        inbuf_.append(buf, r.Bytes);
    }
}

asio::awaitable<void> TFtpSession::Run() {
    if (srv_.OnConnect) co_await Event([&] { srv_.OnConnect(ctx_); });
    try {
        co_await Reply(220, srv_.Greeting);
        std::string line;
        while (!quit_) {
            if (!co_await ReadLine(line)) break;
            std::string verb, arg;
            SplitCommand(line, verb, arg);
            if (verb.empty()) continue;
            co_await Dispatch(verb, arg);
        }
    } catch (const TControlLost& lost) {
        if (!lost.Failure.empty()) ReportException(lost.Failure);
        if (lost.TimedOut && !net_->Closed()) {
            asio::error_code ec;
            const std::string bye = "421 Timeout.\r\n";
            net_->Socket().non_blocking(true, ec);
            net_->Socket().write_some(asio::buffer(bye), ec);
        }
    } catch (const std::exception& e) {
        ReportException(e.what());
    }
    ResetData();
    net_->Close();
    if (srv_.OnDisconnect) co_await Event([&] { srv_.OnDisconnect(ctx_); });
}

asio::awaitable<void> TFtpSession::Dispatch(const std::string& verb, const std::string& arg) {
    for (const TCommand& c : kCommands) {
        if (verb != c.Verb) continue;
        if (c.NeedsLogin && !loggedIn_) co_return co_await Reply(530, "Please login with USER and PASS.");
        co_return co_await (this->*c.Routine)(arg);
    }
    co_await Reply(500, srv_.UnknownCommandReply);
}

// ---------------------------------------------------------------------------
// Commands without a data connection

asio::awaitable<void> TFtpSession::CmdUser(const std::string& arg) {
    loggedIn_ = false;
    ctx_.UserName.clear();
    ctx_.HomeFolder.clear();
    ctx_.CurrentDirectory = "/";
    pendingUser_ = arg;
    userGiven_ = true;
    // The same answer for every name, known or not.
    co_await Reply(331, "User name okay, need password.");
}

asio::awaitable<void> TFtpSession::CmdPass(const std::string& arg) {
    if (!userGiven_) co_return co_await Reply(503, "Login with USER first.");
    userGiven_ = false;
    TFtpUserAccount account;
    const bool ok = srv_.UserManager && srv_.UserManager->AuthenticateUser(pendingUser_, arg) &&
                    srv_.UserManager->FindUser(pendingUser_, account);
    if (!ok) {
        ++failedLogins_;
        co_await Reply(530, "Login incorrect.");
        if (failedLogins_ >= limits_.MaxFailedLogins) {
            co_await Reply(421, "Too many failed logins.");
            quit_ = true;
        }
        co_return;
    }
    loggedIn_ = true;
    ctx_.UserName = account.UserName;
    ctx_.HomeFolder = account.HomeFolder;
    ctx_.CurrentDirectory = "/";
    co_await Reply(230, "User logged in, proceed.");
}

asio::awaitable<void> TFtpSession::CmdQuit(const std::string&) {
    co_await Reply(221, "Goodbye.");
    quit_ = true;
}

asio::awaitable<void> TFtpSession::CmdNoop(const std::string&) { co_await Reply(200, "NOOP command successful."); }

asio::awaitable<void> TFtpSession::CmdSyst(const std::string&) { co_await Reply(215, srv_.SystemType); }

asio::awaitable<void> TFtpSession::CmdFeat(const std::string&) {
    co_await RawReply(std::string("211-Features:\r\n") + " EPRT\r\n EPSV\r\n PASV\r\n SIZE\r\n" + "211 End\r\n");
}

asio::awaitable<void> TFtpSession::CmdOpts(const std::string& arg) {
    const std::string a = UpperAscii(TrimBlanks(arg));
    if (a == "UTF8 ON" || a == "UTF8 OFF" || a == "UTF8" || a == "UTF-8 ON") co_return co_await Reply(200, "OK.");
    co_await Reply(501, "Option not understood.");
}

asio::awaitable<void> TFtpSession::CmdNotImplemented(const std::string&) {
    co_await Reply(502, "Command not implemented.");
}

asio::awaitable<void> TFtpSession::CmdPwd(const std::string&) {
    co_await Reply(257, "\"" + QuotePath(ctx_.CurrentDirectory) + "\" is current directory.");
}

asio::awaitable<void> TFtpSession::CmdCwd(const std::string& arg) {
    if (arg.empty()) co_return co_await Reply(501, kSyntaxError);
    std::string dir = ResolveVirtual(ctx_.CurrentDirectory, arg);
    if (srv_.OnChangeDirectory && !co_await Event([&] { srv_.OnChangeDirectory(ctx_, dir); }))
        co_return co_await Reply(550, "Requested action not taken.");
    ctx_.CurrentDirectory = dir.empty() ? "/" : dir;
    co_await Reply(250, "CWD command successful.");
}

asio::awaitable<void> TFtpSession::CmdCdup(const std::string&) { co_await CmdCwd(".."); }

asio::awaitable<void> TFtpSession::CmdType(const std::string& arg) {
    // Bytes are stored as they arrive in either type: the server keeps no
    // text files, and an archive sent in the wrong type stays intact.
    const std::string t = UpperAscii(TrimBlanks(arg));
    if (t == "A" || t == "A N") co_return co_await Reply(200, "Type set to A.");
    if (t == "I" || t == "L 8") co_return co_await Reply(200, "Type set to I.");
    if (t.empty()) co_return co_await Reply(501, kSyntaxError);
    co_await Reply(504, "Command not implemented for that parameter.");
}

asio::awaitable<void> TFtpSession::CmdMode(const std::string& arg) {
    if (UpperAscii(TrimBlanks(arg)) == "S") co_return co_await Reply(200, "Mode set to S.");
    co_await Reply(504, "Command not implemented for that parameter.");
}

asio::awaitable<void> TFtpSession::CmdStru(const std::string& arg) {
    if (UpperAscii(TrimBlanks(arg)) == "F") co_return co_await Reply(200, "Structure set to F.");
    co_await Reply(504, "Command not implemented for that parameter.");
}

asio::awaitable<void> TFtpSession::CmdSize(const std::string& arg) {
    if (arg.empty()) co_return co_await Reply(501, kSyntaxError);
    int64_t size = -1;
    if (srv_.OnGetFileSize && !co_await Event([&] { size = srv_.OnGetFileSize(ctx_, arg); })) size = -1;
    if (size < 0) co_return co_await Reply(550, "Could not get file size.");
    co_await Reply(213, std::to_string(size));
}

asio::awaitable<void> TFtpSession::CmdAllo(const std::string&) { co_await Reply(202, "ALLO command ignored."); }

asio::awaitable<void> TFtpSession::CmdAbor(const std::string&) {
    ResetData();
    co_await Reply(225, "No transfer in progress.");
}

// ---------------------------------------------------------------------------
// Setting up the data connection

void TFtpSession::ResetData() {
    pasvAttached_.Reset();
    if (pasv_) {
        asio::error_code ec;
        pasv_->close(ec);
        pasv_.reset();
    }
    dataMode_ = DataMode::None;
}

asio::awaitable<void> TFtpSession::CmdPasv(const std::string& arg) { co_await Passive(false, arg); }

asio::awaitable<void> TFtpSession::CmdEpsv(const std::string& arg) { co_await Passive(true, arg); }

asio::awaitable<void> TFtpSession::Passive(bool extended, const std::string& arg) {
    const std::string a = UpperAscii(TrimBlanks(arg));
    const asio::ip::address& local = net_->LocalIp();
    if (extended && a == "ALL") {
        epsvAll_ = true;
        co_return co_await Reply(200, "EPSV ALL command successful.");
    }
    if (extended && !a.empty() && a != "1" && a != "2")
        co_return co_await Reply(522, "Network protocol not supported, use (1,2)");
    if (!extended && epsvAll_) co_return co_await Reply(501, "PASV not allowed after EPSV ALL.");
    if (!extended && !local.is_v4() && !(local.is_v6() && local.to_v6().is_v4_mapped()))
        co_return co_await Reply(425, "Cannot use PASV on this address, use EPSV.");
    ResetData();

    auto acceptor = std::make_unique<tcp::acceptor>(net_->Strand());
    asio::error_code ec;
    tcp::endpoint ep(local, 0);
    acceptor->open(ep.protocol(), ec);
    bool bound = false;
    const int lo = limits_.PassivePortMin, hi = limits_.PassivePortMax;
    if (!ec && lo > 0 && hi >= lo) {
        const int span = hi - lo + 1;
        const int start = static_cast<int>(ctx_.SessionId * 7919 % static_cast<uint64_t>(span));
        for (int i = 0; i < span && !bound; ++i) {
            ep.port(static_cast<unsigned short>(lo + (start + i) % span));
            ec.clear();
            acceptor->bind(ep, ec);
            bound = !ec;
        }
    } else if (!ec) {
        acceptor->bind(ep, ec);
        bound = !ec;
    }
    if (bound) acceptor->listen(1, ec);
    const unsigned port = bound && !ec ? acceptor->local_endpoint(ec).port() : 0;
    if (!bound || ec) co_return co_await Reply(425, "Can't open passive connection.");
    pasv_ = std::move(acceptor);
    pasvAttached_ = net_->Attach([this] {
        asio::error_code ignored;
        if (pasv_) pasv_->close(ignored);
    });
    dataMode_ = DataMode::Passive;

    if (extended) co_return co_await Reply(229, "Entering Extended Passive Mode (|||" + std::to_string(port) + "|)");
    auto v4 = local.is_v4() ? local.to_v4() : asio::ip::make_address_v4(asio::ip::v4_mapped, local.to_v6());
    auto b = v4.to_bytes();
    co_await Reply(227, "Entering Passive Mode (" + std::to_string(b[0]) + "," + std::to_string(b[1]) + "," +
                            std::to_string(b[2]) + "," + std::to_string(b[3]) + "," + std::to_string(port >> 8) +
                            "," + std::to_string(port & 0xFF) + ").");
}

asio::awaitable<void> TFtpSession::CmdPort(const std::string& arg) {
    if (epsvAll_) co_return co_await Reply(501, "PORT not allowed after EPSV ALL.");
    unsigned v[6];
    int n = 0;
    const std::string a = TrimBlanks(arg);
    size_t i = 0;
    while (n < 6) {
        if (i >= a.size() || !std::isdigit(static_cast<unsigned char>(a[i]))) co_return co_await Reply(501, kSyntaxError);
        unsigned x = 0;
        while (i < a.size() && std::isdigit(static_cast<unsigned char>(a[i])) && x <= 255) x = x * 10 + (a[i++] - '0');
        if (x > 255) co_return co_await Reply(501, kSyntaxError);
        v[n++] = x;
        if (n < 6) {
            if (i >= a.size() || a[i] != ',') co_return co_await Reply(501, kSyntaxError);
            ++i;
        }
    }
    if (i != a.size()) co_return co_await Reply(501, kSyntaxError);
    asio::ip::address_v4 addr(asio::ip::address_v4::bytes_type{
        static_cast<unsigned char>(v[0]), static_cast<unsigned char>(v[1]), static_cast<unsigned char>(v[2]),
        static_cast<unsigned char>(v[3])});
    const unsigned port = v[4] * 256 + v[5];
    if (!AllowedActiveTarget(net_->PeerIp(), addr, port)) co_return co_await Reply(500, "Illegal PORT command.");
    ResetData();
    activeEndpoint_ = tcp::endpoint(addr, static_cast<unsigned short>(port));
    dataMode_ = DataMode::Active;
    co_await Reply(200, "PORT command successful.");
}

asio::awaitable<void> TFtpSession::CmdEprt(const std::string& arg) {
    if (epsvAll_) co_return co_await Reply(501, "EPRT not allowed after EPSV ALL.");
    const std::string a = TrimBlanks(arg);
    if (a.size() < 7) co_return co_await Reply(501, kSyntaxError);
    const char d = a[0];
    std::vector<std::string> f;
    size_t pos = 1;
    for (int k = 0; k < 3; ++k) {
        size_t e = a.find(d, pos);
        if (e == std::string::npos) co_return co_await Reply(501, kSyntaxError);
        f.push_back(a.substr(pos, e - pos));
        pos = e + 1;
    }
    if (pos != a.size()) co_return co_await Reply(501, kSyntaxError);
    if (f[0] != "1" && f[0] != "2") co_return co_await Reply(522, "Network protocol not supported, use (1,2)");
    asio::error_code ec;
    auto addr = asio::ip::make_address(f[1], ec);
    if (ec || (f[0] == "1") != addr.is_v4()) co_return co_await Reply(501, kSyntaxError);
    if (f[2].empty() || f[2].size() > 5 || f[2].find_first_not_of("0123456789") != std::string::npos)
        co_return co_await Reply(501, kSyntaxError);
    const unsigned port = static_cast<unsigned>(std::stoul(f[2]));
    if (port > 65535) co_return co_await Reply(501, kSyntaxError);
    if (!AllowedActiveTarget(net_->PeerIp(), addr, port)) co_return co_await Reply(500, "Illegal EPRT command.");
    ResetData();
    activeEndpoint_ = tcp::endpoint(addr, static_cast<unsigned short>(port));
    dataMode_ = DataMode::Active;
    co_await Reply(200, "EPRT command successful.");
}

asio::awaitable<bool> TFtpSession::PrepareData() {
    if (dataMode_ != DataMode::None) co_return true;
    co_await Reply(425, "Use PORT or PASV first.");
    co_return false;
}

// A passive connection is taken only from the client's own address. A stop
// of the server while waiting ends the session.
asio::awaitable<bool> TFtpSession::OpenData(tcp::socket& data) {
    bool made = false;
    if (dataMode_ == DataMode::Passive) {
        using clock = std::chrono::steady_clock;
        const auto deadline = clock::now() + std::chrono::milliseconds(limits_.DataConnectTimeoutMs);
        for (;;) {
            const int left = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count());
            if (left <= 0) break;
            tcp::socket s(net_->Strand());
            TNetResult r = co_await net_->Accept(*pasv_, s, left);
            if (!r.Ok()) break;
            asio::error_code ec;
            auto from = s.remote_endpoint(ec);
            if (!ec && AllowedActiveTarget(net_->PeerIp(), from.address(), 1024)) {
                data = std::move(s);
                made = true;
                break;
            }
            s.close(ec);
        }
    } else {
        const int dp = srv_.DefaultDataPort;
        const auto src = static_cast<unsigned short>(dp > 0 && dp < 65536 ? dp : 0);
        asio::error_code ec;
        data.open(activeEndpoint_.protocol(), ec);
        if (!ec) data.set_option(asio::socket_base::reuse_address(true), ec);
        if (!ec) {
            data.bind(tcp::endpoint(net_->LocalIp(), src), ec);
            if (ec && src != 0) {
                ec.clear();
                data.bind(tcp::endpoint(net_->LocalIp(), 0), ec);
            }
        }
        if (!ec) made = (co_await net_->Connect(data, activeEndpoint_, limits_.DataConnectTimeoutMs)).Ok();
    }
    ResetData();
    if (net_->Closed()) throw TControlLost();
    co_return made;
}

// ---------------------------------------------------------------------------
// Transfers

asio::awaitable<void> TFtpSession::CmdList(const std::string& arg) {
    if (!co_await PrepareData()) co_return;
    // Options such as "-la" are accepted and ignored.
    std::string a = TrimBlanks(arg);
    while (!a.empty() && a[0] == '-') {
        size_t sp = a.find(' ');
        a = sp == std::string::npos ? std::string() : TrimBlanks(a.substr(sp));
    }
    const std::string path = a.empty() ? ctx_.CurrentDirectory : ResolveVirtual(ctx_.CurrentDirectory, a);
    std::vector<std::string> lines;
    if (srv_.OnListDirectory && !co_await Event([&] { srv_.OnListDirectory(ctx_, path, lines); })) lines.clear();
    co_await Reply(150, "Opening data connection for directory list.");
    tcp::socket data(net_->Strand());
    auto attached = net_->Attach([&data] {
        asio::error_code ignored;
        data.close(ignored);
    });
    if (!co_await OpenData(data)) co_return co_await Reply(425, "Can't open data connection.");
    std::string out;
    for (const auto& l : lines) out += l + kCrLf;
    if (!out.empty()) {
        TNetResult r = co_await net_->WriteAll(data, out.data(), out.size(), limits_.DataIdleTimeoutMs);
        if (net_->Closed()) throw TControlLost();
        if (!r.Ok()) {
            asio::error_code ec;
            data.close(ec);
            co_return co_await Reply(426, "Connection closed; transfer aborted.");
        }
    }
    asio::error_code ec;
    data.shutdown(tcp::socket::shutdown_both, ec);
    data.close(ec);
    co_await Reply(226, "Transfer complete.");
}

asio::awaitable<void> TFtpSession::CmdStor(const std::string& arg) { co_await Store(arg, false); }

asio::awaitable<void> TFtpSession::CmdAppe(const std::string& arg) { co_await Store(arg, true); }

asio::awaitable<void> TFtpSession::Store(const std::string& arg, bool append) {
    if (arg.empty()) co_return co_await Reply(501, kSyntaxError);
    if (!co_await PrepareData()) co_return;
    std::unique_ptr<TStream> target;
    if (srv_.OnStoreFile && !co_await Event([&] { target = srv_.OnStoreFile(ctx_, arg, append); })) target.reset();
    if (!target) {
        ResetData();
        co_return co_await Reply(550, "Requested action not taken. File unavailable.");
    }
    co_await Reply(150, "Opening data connection.");
    tcp::socket data(net_->Strand());
    auto attached = net_->Attach([&data] {
        asio::error_code ignored;
        data.close(ignored);
    });
    if (!co_await OpenData(data)) {
        co_await Event([&] { target.reset(); });
        co_return co_await Reply(425, "Can't open data connection.");
    }
    asio::error_code ec;
    data.non_blocking(true, ec);

    std::vector<char> buf(1024 * 1024);
    int failure = 0;  // 0 complete, 426 connection trouble, 451 local error
    for (bool end = false; !end;) {
        TNetResult r = co_await net_->ReadSome(data, buf.data(), buf.size(), limits_.DataIdleTimeoutMs);
        if (net_->Closed()) throw TControlLost();
        if (!r.Ok()) {
            if (r.Error != asio::error::eof) failure = 426;
            break;
        }
        size_t got = r.Bytes;
        // Take what else has arrived already, so that the file gets large
        // writes.
        while (got < buf.size()) {
            const size_t more = data.read_some(asio::buffer(buf.data() + got, buf.size() - got), ec);
            if (ec == asio::error::eof) {
                end = true;
                break;
            }
            if (ec) break;  // nothing more now; a real failure shows at the next wait
            got += more;
        }
        if (!co_await Event([&] { target->WriteBuffer(buf.data(), static_cast<int64_t>(got)); })) {
            failure = 451;
            break;
        }
    }
    data.close(ec);
    // Closes the file.
    if (!co_await Event([&] { target.reset(); }) && !failure) failure = 451;
    target.reset();
    if (failure == 426) co_return co_await Reply(426, "Connection closed; transfer aborted.");
    if (failure == 451) co_return co_await Reply(451, "Requested action aborted: local error in processing.");
    co_await Reply(226, "Transfer complete.");
}

#include "replication/ftp/ftp_server.h"

#include <algorithm>
#include <cctype>
#include <list>
#include <thread>

#include <poll.h>

#include "core/exceptions.h"
#include "replication/ftp/ftp_io.h"

using asio::ip::tcp;

// ---------------------------------------------------------------------------
// User manager

void TFtpUserManager::Clear() {
    std::lock_guard<std::mutex> g(lock_);
    accounts_.clear();
}

void TFtpUserManager::AddUser(const TFtpUserAccount& account) {
    std::lock_guard<std::mutex> g(lock_);
    accounts_.push_back(account);
}

static bool SameBytes(const std::string& a, const std::string& b) {
    // Compares every byte whatever the first difference, so that the time
    // taken tells nothing of where a guess went wrong.
    unsigned diff = static_cast<unsigned>(a.size() ^ b.size());
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

bool TFtpUserManager::AuthenticateUser(const std::string& userName, const std::string& password) const {
    std::lock_guard<std::mutex> g(lock_);
    for (const auto& a : accounts_)
        if (a.UserName == userName) return !a.Password.empty() && SameBytes(a.Password, password);
    return false;
}

bool TFtpUserManager::FindUser(const std::string& userName, TFtpUserAccount& account) const {
    std::lock_guard<std::mutex> g(lock_);
    for (const auto& a : accounts_)
        if (a.UserName == userName) {
            account = a;
            return true;
        }
    return false;
}

size_t TFtpUserManager::Count() const {
    std::lock_guard<std::mutex> g(lock_);
    return accounts_.size();
}

std::vector<TFtpUserAccount> TFtpUserManager::Accounts() const {
    std::lock_guard<std::mutex> g(lock_);
    return accounts_;
}

// ---------------------------------------------------------------------------
// Server state

struct TFtpServer::Impl {
    explicit Impl(TFtpServer& o) : owner(o) {}

    struct Slot {
        std::thread thread;
        std::atomic<bool> done{false};
    };

    TFtpServer& owner;
    asio::io_context io;
    std::unique_ptr<tcp::acceptor> acceptor;
    std::unique_ptr<TStopSignal> stop;
    std::thread listener;
    std::atomic<bool> active{false};
    std::atomic<int> boundPort{0};
    std::mutex activeLock;  // one activation or deactivation at a time

    std::mutex slotsLock;
    std::list<std::unique_ptr<Slot>> slots;
    std::atomic<int> sessionCount{0};
    std::atomic<uint64_t> nextSessionId{1};

    void Listen();
    void ReapFinished(bool all);
};

namespace {

const char* const kCrLf = "\r\n";

// Splits "CMD argument": the verb upper-cased, the argument as sent (only
// the single blank after the verb is dropped).
void SplitCommand(const std::string& line, std::string& verb, std::string& arg) {
    size_t sp = line.find(' ');
    verb = line.substr(0, sp);
    for (auto& c : verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    arg = sp == std::string::npos ? std::string() : line.substr(sp + 1);
}

std::string TrimBlanks(const std::string& s) {
    size_t b = s.find_first_not_of(' ');
    if (b == std::string::npos) return std::string();
    size_t e = s.find_last_not_of(' ');
    return s.substr(b, e - b + 1);
}

std::string UpperAscii(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// A virtual directory path: arg taken relative to current unless it starts
// with a separator; "." and ".." resolved, never above "/".
std::string ResolveVirtual(const std::string& current, const std::string& arg) {
    std::vector<std::string> parts;
    auto push = [&](const std::string& path) {
        std::string piece;
        for (size_t i = 0; i <= path.size(); ++i) {
            if (i == path.size() || path[i] == '/' || path[i] == '\\') {
                if (piece == "..") {
                    if (!parts.empty()) parts.pop_back();
                } else if (!piece.empty() && piece != ".") {
                    parts.push_back(piece);
                }
                piece.clear();
            } else {
                piece += path[i];
            }
        }
    };
    if (arg.empty() || (arg[0] != '/' && arg[0] != '\\')) push(current);
    push(arg);
    std::string out;
    for (const auto& p : parts) out += "/" + p;
    return out.empty() ? "/" : out;
}

std::string QuotePath(const std::string& path) {
    std::string out;
    for (char c : path) {
        out += c;
        if (c == '"') out += '"';
    }
    return out;
}

class TSession {
public:
    TSession(TFtpServer::Impl& srv, tcp::socket socket, uint64_t id)
        : srv_(srv), limits_(srv.owner.Limits), ctrl_(std::move(socket)), stop_(*srv.stop) {
        ctx_.SessionId = id;
        asio::error_code ec;
        auto peer = ctrl_.remote_endpoint(ec);
        if (!ec) {
            peerAddress_ = peer.address();
            ctx_.PeerIP = peerAddress_.to_string();
        }
        auto local = ctrl_.local_endpoint(ec);
        if (!ec) localAddress_ = local.address();
        ctx_.CurrentDirectory = "/";
        ctrl_.non_blocking(true, ec);
    }

    void Run();

private:
    enum class DataMode { None, Passive, Active };

    // Control connection
    bool ReadLine(std::string& line);
    void Reply(int code, const std::string& text);
    void RawReply(const std::string& text);
    void Dispatch(const std::string& verb, const std::string& arg);

    // Commands
    void CmdUser(const std::string& arg);
    void CmdPass(const std::string& arg);
    void CmdCwd(const std::string& arg);
    void CmdType(const std::string& arg);
    void CmdPasv(bool extended, const std::string& arg);
    void CmdPort(const std::string& arg);
    void CmdEprt(const std::string& arg);
    void CmdList(const std::string& arg, bool namesOnly);
    void CmdStore(const std::string& arg, bool append);
    void CmdSize(const std::string& arg);

    // Data connection
    bool PrepareData();  // replies 425 when no data connection was set up
    bool OpenData(tcp::socket& data);
    void ResetData();
    void ReportException(const std::string& message);

    TFtpServer::Impl& srv_;
    const TFtpServerLimits& limits_;
    tcp::socket ctrl_;
    TStopSignal& stop_;
    TFtpSessionContext ctx_;
    asio::ip::address peerAddress_;
    asio::ip::address localAddress_;

    std::string inbuf_;
    std::string pendingUser_;
    bool userGiven_ = false;
    bool loggedIn_ = false;
    int failedLogins_ = 0;
    bool epsvAll_ = false;
    bool quit_ = false;

    DataMode dataMode_ = DataMode::None;
    std::unique_ptr<tcp::acceptor> pasv_;
    tcp::endpoint activeEndpoint_;
};

void TSession::ReportException(const std::string& message) {
    if (srv_.owner.OnException) {
        try {
            srv_.owner.OnException(ctx_, message);
        } catch (...) {
        }
    }
}

void TSession::RawReply(const std::string& text) {
    TimedWriteAll(ctrl_, text.data(), text.size(), limits_.ControlIdleTimeoutMs, stop_);
}

void TSession::Reply(int code, const std::string& text) {
    RawReply(std::to_string(code) + " " + text + kCrLf);
}

// One command line without its line end. Telnet commands are dropped and
// a doubled 0xFF is one 0xFF byte. False at the client's end.
bool TSession::ReadLine(std::string& line) {
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
                        ++i;     // interrupt, data mark and the like
                    }
                    continue;
                }
                line += static_cast<char>(c);
            }
            if (tooLong) {
                Reply(500, "Command line too long.");
                line.clear();
                tooLong = false;
                scan = 0;
                continue;
            }
            return true;
        }
        if (static_cast<int>(inbuf_.size()) > limits_.MaxCommandLine) {
            tooLong = true;  // the rest of this line is read and thrown away
            inbuf_.clear();
        }
        scan = inbuf_.size();
        char buf[2048];
        size_t got = TimedReadSome(ctrl_, buf, sizeof buf, limits_.ControlIdleTimeoutMs, stop_);
        if (got == 0) return false;
        inbuf_.append(buf, got);
    }
}

void TSession::Run() {
    if (srv_.owner.OnConnect) {
        try {
            srv_.owner.OnConnect(ctx_);
        } catch (const std::exception& e) {
            ReportException(e.what());
        }
    }
    try {
        Reply(220, srv_.owner.Greeting);
        std::string line;
        while (!quit_) {
            if (!ReadLine(line)) break;
            std::string verb, arg;
            SplitCommand(line, verb, arg);
            if (verb.empty()) continue;
            Dispatch(verb, arg);
        }
    } catch (const EFtpIo& e) {
        if (e.kind() == EFtpIo::TimedOut) {
            try {
                asio::error_code ec;
                std::string bye = "421 Timeout.\r\n";
                ctrl_.write_some(asio::buffer(bye), ec);
            } catch (...) {
            }
        } else if (e.kind() == EFtpIo::Failed) {
            ReportException(e.what());
        }
    } catch (const std::exception& e) {
        ReportException(e.what());
    }
    ResetData();
    asio::error_code ec;
    ctrl_.shutdown(tcp::socket::shutdown_both, ec);
    ctrl_.close(ec);
    if (srv_.owner.OnDisconnect) {
        try {
            srv_.owner.OnDisconnect(ctx_);
        } catch (const std::exception& e) {
            ReportException(e.what());
        }
    }
}

void TSession::Dispatch(const std::string& verb, const std::string& arg) {
    // Commands allowed before login.
    if (verb == "USER") return CmdUser(arg);
    if (verb == "PASS") return CmdPass(arg);
    if (verb == "QUIT") {
        Reply(221, "Goodbye.");
        quit_ = true;
        return;
    }
    if (verb == "NOOP") return Reply(200, "NOOP command successful.");
    if (verb == "SYST") return Reply(215, srv_.owner.SystemType);
    if (verb == "FEAT") {
        return RawReply(std::string("211-Features:\r\n") + " EPRT\r\n EPSV\r\n PASV\r\n SIZE\r\n" + "211 End\r\n");
    }
    if (verb == "OPTS") {
        std::string a = UpperAscii(TrimBlanks(arg));
        if (a == "UTF8 ON" || a == "UTF8 OFF" || a == "UTF8" || a == "UTF-8 ON") return Reply(200, "OK.");
        return Reply(501, "Option not understood.");
    }

    static const char* const kLoggedInCommands[] = {"PWD", "XPWD", "CWD", "XCWD", "CDUP", "XCUP", "TYPE",
                                                     "MODE", "STRU", "PASV", "EPSV", "PORT", "EPRT", "LIST",
                                                     "NLST", "STOR", "APPE", "SIZE", "ALLO", "ABOR"};
    static const char* const kNotImplemented[] = {"RETR", "DELE", "RNFR", "RNTO", "MKD",  "XMKD", "RMD",
                                                  "XRMD", "REST", "MDTM", "STOU", "SITE", "SMNT", "REIN",
                                                  "STAT", "HELP", "ACCT", "AUTH", "PBSZ", "PROT", "CCC",
                                                  "MLSD", "MLST", "LANG", "ADAT", "MIC",  "CONF", "ENC"};
    for (const char* c : kNotImplemented)
        if (verb == c) return Reply(502, "Command not implemented.");
    bool known = false;
    for (const char* c : kLoggedInCommands)
        if (verb == c) known = true;
    if (!known) return Reply(500, srv_.owner.UnknownCommandReply);
    if (!loggedIn_) return Reply(530, "Please login with USER and PASS.");

    if (verb == "PWD" || verb == "XPWD")
        return Reply(257, "\"" + QuotePath(ctx_.CurrentDirectory) + "\" is current directory.");
    if (verb == "CWD" || verb == "XCWD") return CmdCwd(arg);
    if (verb == "CDUP" || verb == "XCUP") return CmdCwd("..");
    if (verb == "TYPE") return CmdType(arg);
    if (verb == "MODE") {
        if (UpperAscii(TrimBlanks(arg)) == "S") return Reply(200, "Mode set to S.");
        return Reply(504, "Command not implemented for that parameter.");
    }
    if (verb == "STRU") {
        if (UpperAscii(TrimBlanks(arg)) == "F") return Reply(200, "Structure set to F.");
        return Reply(504, "Command not implemented for that parameter.");
    }
    if (verb == "PASV") return CmdPasv(false, arg);
    if (verb == "EPSV") return CmdPasv(true, arg);
    if (verb == "PORT") return CmdPort(arg);
    if (verb == "EPRT") return CmdEprt(arg);
    if (verb == "LIST") return CmdList(arg, false);
    if (verb == "NLST") return CmdList(arg, true);
    if (verb == "STOR") return CmdStore(arg, false);
    if (verb == "APPE") return CmdStore(arg, true);
    if (verb == "SIZE") return CmdSize(arg);
    if (verb == "ALLO") return Reply(202, "ALLO command ignored.");
    if (verb == "ABOR") {
        ResetData();
        return Reply(225, "No transfer in progress.");
    }
    Reply(500, srv_.owner.UnknownCommandReply);
}

void TSession::CmdUser(const std::string& arg) {
    loggedIn_ = false;
    ctx_.UserName.clear();
    ctx_.HomeFolder.clear();
    ctx_.CurrentDirectory = "/";
    pendingUser_ = arg;
    userGiven_ = true;
    // The same answer for every name, known or not.
    Reply(331, "User name okay, need password.");
}

void TSession::CmdPass(const std::string& arg) {
    if (!userGiven_) return Reply(503, "Login with USER first.");
    userGiven_ = false;
    TFtpUserAccount account;
    bool ok = srv_.owner.UserManager && srv_.owner.UserManager->AuthenticateUser(pendingUser_, arg) &&
              srv_.owner.UserManager->FindUser(pendingUser_, account);
    if (!ok) {
        ++failedLogins_;
        Reply(530, "Login incorrect.");
        if (failedLogins_ >= limits_.MaxFailedLogins) {
            Reply(421, "Too many failed logins.");
            quit_ = true;
        }
        return;
    }
    loggedIn_ = true;
    ctx_.UserName = account.UserName;
    ctx_.HomeFolder = account.HomeFolder;
    ctx_.CurrentDirectory = "/";
    Reply(230, "User logged in, proceed.");
}

void TSession::CmdCwd(const std::string& arg) {
    if (arg.empty()) return Reply(501, "Syntax error in parameters or arguments.");
    std::string dir = ResolveVirtual(ctx_.CurrentDirectory, arg);
    if (srv_.owner.OnChangeDirectory) {
        try {
            srv_.owner.OnChangeDirectory(ctx_, dir);
        } catch (const std::exception& e) {
            ReportException(e.what());
            return Reply(550, "Requested action not taken.");
        }
    }
    ctx_.CurrentDirectory = dir.empty() ? "/" : dir;
    Reply(250, "CWD command successful.");
}

void TSession::CmdType(const std::string& arg) {
    // Bytes are stored as they arrive in either type: the server keeps no
    // text files, and an archive sent in the wrong type stays intact.
    std::string t = UpperAscii(TrimBlanks(arg));
    if (t == "A" || t == "A N") return Reply(200, "Type set to A.");
    if (t == "I" || t == "L 8") return Reply(200, "Type set to I.");
    if (t.empty()) return Reply(501, "Syntax error in parameters or arguments.");
    Reply(504, "Command not implemented for that parameter.");
}

void TSession::ResetData() {
    if (pasv_) {
        asio::error_code ec;
        pasv_->close(ec);
        pasv_.reset();
    }
    dataMode_ = DataMode::None;
}

void TSession::CmdPasv(bool extended, const std::string& arg) {
    std::string a = UpperAscii(TrimBlanks(arg));
    if (extended && a == "ALL") {
        epsvAll_ = true;
        return Reply(200, "EPSV ALL command successful.");
    }
    if (extended && !a.empty() && a != "1" && a != "2")
        return Reply(522, "Network protocol not supported, use (1,2)");
    if (!extended && epsvAll_) return Reply(501, "PASV not allowed after EPSV ALL.");
    if (!extended && !localAddress_.is_v4() &&
        !(localAddress_.is_v6() && localAddress_.to_v6().is_v4_mapped()))
        return Reply(425, "Cannot use PASV on this address, use EPSV.");
    ResetData();

    auto acceptor = std::make_unique<tcp::acceptor>(srv_.io);
    asio::error_code ec;
    tcp::endpoint ep(localAddress_, 0);
    acceptor->open(ep.protocol(), ec);
    if (ec) return Reply(425, "Can't open passive connection.");
    bool bound = false;
    int lo = limits_.PassivePortMin, hi = limits_.PassivePortMax;
    if (lo > 0 && hi >= lo) {
        int span = hi - lo + 1;
        int start = static_cast<int>(ctx_.SessionId * 7919 % static_cast<uint64_t>(span));
        for (int i = 0; i < span && !bound; ++i) {
            ep.port(static_cast<unsigned short>(lo + (start + i) % span));
            ec.clear();
            acceptor->bind(ep, ec);
            bound = !ec;
        }
    } else {
        acceptor->bind(ep, ec);
        bound = !ec;
    }
    if (!bound) return Reply(425, "Can't open passive connection.");
    acceptor->listen(1, ec);
    if (!ec) acceptor->non_blocking(true, ec);
    if (ec) return Reply(425, "Can't open passive connection.");
    unsigned port = acceptor->local_endpoint(ec).port();
    if (ec) return Reply(425, "Can't open passive connection.");
    pasv_ = std::move(acceptor);
    dataMode_ = DataMode::Passive;

    if (extended) return Reply(229, "Entering Extended Passive Mode (|||" + std::to_string(port) + "|)");
    auto v4 = localAddress_.is_v4() ? localAddress_.to_v4()
                                    : asio::ip::make_address_v4(asio::ip::v4_mapped, localAddress_.to_v6());
    auto b = v4.to_bytes();
    Reply(227, "Entering Passive Mode (" + std::to_string(b[0]) + "," + std::to_string(b[1]) + "," +
                   std::to_string(b[2]) + "," + std::to_string(b[3]) + "," + std::to_string(port >> 8) + "," +
                   std::to_string(port & 0xFF) + ").");
}

// Active mode may only connect back to the client that asked, and never to
// a privileged port: the server must not be made to open connections to
// third parties.
static bool AllowedActiveTarget(const asio::ip::address& peer, const asio::ip::address& target, unsigned port) {
    if (port < 1024) return false;
    auto norm = [](const asio::ip::address& a) -> asio::ip::address {
        if (a.is_v6() && a.to_v6().is_v4_mapped())
            return asio::ip::make_address_v4(asio::ip::v4_mapped, a.to_v6());
        return a;
    };
    return norm(peer) == norm(target);
}

void TSession::CmdPort(const std::string& arg) {
    if (epsvAll_) return Reply(501, "PORT not allowed after EPSV ALL.");
    unsigned v[6];
    int n = 0;
    std::string a = TrimBlanks(arg);
    size_t i = 0;
    while (n < 6) {
        if (i >= a.size() || !std::isdigit(static_cast<unsigned char>(a[i])))
            return Reply(501, "Syntax error in parameters or arguments.");
        unsigned x = 0;
        while (i < a.size() && std::isdigit(static_cast<unsigned char>(a[i])) && x <= 255) x = x * 10 + (a[i++] - '0');
        if (x > 255) return Reply(501, "Syntax error in parameters or arguments.");
        v[n++] = x;
        if (n < 6) {
            if (i >= a.size() || a[i] != ',') return Reply(501, "Syntax error in parameters or arguments.");
            ++i;
        }
    }
    if (i != a.size()) return Reply(501, "Syntax error in parameters or arguments.");
    asio::ip::address_v4 addr(asio::ip::address_v4::bytes_type{
        static_cast<unsigned char>(v[0]), static_cast<unsigned char>(v[1]), static_cast<unsigned char>(v[2]),
        static_cast<unsigned char>(v[3])});
    unsigned port = v[4] * 256 + v[5];
    if (!AllowedActiveTarget(peerAddress_, addr, port)) return Reply(500, "Illegal PORT command.");
    ResetData();
    activeEndpoint_ = tcp::endpoint(addr, static_cast<unsigned short>(port));
    dataMode_ = DataMode::Active;
    Reply(200, "PORT command successful.");
}

void TSession::CmdEprt(const std::string& arg) {
    if (epsvAll_) return Reply(501, "EPRT not allowed after EPSV ALL.");
    std::string a = TrimBlanks(arg);
    if (a.size() < 7) return Reply(501, "Syntax error in parameters or arguments.");
    char d = a[0];
    std::vector<std::string> f;
    size_t pos = 1;
    for (int k = 0; k < 3; ++k) {
        size_t e = a.find(d, pos);
        if (e == std::string::npos) return Reply(501, "Syntax error in parameters or arguments.");
        f.push_back(a.substr(pos, e - pos));
        pos = e + 1;
    }
    if (pos != a.size()) return Reply(501, "Syntax error in parameters or arguments.");
    if (f[0] != "1" && f[0] != "2") return Reply(522, "Network protocol not supported, use (1,2)");
    asio::error_code ec;
    auto addr = asio::ip::make_address(f[1], ec);
    if (ec || (f[0] == "1") != addr.is_v4()) return Reply(501, "Syntax error in parameters or arguments.");
    if (f[2].empty() || f[2].size() > 5 || f[2].find_first_not_of("0123456789") != std::string::npos)
        return Reply(501, "Syntax error in parameters or arguments.");
    unsigned port = static_cast<unsigned>(std::stoul(f[2]));
    if (port > 65535) return Reply(501, "Syntax error in parameters or arguments.");
    if (!AllowedActiveTarget(peerAddress_, addr, port)) return Reply(500, "Illegal EPRT command.");
    ResetData();
    activeEndpoint_ = tcp::endpoint(addr, static_cast<unsigned short>(port));
    dataMode_ = DataMode::Active;
    Reply(200, "EPRT command successful.");
}

bool TSession::PrepareData() {
    if (dataMode_ == DataMode::None) {
        Reply(425, "Use PORT or PASV first.");
        return false;
    }
    return true;
}

// Makes the data connection set up by PASV/EPSV or PORT/EPRT; a passive
// connection is taken only from the client's own address. False (no reply
// sent) when it could not be made.
bool TSession::OpenData(tcp::socket& data) {
    try {
        if (dataMode_ == DataMode::Passive) {
            using clock = std::chrono::steady_clock;
            auto deadline = clock::now() + std::chrono::milliseconds(limits_.DataConnectTimeoutMs);
            for (;;) {
                int left = static_cast<int>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count());
                if (left <= 0) throw EFtpIo(EFtpIo::TimedOut, "accept timed out");
                tcp::socket s(srv_.io);
                TimedAccept(*pasv_, s, left, stop_);
                asio::error_code ec;
                auto from = s.remote_endpoint(ec);
                if (!ec && AllowedActiveTarget(peerAddress_, from.address(), 1024)) {
                    data = std::move(s);
                    break;
                }
                s.close(ec);
            }
        } else {
            unsigned short src = static_cast<unsigned short>(
                srv_.owner.DefaultDataPort > 0 && srv_.owner.DefaultDataPort < 65536 ? srv_.owner.DefaultDataPort : 0);
            TimedConnect(data, tcp::endpoint(localAddress_, src), activeEndpoint_, limits_.DataConnectTimeoutMs, stop_);
        }
        asio::error_code ec;
        data.non_blocking(true, ec);
        ResetData();
        return true;
    } catch (const EFtpIo& e) {
        ResetData();
        if (e.kind() == EFtpIo::Stopped) throw;
        return false;
    }
}

void TSession::CmdList(const std::string& arg, bool namesOnly) {
    if (!PrepareData()) return;
    // Options such as "-la" are accepted and ignored.
    std::string a = TrimBlanks(arg);
    while (!a.empty() && a[0] == '-') {
        size_t sp = a.find(' ');
        a = sp == std::string::npos ? std::string() : TrimBlanks(a.substr(sp));
    }
    std::string path = a.empty() ? ctx_.CurrentDirectory : ResolveVirtual(ctx_.CurrentDirectory, a);
    std::vector<std::string> lines;
    if (srv_.owner.OnListDirectory) {
        try {
            srv_.owner.OnListDirectory(ctx_, path, lines);
        } catch (const std::exception& e) {
            ReportException(e.what());
            lines.clear();
        }
    }
    (void)namesOnly;
    Reply(150, "Opening data connection for directory list.");
    tcp::socket data(srv_.io);
    if (!OpenData(data)) return Reply(425, "Can't open data connection.");
    try {
        std::string out;
        for (const auto& l : lines) out += l + kCrLf;
        if (!out.empty()) TimedWriteAll(data, out.data(), out.size(), limits_.DataIdleTimeoutMs, stop_);
    } catch (const EFtpIo& e) {
        if (e.kind() == EFtpIo::Stopped) throw;
        asio::error_code ec;
        data.close(ec);
        return Reply(426, "Connection closed; transfer aborted.");
    }
    asio::error_code ec;
    data.shutdown(tcp::socket::shutdown_both, ec);
    data.close(ec);
    Reply(226, "Transfer complete.");
}

void TSession::CmdStore(const std::string& arg, bool append) {
    if (arg.empty()) return Reply(501, "Syntax error in parameters or arguments.");
    if (!PrepareData()) return;
    std::unique_ptr<TStream> target;
    if (srv_.owner.OnStoreFile) {
        try {
            target = srv_.owner.OnStoreFile(ctx_, arg, append);
        } catch (const std::exception& e) {
            ReportException(e.what());
            target.reset();
        }
    }
    if (!target) {
        ResetData();
        return Reply(550, "Requested action not taken. File unavailable.");
    }
    Reply(150, "Opening data connection.");
    tcp::socket data(srv_.io);
    if (!OpenData(data)) {
        target.reset();
        return Reply(425, "Can't open data connection.");
    }

    std::vector<char> buf(1024 * 1024);
    int failure = 0;  // 0 complete, 426 connection trouble, 451 local error
    try {
        bool end = false;
        while (!end) {
            size_t got = TimedReadSome(data, buf.data(), buf.size(), limits_.DataIdleTimeoutMs, stop_);
            if (got == 0) break;
            // Take what else has arrived already, so that the file gets
            // large writes.
            while (got < buf.size()) {
                asio::error_code ec;
                size_t more = data.read_some(asio::buffer(buf.data() + got, buf.size() - got), ec);
                if (ec == asio::error::eof) {
                    end = true;
                    break;
                }
                if (ec) break;  // nothing more now; a real failure shows at the next wait
                got += more;
            }
            try {
                target->WriteBuffer(buf.data(), static_cast<int64_t>(got));
            } catch (const std::exception& e) {
                ReportException(e.what());
                failure = 451;
                break;
            }
        }
    } catch (const EFtpIo& e) {
        if (e.kind() == EFtpIo::Stopped) throw;
        failure = 426;
    }
    asio::error_code ec;
    data.close(ec);
    try {
        target.reset();  // closes the file
    } catch (const std::exception& e) {
        ReportException(e.what());
        if (!failure) failure = 451;
    }
    if (failure == 426) return Reply(426, "Connection closed; transfer aborted.");
    if (failure == 451) return Reply(451, "Requested action aborted: local error in processing.");
    Reply(226, "Transfer complete.");
}

void TSession::CmdSize(const std::string& arg) {
    if (arg.empty()) return Reply(501, "Syntax error in parameters or arguments.");
    int64_t size = -1;
    if (srv_.owner.OnGetFileSize) {
        try {
            size = srv_.owner.OnGetFileSize(ctx_, arg);
        } catch (const std::exception& e) {
            ReportException(e.what());
            size = -1;
        }
    }
    if (size < 0) return Reply(550, "Could not get file size.");
    Reply(213, std::to_string(size));
}

}  // namespace

// ---------------------------------------------------------------------------
// Listener

void TFtpServer::Impl::ReapFinished(bool all) {
    std::list<std::unique_ptr<Slot>> finished;
    {
        std::lock_guard<std::mutex> g(slotsLock);
        for (auto it = slots.begin(); it != slots.end();) {
            if (all || (*it)->done) {
                finished.push_back(std::move(*it));
                it = slots.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& s : finished)
        if (s->thread.joinable()) s->thread.join();
}

void TFtpServer::Impl::Listen() {
    while (!stop->Raised()) {
        tcp::socket peer(io);
        try {
            TimedAccept(*acceptor, peer, -1, *stop);
        } catch (const EFtpIo& e) {
            if (e.kind() == EFtpIo::Stopped) break;
            // Out of descriptors or the like: wait a little, then go on.
            WaitForFd(stop->Fd(), POLLIN, 100, *stop);
            continue;
        }
        ReapFinished(false);
        if (sessionCount.load() >= owner.Limits.MaxSessions) {
            asio::error_code ec;
            peer.non_blocking(true, ec);
            std::string msg = "421 Too many connections, try again later.\r\n";
            peer.write_some(asio::buffer(msg), ec);
            peer.shutdown(tcp::socket::shutdown_both, ec);
            peer.close(ec);
            continue;
        }
        auto slot = std::make_unique<Slot>();
        Slot* raw = slot.get();
        uint64_t id = nextSessionId++;
        ++sessionCount;
        std::lock_guard<std::mutex> g(slotsLock);
        slots.push_back(std::move(slot));
        try {
            raw->thread = std::thread([this, raw, id, s = std::move(peer)]() mutable {
                try {
                    TSession session(*this, std::move(s), id);
                    session.Run();
                } catch (...) {
                }
                --sessionCount;
                raw->done = true;
            });
        } catch (const std::exception&) {
            // No thread to be had: the client is turned away (the socket
            // closes with the lambda that could not start).
            slots.pop_back();
            --sessionCount;
        }
    }
}

// ---------------------------------------------------------------------------
// TFtpServer

TFtpServer::TFtpServer() : impl_(std::make_unique<Impl>(*this)) {}

TFtpServer::~TFtpServer() {
    try {
        SetActive(false);
    } catch (...) {
    }
}

void TFtpServer::SetActive(bool active) {
    std::lock_guard<std::mutex> g(impl_->activeLock);
    if (active == impl_->active.load()) return;
    if (active) {
        auto acceptor = std::make_unique<tcp::acceptor>(impl_->io);
        asio::error_code ec;
        auto addr = asio::ip::make_address(BindAddress, ec);
        if (ec) throw EInOutError("Invalid bind address " + BindAddress);
        // A port outside the valid range would otherwise wrap to another one.
        if (DefaultPort < 0 || DefaultPort > 65535)
            throw EInOutError("Invalid port " + std::to_string(DefaultPort) + " for the FTP server");
        tcp::endpoint ep(addr, static_cast<unsigned short>(DefaultPort));
        acceptor->open(ep.protocol(), ec);
        if (!ec) acceptor->set_option(asio::socket_base::reuse_address(true), ec);
        if (!ec) acceptor->bind(ep, ec);
        if (!ec) acceptor->listen(32, ec);
        if (!ec) acceptor->non_blocking(true, ec);
        if (ec)
            throw EInOutError("Could not bind socket. Address and port are already in use or not available (" +
                              BindAddress + ":" + std::to_string(DefaultPort) + "): " + ec.message());
        impl_->boundPort = acceptor->local_endpoint(ec).port();
        impl_->acceptor = std::move(acceptor);
        impl_->stop = std::make_unique<TStopSignal>();
        impl_->active = true;
        impl_->listener = std::thread([this] { impl_->Listen(); });
    } else {
        impl_->stop->Raise();
        if (impl_->listener.joinable()) impl_->listener.join();
        impl_->ReapFinished(true);
        asio::error_code ec;
        impl_->acceptor->close(ec);
        impl_->acceptor.reset();
        impl_->stop.reset();
        impl_->boundPort = 0;
        impl_->active = false;
    }
}

bool TFtpServer::Active() const { return impl_->active.load(); }

int TFtpServer::BoundPort() const { return impl_->boundPort.load(); }

int TFtpServer::SessionCount() const { return impl_->sessionCount.load(); }

#include "replication/ftp/ftp_paths.h"

#include <cctype>
#include <vector>

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

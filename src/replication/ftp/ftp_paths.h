// Path resolution of the FTP server's virtual directories, and the small
// text helpers of its command lines.
#pragma once

#include <string>

// A virtual directory path: arg taken relative to current unless it starts
// with a separator ("/" or "\"); "." and ".." resolved, never above "/".
std::string ResolveVirtual(const std::string& current, const std::string& arg);
// A path inside a quoted reply: every '"' doubled.
std::string QuotePath(const std::string& path);
// Surrounding blanks removed.
std::string TrimBlanks(const std::string& s);
std::string UpperAscii(std::string s);

// An initialisation file of "[Section]" headers and "Key=Value" lines, read
// and written in the form of the server's configuration file:
// section and key names compare without regard to letter case (cp1251),
// values are trimmed and one pair of surrounding quotes is stripped,
// integers are decimal, "$" hexadecimal or "0x" hexadecimal. A missing file
// reads as empty and is created by the first write; every write goes to the
// file at once. New keys are appended to their section, lines end in CR LF
// and the bytes of names and values (cp1251) are kept as they are.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/exceptions.h"

VT_DECLARE_EXCEPTION(EIniFileException, Exception);

class TIniFile {
public:
    // Reads the file when it exists; no file is created here.
    explicit TIniFile(std::string fileName);
    ~TIniFile();
    TIniFile(const TIniFile&) = delete;
    TIniFile& operator=(const TIniFile&) = delete;

    const std::string& FileName() const { return fileName_; }

    // The value of Key, or Default when the section or the key is missing.
    // A key that is present with an empty value reads as the empty text.
    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& def) const;
    // The value as an integer; Default when missing or not a number.
    int32_t ReadInteger(const std::string& section, const std::string& key, int32_t def) const;
    bool SectionExists(const std::string& section) const;
    bool ValueExists(const std::string& section, const std::string& key) const;
    // Key names of a section in file order (empty when the section is missing).
    std::vector<std::string> ReadSection(const std::string& section) const;

    // Set the key (adding the section and the key when missing) and write
    // the file; raises EIniFileException "Unable to write to <file>" when the
    // file cannot be written.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int32_t value);

    // Set the key in memory only; the file is not touched.
    void SetString(const std::string& section, const std::string& key, const std::string& value);
    // The bytes a write puts in the file: what was read, with the keys set since.
    std::string Text() const;

private:
    struct Impl;
    std::string fileName_;
    std::unique_ptr<Impl> impl_;
    void Flush();
};

#include "nomsync/text_lines.h"

#include "core/stream.h"

std::string LinesToText(const TStringLines& lines) {
    std::string s;
    for (const auto& l : lines) {
        s += l;
        s += "\r\n";
    }
    return s;
}

TStringLines TextToLines(const std::string& text) {
    TStringLines lines;
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        size_t start = i;
        while (i < n && text[i] != '\r' && text[i] != '\n') ++i;
        lines.emplace_back(text, start, i - start);
        if (i < n && text[i] == '\r') ++i;
        if (i < n && text[i] == '\n') ++i;
    }
    return lines;
}

TStringLines LoadLinesFromFile(const std::string& path) {
    TFileStream f(path, FileMode::OpenRead);
    std::string bytes(static_cast<size_t>(f.Size()), '\0');
    if (!bytes.empty()) f.ReadBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
    return TextToLines(bytes);
}

void SaveLinesToFile(const TStringLines& lines, const std::string& path) {
    TFileStream f(path, FileMode::Create);
    std::string text = LinesToText(lines);
    if (!text.empty()) f.WriteBuffer(text.data(), static_cast<int64_t>(text.size()));
}

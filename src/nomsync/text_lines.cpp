#include "nomsync/text_lines.h"

#include "core/env/env_files.h"

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

TStringLines LoadLinesFromFile(TEnv& env, const std::string& path) { return TextToLines(ReadWholeFile(env, path)); }

void SaveLinesToFile(TEnv& env, const TStringLines& lines, const std::string& path) {
    WriteWholeFile(env, path, LinesToText(lines));
}

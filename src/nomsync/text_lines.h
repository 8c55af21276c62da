// Lists of text lines in the manner of a string list: the text of a list is
// its lines each followed by CR LF; a text is split at CR LF, CR or LF, and
// a line break at the very end makes no empty last line.
#pragma once

#include <string>
#include <vector>

class TEnv;

using TStringLines = std::vector<std::string>;

std::string LinesToText(const TStringLines& lines);
TStringLines TextToLines(const std::string& text);

// Reads a file's lines through the environment; raises EInOutError ("Cannot open file ...") when the
// file cannot be opened.
TStringLines LoadLinesFromFile(TEnv& env, const std::string& path);
// Writes the lines (each with CR LF), replacing an existing file; raises
// EInOutError when the file cannot be created.
void SaveLinesToFile(TEnv& env, const TStringLines& lines, const std::string& path);

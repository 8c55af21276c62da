// Messages the process prints for whoever started it from a terminal.
#pragma once

#include <cstdio>
#include <string>

// Writes a cp1251 text as UTF-8 and a line end to F, at once.
void WriteOut(FILE* f, const std::string& cp1251Text);

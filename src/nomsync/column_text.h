// Texts of a catalogue object's wire record that go into a column of fixed
// width. The database server would cut an over-long text without a word;
// a record that carries one is refused instead, before anything is stored.
#pragma once

#include <cstddef>
#include <string>

// text itself when it has at most maxLen characters; otherwise raises
// EReadError naming the class and the column.
std::string ColumnText(std::string text, size_t maxLen, const char* className, const char* column);

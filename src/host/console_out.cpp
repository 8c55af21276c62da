#include "host/console_out.h"

#include "core/cp1251.h"

void WriteOut(FILE* f, const std::string& cp1251Text) {
    std::string text = Cp1251ToUtf8(cp1251Text) + "\n";
    std::fwrite(text.data(), 1, text.size(), f);
    std::fflush(f);
}

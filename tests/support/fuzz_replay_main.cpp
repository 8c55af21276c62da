// Driver for the fuzz targets where libFuzzer is not available (g++ builds):
// runs every file of the given corpus folders, then mutated copies of them,
// until -runs inputs or -max_total_time seconds have passed. Accepts the same
// options libFuzzer is given by the test set-up, so both run alike.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void Run(const std::string& s) { LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

std::string Mutate(std::string s, std::mt19937& rng) {
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < edits; ++i) {
        switch (rng() % 5) {
            case 0:   // flip a byte
                if (!s.empty()) s[rng() % s.size()] = static_cast<char>(rng());
                break;
            case 1:   // cut
                if (!s.empty()) s.resize(rng() % s.size());
                break;
            case 2:   // insert
                s.insert(s.begin() + static_cast<long>(s.empty() ? 0 : rng() % s.size()), static_cast<char>(rng()));
                break;
            case 3:   // a boundary value somewhere
                if (s.size() >= 4) {
                    const uint32_t vals[] = {0xFFFFFFFFu, 0x7FFFFFFFu, 0x80000000u, 0, 1, 255, 256};
                    const uint32_t v = vals[rng() % 7];
                    const size_t at = rng() % (s.size() - 3);
                    for (int k = 0; k < 4; ++k) s[at + k] = static_cast<char>(v >> (8 * k));
                }
                break;
            default:   // duplicate a slice
                if (!s.empty()) {
                    const size_t a = rng() % s.size();
                    const size_t n = std::min<size_t>(s.size() - a, 1 + rng() % 16);
                    s.insert(rng() % s.size(), s.substr(a, n));
                }
        }
    }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    long maxRuns = 200000;
    double maxSeconds = 3;
    std::vector<std::string> inputs;
    auto add = [&](const std::filesystem::path& p) {
        std::ifstream f(p, std::ios::binary);
        inputs.emplace_back(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    };
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("-runs=", 0) == 0) {
            maxRuns = std::atol(a.c_str() + 6);
        } else if (a.rfind("-max_total_time=", 0) == 0) {
            maxSeconds = std::atof(a.c_str() + 16);
        } else if (std::filesystem::is_directory(a)) {  // other libFuzzer options do not apply here
            for (const auto& e : std::filesystem::directory_iterator(a))
                if (e.is_regular_file()) add(e.path());
        } else if (std::filesystem::is_regular_file(a)) {
            add(a);
        }
    }
    Run("");
    for (const auto& s : inputs) Run(s);
    if (inputs.empty()) inputs.push_back(std::string());
    std::mt19937 rng(12345);
    const auto start = std::chrono::steady_clock::now();
    long runs = 0;
    while (runs < maxRuns &&
           std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() < maxSeconds) {
        Run(Mutate(inputs[rng() % inputs.size()], rng));
        ++runs;
    }
    std::printf("replayed %zu inputs and %ld mutations\n", inputs.size(), runs);
    return 0;
}

// Benchmark of the in-memory table: sorting a million records on an Integer
// and on a String field (beside std::stable_sort of the same keys), locating
// keys by binary and by linear search, and saving and loading the table in
// the binary and the CSV form. The linear search reads half the table per
// key, so it times a share of the keys and prints the figure scaled to all
// of them as an estimate.
//
//   bench_memtable [records (1000000)] [locate-keys (100000)]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "memtable/memtable.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

void Report(const char* what, double seconds, long count = 0) {
    if (count > 0)
        std::printf("%-52s %9.3f s  (%8.3f us each)\n", what, seconds, seconds * 1e6 / static_cast<double>(count));
    else
        std::printf("%-52s %9.3f s\n", what, seconds);
}

}  // namespace

int main(int argc, char** argv) {
    const int records = argc > 1 ? std::atoi(argv[1]) : 1000000;
    const int keys = argc > 2 ? std::atoi(argv[2]) : 100000;
    std::mt19937 rng(20240601);
    std::vector<int32_t> ints(static_cast<size_t>(records));
    std::vector<std::string> strs(static_cast<size_t>(records));
    for (int i = 0; i < records; ++i) {
        ints[static_cast<size_t>(i)] = static_cast<int32_t>(rng() % 1000000000);
        std::string s(8, ' ');
        for (char& c : s) c = static_cast<char>('A' + rng() % 26);
        strs[static_cast<size_t>(i)] = s;
    }

    TNVMemTable t;
    t.FieldDefs().Add("K", TFieldType::ftInteger);
    t.FieldDefs().Add("S", TFieldType::ftString, 10);
    t.CreateTable();
    t.Open();
    TBufferField& k = t.FieldByName("K");
    TBufferField& s = t.FieldByName("S");
    std::printf("in-memory table: %d records, %d locate keys\n", records, keys);

    auto start = Clock::now();
    t.DisableControls();
    for (int i = 0; i < records; ++i) {
        t.Append();
        k.SetAsInteger(ints[static_cast<size_t>(i)]);
        s.SetAsString(strs[static_cast<size_t>(i)]);
        t.Post();
    }
    t.EnableControls();
    Report("fill by Append/Post", Seconds(start), records);

    start = Clock::now();
    t.SortOn("K", 0);
    Report("SortOn Integer field", Seconds(start));
    {
        std::vector<std::pair<int32_t, int>> v;
        v.reserve(ints.size());
        for (size_t i = 0; i < ints.size(); ++i) v.emplace_back(ints[i], static_cast<int>(i));
        start = Clock::now();
        std::stable_sort(v.begin(), v.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
        Report("std::stable_sort of the same Integer keys", Seconds(start));
    }

    start = Clock::now();
    t.SortOn("S", 0);
    Report("SortOn String field", Seconds(start));
    {
        std::vector<std::string> v = strs;
        start = Clock::now();
        std::stable_sort(v.begin(), v.end());
        Report("std::stable_sort of the same String keys", Seconds(start));
    }

    t.SetDoBinaryLocate(true);
    t.SortOn("K", 0);
    std::vector<int32_t> probe(static_cast<size_t>(keys));
    for (auto& p : probe) p = ints[rng() % ints.size()];
    int found = 0;
    start = Clock::now();
    for (int32_t p : probe) found += t.Locate("K", Variant(p), 0);
    Report("Locate by binary search", Seconds(start), keys);
    if (found != keys) std::printf("  (found %d of %d)\n", found, keys);

    // The linear scan reads half the table per key on average; a share of
    // the keys stands for the whole set.
    t.SetDoBinaryLocate(false);
    const int linearKeys = std::max(1, std::min(keys, static_cast<int>(2000000000LL / std::max(records, 1) / 200)));
    found = 0;
    start = Clock::now();
    for (int i = 0; i < linearKeys; ++i) found += t.Locate("K", Variant(probe[static_cast<size_t>(i)]), 0);
    double linear = Seconds(start);
    Report("Locate by linear scan (measured keys)", linear, linearKeys);
    std::printf("%-52s %9.3f s  (estimated for %d keys)\n", "Locate by linear scan", linear / linearKeys * keys, keys);

    for (bool binary : {true, false}) {
        TMemoryStream out;
        start = Clock::now();
        if (binary) t.SaveToBinaryStream(out, mtfSaveData | mtfSaveDef);
        else t.SaveToStream(out, mtfSaveData | mtfSaveDef);
        Report(binary ? "SaveToBinaryStream" : "SaveToStream (CSV)", Seconds(start));
        std::printf("  %.1f MB\n", static_cast<double>(out.Size()) / 1e6);
        TNVMemTable u;
        out.SetPosition(0);
        start = Clock::now();
        if (binary) u.LoadFromBinaryStream(out);
        else u.LoadFromStream(out);
        Report(binary ? "LoadFromBinaryStream" : "LoadFromStream (CSV)", Seconds(start));
        if (u.RecordCount() != records) std::printf("  (loaded %d records)\n", u.RecordCount());
    }
    return 0;
}

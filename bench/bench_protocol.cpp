// Throughput of the component-stream codec for a catalogue answer carrying a
// 64 KiB Data block: encoding and decoding, in MB/s of encoded bytes.
#include <benchmark/benchmark.h>

#include <random>

#include "protocol/component_stream.h"
#include "protocol/customer_info.h"
#include "protocol/pharm_classes.h"

namespace {

std::unique_ptr<TPharmServerNomActualizationResult> MakeResult() {
    auto r = std::make_unique<TPharmServerNomActualizationResult>();
    r->TransferSuccessful = true;
    r->RequestProceeded = true;
    r->ActionRequestID = 123456;
    r->NomObjectType = TNomObjectType::notArticle;
    r->NomKey = 98765;
    r->CentralSyncAction = TCentralSyncAction::csaDataReceiving;
    r->NomCheckReason = TNomCheckReason::ncrUpdate;
    SetResultCustomerAuthorized(*r, true);
    std::string data(64 * 1024, '\0');
    std::mt19937 rng(3);
    for (char& c : data) c = static_cast<char>(rng());
    r->Data.Bytes() = std::move(data);
    r->PacketSize = r->Data.Size();
    return r;
}

void BM_EncodeNomActualizationResult(benchmark::State& state) {
    auto r = MakeResult();
    TMemoryStream ms;
    for (auto _ : state) {
        WritePharmComponent(ms, *r);
        benchmark::DoNotOptimize(ms.Bytes().data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * ms.Size());
}

void BM_DecodeNomActualizationResult(benchmark::State& state) {
    auto r = MakeResult();
    TMemoryStream ms;
    WritePharmComponent(ms, *r);
    for (auto _ : state) {
        auto obj = ReadPharmComponent(ms);
        benchmark::DoNotOptimize(obj.get());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * ms.Size());
}

}  // namespace

BENCHMARK(BM_EncodeNomActualizationResult);
BENCHMARK(BM_DecodeNomActualizationResult);
BENCHMARK_MAIN();

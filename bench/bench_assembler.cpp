// Reassembly throughput: whole messages cut out of a stream that arrives in
// random fragments, each beside a plain copy of the same fragments so that the
// figures read as a ratio to memcpy on the same machine.
//
//   BM_Assemble_Small / BM_Memcpy_Small: 100-byte records (marker, header and
//   20 payload bytes) in fragments of 1..400 bytes; target >= 5 M msg/s.
//   BM_Assemble_Large / BM_Memcpy_Large: 1 MiB messages in fragments of
//   1..128 KiB; target >= 2 GB/s.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "client/allocator.h"
#include "session/assembler.h"
#include "session/message.h"

namespace {

using namespace tarvik;

struct Workload {
    std::vector<uint8_t> stream;
    std::vector<int32_t> fragments;  // sizes, summing to stream.size()
    int64_t messages = 0;
};

Workload MakeWorkload(uint32_t payloadLength, int64_t messages, int32_t maxFragment) {
    Workload w;
    w.messages = messages;
    std::vector<uint8_t> payload(payloadLength, 0x5A);
    for (int64_t i = 0; i < messages; ++i) {
        uint8_t* block = nullptr;
        size_t size = 0;
        if (!BuildMessage(CMD_HEARTBEAT_DATA, 0, 9, 0, static_cast<int32_t>(i), payload.data(),
                          payloadLength, &block, &size)) {
            std::abort();
        }
        uint8_t marker[kMarkerSize];
        WriteMarker(marker, static_cast<int32_t>(kMarkerSize + size), MARKER_MESSAGE);
        w.stream.insert(w.stream.end(), marker, marker + kMarkerSize);
        w.stream.insert(w.stream.end(), block, block + size);
        MemFree(block);
    }
    std::mt19937 rng(20240611u);
    std::uniform_int_distribution<int32_t> dist(1, maxFragment);
    size_t left = w.stream.size();
    while (left > 0) {
        size_t n = static_cast<size_t>(dist(rng));
        if (n > left) {
            n = left;
        }
        w.fragments.push_back(static_cast<int32_t>(n));
        left -= n;
    }
    return w;
}

const Workload& Small() {
    static const Workload w = MakeWorkload(20, 20000, 400);
    return w;
}

const Workload& Large() {
    static const Workload w = MakeWorkload((1u << 20) - kHeaderSize, 32, 128 * 1024);
    return w;
}

class ValidatingSink : public IRecordSink {
  public:
    void HandleRecord(const uint8_t* record, int32_t totalLength) override {
        if (IsValidMessage(record + kMarkerSize, static_cast<size_t>(totalLength) - kMarkerSize)) {
            ++valid;
        }
    }
    void StampActivity() override { ++stamps; }
    int64_t valid = 0;
    int64_t stamps = 0;
};

void RunAssemble(benchmark::State& state, const Workload& w) {
    CAssembler assembler;
    ValidatingSink sink;
    for (auto _ : state) {
        const uint8_t* p = w.stream.data();
        for (int32_t n : w.fragments) {
            assembler.AssembleMessages(p, n, sink);
            p += n;
        }
    }
    if (sink.valid != w.messages * static_cast<int64_t>(state.iterations())) {
        state.SkipWithError("messages lost");
    }
    state.SetItemsProcessed(w.messages * static_cast<int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<int64_t>(w.stream.size()) *
                            static_cast<int64_t>(state.iterations()));
}

void RunMemcpy(benchmark::State& state, const Workload& w) {
    std::vector<uint8_t> dst(w.stream.size());
    for (auto _ : state) {
        const uint8_t* p = w.stream.data();
        uint8_t* q = dst.data();
        for (int32_t n : w.fragments) {
            std::memcpy(q, p, static_cast<size_t>(n));
            p += n;
            q += n;
        }
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(w.messages * static_cast<int64_t>(state.iterations()));
    state.SetBytesProcessed(static_cast<int64_t>(w.stream.size()) *
                            static_cast<int64_t>(state.iterations()));
}

void BM_Assemble_Small(benchmark::State& state) {
    RunAssemble(state, Small());
}
void BM_Memcpy_Small(benchmark::State& state) {
    RunMemcpy(state, Small());
}
void BM_Assemble_Large(benchmark::State& state) {
    RunAssemble(state, Large());
}
void BM_Memcpy_Large(benchmark::State& state) {
    RunMemcpy(state, Large());
}

BENCHMARK(BM_Assemble_Small);
BENCHMARK(BM_Memcpy_Small);
BENCHMARK(BM_Assemble_Large);
BENCHMARK(BM_Memcpy_Large);

}  // namespace

BENCHMARK_MAIN();

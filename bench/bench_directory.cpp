// The point directory: building it from a large login reply, and resolving
// item names against it, beside plain baselines measured in the same run.
//
// Plant: 500,000 points of 10 types with 20 fields each (a body of about
// 14 MB). Targets: Build >= 5 million points/s, <= 100 bytes of directory
// per point.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "directory/point_directory.h"

namespace {

constexpr int32_t kPoints = 500000;
constexpr int32_t kTypes = 10;
constexpr int32_t kFields = 20;
constexpr int32_t kBatch = 4096;  // item names per look-up batch

void PutI32(std::vector<uint8_t>& b, int32_t v) {
    for (int i = 0; i < 4; ++i) {
        b.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i)));
    }
}
void PutName(std::vector<uint8_t>& b, const char* name, size_t width) {
    const size_t n = std::strlen(name);
    for (size_t i = 0; i < width; ++i) {
        b.push_back(i < n ? static_cast<uint8_t>(name[i]) : 0);
    }
}

std::string PointName(int32_t k) {
    char name[20];
    std::snprintf(name, sizeof(name), "Pt%07d", static_cast<int>(k));
    return name;
}
std::string FieldName(int32_t f) {
    char name[12];
    std::snprintf(name, sizeof(name), "Fld%02d", static_cast<int>(f));
    return name;
}
int32_t TypeIdOf(int32_t t) {
    return 1000 + t;
}
uint8_t FieldNoOf(int32_t f) {
    return static_cast<uint8_t>(f * 3);
}

const std::vector<uint8_t>& PlantBody() {
    static const std::vector<uint8_t> body = [] {
        std::vector<uint8_t> b;
        const int32_t typesSize = kTypes * (8 + 14 * kFields);
        PutI32(b, typesSize - 3);
        b.push_back(kTypes);
        b.push_back(0);
        for (int32_t t = 0; t < kTypes; ++t) {
            PutI32(b, TypeIdOf(t));
            PutI32(b, kFields);
            for (int32_t f = 0; f < kFields; ++f) {
                b.push_back(static_cast<uint8_t>(1 + f % 2));
                PutName(b, FieldName(f).c_str(), 12);
                b.push_back(FieldNoOf(f));
            }
        }
        PutI32(b, kPoints);
        for (int32_t k = 0; k < kPoints; ++k) {
            PutI32(b, k);
            PutI32(b, TypeIdOf(k % kTypes));
            PutName(b, PointName(k).c_str(), 20);
        }
        return b;
    }();
    return body;
}

// kBatch item names ("pt0123456.fld07", lower case) of random points, in
// 32-byte slots.
const std::vector<char>& ItemSlots() {
    static const std::vector<char> slots = [] {
        std::vector<char> s(static_cast<size_t>(kBatch) * 32, 0);
        std::mt19937 rng(7);
        for (int32_t i = 0; i < kBatch; ++i) {
            std::string item = PointName(static_cast<int32_t>(rng() % kPoints)) + "." +
                               FieldName(static_cast<int32_t>(rng() % kFields));
            std::transform(item.begin(), item.end(), item.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            std::memcpy(&s[static_cast<size_t>(i) * 32], item.data(), item.size());
        }
        return s;
    }();
    return slots;
}

void BM_Build(benchmark::State& state) {
    const std::vector<uint8_t>& body = PlantBody();
    tarvik::CPointDirectory dir;
    for (auto _ : state) {
        bool ok = dir.Build(body.data(), body.size());
        benchmark::DoNotOptimize(ok);
    }
    state.SetItemsProcessed(state.iterations() * kPoints);
    state.counters["body_MB"] = static_cast<double>(body.size()) / 1e6;
    state.counters["bytes_per_point"] =
        static_cast<double>(dir.MemoryBytes()) / static_cast<double>(kPoints);
    state.counters["directory_MB"] = static_cast<double>(dir.MemoryBytes()) / 1e6;
}
BENCHMARK(BM_Build)->Unit(benchmark::kMillisecond);

// Baseline for the build: copying the body once (a memcpy of 14 MB).
void BM_BuildBaselineCopy(benchmark::State& state) {
    const std::vector<uint8_t>& body = PlantBody();
    std::vector<uint8_t> copy(body.size());
    for (auto _ : state) {
        std::memcpy(copy.data(), body.data(), body.size());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kPoints);
}
BENCHMARK(BM_BuildBaselineCopy)->Unit(benchmark::kMillisecond);

// Baseline for the build: the same names into std::unordered_map.
void BM_BuildBaselineUnorderedMap(benchmark::State& state) {
    const std::vector<uint8_t>& body = PlantBody();
    const size_t first = body.size() - static_cast<size_t>(kPoints) * 28;
    for (auto _ : state) {
        std::unordered_map<std::string, int32_t> names;
        names.reserve(kPoints);
        for (int32_t k = 0; k < kPoints; ++k) {
            const char* name = reinterpret_cast<const char*>(&body[first + 28u * k + 8]);
            std::string key(name, strnlen(name, 19));
            for (char& c : key) {
                c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            }
            names[key] = k;
        }
        benchmark::DoNotOptimize(names.size());
    }
    state.SetItemsProcessed(state.iterations() * kPoints);
}
BENCHMARK(BM_BuildBaselineUnorderedMap)->Unit(benchmark::kMillisecond);

const tarvik::CPointDirectory& Plant() {
    static tarvik::CPointDirectory* dir = [] {
        auto* d = new tarvik::CPointDirectory();
        const std::vector<uint8_t>& body = PlantBody();
        d->Build(body.data(), body.size());
        return d;
    }();
    return *dir;
}

void BM_ResolveItemNames(benchmark::State& state) {
    const tarvik::CPointDirectory& dir = Plant();
    const std::vector<char>& slots = ItemSlots();
    std::vector<int32_t> indexes(kBatch), fieldNos(kBatch);
    int32_t resolved = 0;
    for (auto _ : state) {
        resolved = dir.ResolveItemNames(kBatch, slots.data(), indexes.data(), fieldNos.data());
        benchmark::DoNotOptimize(resolved);
    }
    if (resolved != kBatch) {
        state.SkipWithError("not every name resolved");
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_ResolveItemNames);

// Baseline: the same look-ups through std::unordered_map<std::string, int>
// (an upper-cased std::string key for the point, "%d.%s" for the field).
void BM_ResolveBaselineUnorderedMap(benchmark::State& state) {
    std::unordered_map<std::string, int32_t> points;
    std::unordered_map<std::string, int32_t> fields;
    auto upper = [](std::string s) {
        for (char& c : s) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        return s;
    };
    points.reserve(kPoints);
    for (int32_t k = 0; k < kPoints; ++k) {
        points[upper(PointName(k))] = k;
    }
    for (int32_t t = 0; t < kTypes; ++t) {
        for (int32_t f = 0; f < kFields; ++f) {
            fields[std::to_string(TypeIdOf(t)) + "." + upper(FieldName(f))] = FieldNoOf(f);
        }
    }
    const std::vector<char>& slots = ItemSlots();
    std::vector<int32_t> indexes(kBatch), fieldNos(kBatch);
    for (auto _ : state) {
        for (int32_t i = 0; i < kBatch; ++i) {
            std::string item = upper(std::string(&slots[static_cast<size_t>(i) * 32]));
            const size_t dot = item.find('.');
            auto p = points.find(item.substr(0, dot));
            indexes[i] = p != points.end() ? p->second : -1;
            const int32_t typeId = TypeIdOf(indexes[i] % kTypes);
            auto f = fields.find(std::to_string(typeId) + "." + item.substr(dot + 1));
            fieldNos[i] = f != fields.end() ? f->second : -1;
        }
        benchmark::DoNotOptimize(fieldNos.data());
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_ResolveBaselineUnorderedMap);

// Baseline: only copying the 32-byte name slots.
void BM_ResolveBaselineCopy(benchmark::State& state) {
    const std::vector<char>& slots = ItemSlots();
    std::vector<char> out(slots.size());
    for (auto _ : state) {
        for (int32_t i = 0; i < kBatch; ++i) {
            std::memcpy(&out[static_cast<size_t>(i) * 32], &slots[static_cast<size_t>(i) * 32], 32);
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}
BENCHMARK(BM_ResolveBaselineCopy);

}  // namespace

BENCHMARK_MAIN();

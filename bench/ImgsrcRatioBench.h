// What the benchmarks that time a cheap imgsrc read against its picture read share: the loaded
// module, the workloads (made in the run, kept by pointer, so reserved before they are added)
// and a read of a DIB from memory.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "PluginModule.h"
#include "platform/platform.h"

namespace imgsrc_bench {

struct Workload {
    std::string name;
    std::vector<uint8_t> bytes;
    double limit;  // goal: cheap read / picture read
};

inline std::vector<Workload>& Workloads() {
    static std::vector<Workload> all;
    return all;
}

inline PluginModule& Imgsrc() {
    static PluginModule module;
    return module;
}

// Loads imgsrc from the build's plug-in folder; false (with a message) when it cannot.
inline bool LoadImgsrc() {
    std::string error;
    const std::string path =
        std::string(ZEM_BENCH_PLUGIN_DIR) + "/imgsrc" + platform::ModuleSuffix();
    if (Imgsrc().Load(path, error)) return true;
    std::fprintf(stderr, "cannot load %s: %s\n", path.c_str(), error.c_str());
    return false;
}

// Times `read` (GetPicture or GetPreview) of the workload's bytes from memory.
inline void ReadDib(benchmark::State& state, const Workload* w, GetPictureFn read,
                    const char* failed) {
    for (auto _ : state) {
        SpiHandle dib = nullptr;
        const int32_t r = read(reinterpret_cast<const char*>(w->bytes.data()),
                               static_cast<SpiLength>(w->bytes.size()), SPI_SRC_MEMORY, &dib,
                               nullptr, nullptr, 0);
        if (r != 0 || !dib) state.SkipWithError(failed);
        benchmark::DoNotOptimize(dib);
        platform::MemFree(dib);
    }
}

inline void Picture(benchmark::State& state, const Workload* w) {
    ReadDib(state, w, Imgsrc().GetPicture, "GetPicture failed");
}

inline void Preview(benchmark::State& state, const Workload* w) {
    ReadDib(state, w, Imgsrc().GetPreview, "GetPreview failed");
}

}  // namespace imgsrc_bench

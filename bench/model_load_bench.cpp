// Switching models: the load of Vexal64 from its archive (what
// Talvek_Setup_Speaker does on a cache miss) next to two yardsticks measured
// in the same run:
//   ReadAndParse        inflating the archive and parsing the JSON document,
//                       the floor of any load
//   ModelLoad           the whole load: archive, document, records, packing
//   ExpandPerPosition   what the packing step used to add on top: one column
//                       per driver position at every frequency (its size in MB)
// Models come from TALVEK_MODEL_DIR, else from ./models (the build folder).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "model/json.h"
#include "model/model_data.h"
#include "model/zip_reader.h"

namespace {

using namespace TalvekLib;

std::string archivePath(const char* name) {
    const char* dir = std::getenv("TALVEK_MODEL_DIR");
    return std::string(dir ? dir : "models") + "/" + name + ".bin";
}

void ReadAndParse(benchmark::State& state, const char* name) {
    for (auto _ : state) {
        const std::string text = readZipEntry(archivePath(name), std::string(name) + ".json");
        const JsonDocument doc(text.c_str());
        benchmark::DoNotOptimize(doc.root());
    }
}

void ModelLoad(benchmark::State& state, const char* name) {
    for (auto _ : state) {
        const std::string text = readZipEntry(archivePath(name), std::string(name) + ".json");
        const ModelData model(text.c_str());
        benchmark::DoNotOptimize(model.wf.get());
    }
}

void ExpandPerPosition(benchmark::State& state, const char* name) {
    const std::string text = readZipEntry(archivePath(name), std::string(name) + ".json");
    const ModelData model(text.c_str());
    double bytes = 0.0;
    for (auto _ : state) {
        bytes = 0.0;
        for (const DriverData* d : {static_cast<const DriverData*>(model.wf.get()),
                                    static_cast<const DriverData*>(model.tw.get())}) {
            if (d == nullptr) continue;
            for (std::size_t k = 0; k < d->H.size(); ++k) {
                CMatrix expanded(d->phi.size(), d->driverpos.size());
                for (int j = 0; j < expanded.cols(); ++j)
                    for (int a = 0; a < expanded.rows(); ++a)
                        expanded(a, j) = d->transfer(static_cast<int>(k), a, j);
                bytes += static_cast<double>(expanded.size()) * sizeof(Complex);
                benchmark::DoNotOptimize(expanded.data());
            }
        }
    }
    state.counters["MB"] = bytes / (1024.0 * 1024.0);
}

}  // namespace

BENCHMARK_CAPTURE(ReadAndParse, Vexal64, "Vexal64")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ModelLoad, Vexal64, "Vexal64")->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ExpandPerPosition, Vexal64, "Vexal64")->Unit(benchmark::kMillisecond);

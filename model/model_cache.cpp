#include "model/model_cache.h"

#include <memory>

#include "model/zip_reader.h"

namespace TalvekLib {

namespace {

struct ModelCache {
    std::string name;                  // empty while nothing is cached
    std::unique_ptr<ModelData> model;
};

ModelCache& modelCache() {
    static ModelCache cache;
    return cache;
}

}  // namespace

const ModelData* loadModel(const std::string& name) {
    ModelCache& cache = modelCache();
    if (name == cache.name) return cache.model.get();

    // Empty first, so a failure below never leaves a stale or half-built record.
    cache.model.reset();
    cache.name.clear();

    const std::string text = readZipEntry(name + ".bin", name + ".json");
    auto model = std::make_unique<ModelData>(text.c_str());
    cache.name = name;
    cache.model = std::move(model);
    return cache.model.get();
}

}  // namespace TalvekLib

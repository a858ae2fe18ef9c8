// Typed reads of a parsed model document (yajl's tree). Every failure, an
// absent node included, throws ParseException.
#pragma once

#include <yajl/yajl_tree.h>

#include <vector>

#include "core/dense.h"

namespace TalvekLib {

yajl_val jsonGet(yajl_val node, const char* key);
int jsonInt(yajl_val node);
double jsonDouble(yajl_val node);
bool jsonBool(yajl_val node);
Vector jsonVector(yajl_val node);
IVector jsonIntVector(yajl_val node);
Matrix jsonMatrix(yajl_val node);
std::vector<Matrix> jsonMatrixList(yajl_val node);
std::vector<CMatrix> jsonComplexMatrixList(yajl_val node);

// Owns a parsed tree; an unparsable text gives a null root.
class JsonDocument {
public:
    explicit JsonDocument(const char* text);
    ~JsonDocument();
    JsonDocument(const JsonDocument&) = delete;
    JsonDocument& operator=(const JsonDocument&) = delete;
    yajl_val root() const { return root_; }

private:
    yajl_val root_ = nullptr;
};

}  // namespace TalvekLib

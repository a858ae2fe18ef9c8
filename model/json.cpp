#include "model/json.h"

#include <yajl/yajl_parse.h>

#include <cstring>
#include <new>

#include "core/exceptions.h"

namespace TalvekLib {

namespace {

// A number yajl could read as a double: integers too, but not values outside
// the double range (yajl leaves those without a valid double, so NaN and
// infinity never reach the record).
double numberValue(yajl_val node) {
    if (!YAJL_IS_DOUBLE(node)) throw ParseException();
    return YAJL_GET_DOUBLE(node);
}

// A number written without fraction or exponent that fits in 64 bits.
long long integerValue(yajl_val node) {
    if (!YAJL_IS_INTEGER(node)) throw ParseException();
    return YAJL_GET_INTEGER(node);
}

// The elements of an array, or the node itself when it is a single number:
// the shapes that jsonVector and jsonIntVector accept.
template <typename Read>
void forEachScalar(yajl_val node, Read read) {
    if (YAJL_IS_NUMBER(node)) {
        read(0, node);
        return;
    }
    if (!YAJL_IS_ARRAY(node)) throw ParseException();
    for (std::size_t i = 0; i < node->u.array.len; ++i) read(static_cast<int>(i), node->u.array.values[i]);
}

int scalarCount(yajl_val node) {
    if (YAJL_IS_NUMBER(node)) return 1;
    if (!YAJL_IS_ARRAY(node)) throw ParseException();
    return static_cast<int>(node->u.array.len);
}

const yajl_val* arrayElements(yajl_val node, std::size_t& count) {
    if (!YAJL_IS_ARRAY(node)) throw ParseException();
    count = node->u.array.len;
    return node->u.array.values;
}

// yajl frees a tree recursively, one stack frame per level, so a document
// nested a million levels deep (2 MB of brackets) would overflow the stack.
// Model documents are six levels deep. A first pass with yajl's event parser
// (the same lexer, comments included) refuses anything deeper than this.
constexpr int kMaxNesting = 64;

int enterLevel(void* depth) { return ++*static_cast<int*>(depth) <= kMaxNesting; }
int leaveLevel(void* depth) {
    --*static_cast<int*>(depth);
    return 1;
}

bool nestingWithinLimit(const char* text) {
    static const yajl_callbacks callbacks = {nullptr,    nullptr, nullptr,    nullptr,    nullptr,   nullptr,
                                             enterLevel, nullptr, leaveLevel, enterLevel, leaveLevel};
    int depth = 0;
    const yajl_handle parser = yajl_alloc(&callbacks, nullptr, &depth);
    if (parser == nullptr) throw std::bad_alloc();
    yajl_config(parser, yajl_allow_comments, 1);
    const yajl_status status = yajl_parse(parser, reinterpret_cast<const unsigned char*>(text), std::strlen(text));
    yajl_free(parser);
    return status != yajl_status_client_canceled;  // other errors are the tree parser's to report
}

}  // namespace

yajl_val jsonGet(yajl_val node, const char* key) {
    if (!YAJL_IS_OBJECT(node)) throw ParseException();
    for (std::size_t i = 0; i < node->u.object.len; ++i) {
        if (std::strcmp(node->u.object.keys[i], key) == 0) return node->u.object.values[i];
    }
    throw ParseException();
}

int jsonInt(yajl_val node) {
    // Cut to 32 bits like the record's int fields.
    return static_cast<int>(static_cast<unsigned int>(integerValue(node)));
}

double jsonDouble(yajl_val node) { return numberValue(node); }

bool jsonBool(yajl_val node) {
    if (YAJL_IS_TRUE(node)) return true;
    if (YAJL_IS_FALSE(node)) return false;
    throw ParseException();
}

Vector jsonVector(yajl_val node) {
    Vector v(scalarCount(node));
    forEachScalar(node, [&](int i, yajl_val e) { v[i] = numberValue(e); });
    return v;
}

IVector jsonIntVector(yajl_val node) {
    IVector v(scalarCount(node));
    forEachScalar(node, [&](int i, yajl_val e) { v[i] = jsonInt(e); });
    return v;
}

Matrix jsonMatrix(yajl_val node) {
    std::size_t rows = 0;
    const yajl_val* elements = arrayElements(node, rows);
    if (rows == 0) throw ParseException();
    Matrix m;
    for (std::size_t r = 0; r < rows; ++r) {
        const Vector row = jsonVector(elements[r]);
        if (r == 0) {
            if (row.size() == 0) throw ParseException();
            m.resize(static_cast<int>(rows), row.size());
        } else if (row.size() != m.cols()) {
            throw ParseException();
        }
        m.row(static_cast<int>(r)) = row.transpose();
    }
    return m;
}

std::vector<Matrix> jsonMatrixList(yajl_val node) {
    std::size_t count = 0;
    const yajl_val* elements = arrayElements(node, count);
    std::vector<Matrix> list;
    list.reserve(count);
    for (std::size_t k = 0; k < count; ++k) list.push_back(jsonMatrix(elements[k]));
    return list;
}

std::vector<CMatrix> jsonComplexMatrixList(yajl_val node) {
    const std::vector<Matrix> re = jsonMatrixList(jsonGet(node, "re"));
    const std::vector<Matrix> im = jsonMatrixList(jsonGet(node, "im"));
    if (re.size() != im.size()) throw ParseException();
    std::vector<CMatrix> list;
    list.reserve(re.size());
    for (std::size_t k = 0; k < re.size(); ++k) {
        if (re[k].rows() != im[k].rows() || re[k].cols() != im[k].cols()) throw ParseException();
        CMatrix c(re[k].rows(), re[k].cols());
        c.real() = re[k];
        c.imag() = im[k];
        list.push_back(std::move(c));
    }
    return list;
}

JsonDocument::JsonDocument(const char* text) {
    // yajl's tree parser accepts comments; an unparsable text gives no tree,
    // and the first jsonGet on the null root then throws.
    if (text != nullptr && nestingWithinLimit(text)) root_ = yajl_tree_parse(text, nullptr, 0);
}

JsonDocument::~JsonDocument() { yajl_tree_free(root_); }

}  // namespace TalvekLib

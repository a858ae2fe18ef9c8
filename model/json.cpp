#include "model/json.h"

#include <cstring>

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

// Rows and columns of a matrix written as a list of rows, each row an array of
// numbers or a single number: at least one of each, and every row as long as
// the first. The values are checked as they are read.
void matrixShape(yajl_val node, int& rows, int& cols) {
    std::size_t count = 0;
    const yajl_val* elements = arrayElements(node, count);
    if (count == 0) throw ParseException();
    cols = scalarCount(elements[0]);
    if (cols == 0) throw ParseException();
    for (std::size_t r = 1; r < count; ++r) {
        if (scalarCount(elements[r]) != cols) throw ParseException();
    }
    rows = static_cast<int>(count);
}

// Hands each value of a matrix whose shape matrixShape accepted to
// store(row, column, value).
template <typename Store>
void forEachMatrixValue(yajl_val node, Store store) {
    for (std::size_t r = 0; r < node->u.array.len; ++r) {
        forEachScalar(node->u.array.values[r],
                      [&](int i, yajl_val e) { store(static_cast<int>(r), i, numberValue(e)); });
    }
}

// yajl frees a tree recursively, one stack frame per level, so a document
// nested a million levels deep (2 MB of brackets) would overflow the stack.
// Model documents are six levels deep; anything deeper than this is refused
// before the tree parse.
constexpr int kMaxNesting = 64;

// Follows the brackets of the text the way yajl's lexer sees them: inside a
// string (up to its unescaped closing quote) and inside a comment (// to the
// end of the line, /* to the next */) they do not count. On any text yajl
// accepts this is its nesting, opening bracket by opening bracket; a text it
// refuses fails the tree parse whatever this says.
bool nestingWithinLimit(const char* text) {
    int depth = 0;
    const char* p = text;
    for (;;) {
        p += std::strcspn(p, "[]{}\"/");  // numbers, keys' letters, commas: most of the text
        switch (*p++) {
        case '\0':
            return true;
        case '[':
        case '{':
            if (++depth > kMaxNesting) return false;
            break;
        case ']':
        case '}':
            if (depth > 0) --depth;  // more closing than opening: yajl refuses the text
            break;
        case '"':
            for (;;) {
                p += std::strcspn(p, "\"\\");
                const char c = *p++;
                if (c == '\0') return true;
                if (c == '"') break;
                if (*p == '\0') return true;
                ++p;  // the character after a backslash, a quote included
            }
            break;
        case '/':
            if (*p == '/') {
                while (*p != '\0' && *p != '\n') ++p;
            } else if (*p == '*') {
                ++p;
                while (*p != '\0' && !(p[0] == '*' && p[1] == '/')) ++p;
                if (*p == '\0') return true;
                p += 2;
            }
            break;
        }
    }
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
    int rows = 0, cols = 0;
    matrixShape(node, rows, cols);
    Matrix m(rows, cols);
    forEachMatrixValue(node, [&](int r, int c, double v) { m(r, c) = v; });
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

// The real and imaginary parts go straight into each complex matrix: a model's
// transfer data are hundreds of small matrices.
std::vector<CMatrix> jsonComplexMatrixList(yajl_val node) {
    std::size_t count = 0, imCount = 0;
    const yajl_val* re = arrayElements(jsonGet(node, "re"), count);
    const yajl_val* im = arrayElements(jsonGet(node, "im"), imCount);
    if (count != imCount) throw ParseException();
    std::vector<CMatrix> list;
    list.reserve(count);
    for (std::size_t k = 0; k < count; ++k) {
        int rows = 0, cols = 0, imRows = 0, imCols = 0;
        matrixShape(re[k], rows, cols);
        matrixShape(im[k], imRows, imCols);
        if (imRows != rows || imCols != cols) throw ParseException();
        CMatrix c(rows, cols);
        forEachMatrixValue(re[k], [&](int r, int j, double v) { c(r, j).real(v); });
        forEachMatrixValue(im[k], [&](int r, int j, double v) { c(r, j).imag(v); });
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

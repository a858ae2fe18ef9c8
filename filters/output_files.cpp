#include "filters/output_files.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <stdexcept>
#include <vector>

#include "filters/sf_response.h"

namespace TalvekLib {

namespace {

constexpr int kGridPoints = 241;
constexpr int32_t kFilterSetHeader = 2;

// File contents are assembled in memory in the processor's byte order
// (little-endian) whatever the host's order, then written in one go.
class LittleEndianBuffer {
public:
    void int32(int32_t v) {
        const auto u = static_cast<uint32_t>(v);
        for (int b = 0; b < 4; ++b) bytes_.push_back(static_cast<unsigned char>(u >> (8 * b)));
    }
    void float64(double v) {
        uint64_t u;
        std::memcpy(&u, &v, sizeof u);
        for (int b = 0; b < 8; ++b) bytes_.push_back(static_cast<unsigned char>(u >> (8 * b)));
    }
    const std::vector<unsigned char>& bytes() const { return bytes_; }

private:
    std::vector<unsigned char> bytes_;
};

std::runtime_error cannotCreate(const std::string& path) {
    return std::runtime_error("Unable to create file " + path + ".");
}

// Opens every file without truncating it; on the first failure removes the
// files this probe itself created and throws. So a failed call leaves the
// folder as it found it.
void probeWritable(const std::vector<std::string>& paths) {
    std::vector<std::string> created;
    for (const auto& path : paths) {
        std::error_code ec;
        const bool existed = std::filesystem::exists(path, ec);
        std::FILE* f = std::fopen(path.c_str(), "ab");
        if (!f) {
            for (const auto& p : created) std::filesystem::remove(p, ec);
            throw cannotCreate(path);
        }
        std::fclose(f);
        if (!existed) created.push_back(path);
    }
}

void writeWhole(const std::string& path, const LittleEndianBuffer& buffer) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) throw cannotCreate(path);
    const auto& bytes = buffer.bytes();
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) throw std::runtime_error("Unable to write file " + path + ".");
}

// A section the files can describe: some stored taps, one shift per channel.
void checkSection(const ChannelDesign& cd, const char* name) {
    if (cd.delaypick.size() == 0)
        throw std::runtime_error(std::string("The ") + name +
                                 " section of the design has no filter taps (empty delaypick); "
                                 "no processor files can be written for it.");
    if (cd.weights.rows() != cd.delaypick.size() || cd.weights.cols() != cd.outputshifts.size())
        throw std::runtime_error(std::string("The ") + name +
                                 " section of the design has inconsistent weights, delaypick and "
                                 "outputshifts.");
}

void checkDesign(const SpeakerDesign& design) {
    checkSection(design.wf, "woofer");
    if (design.twoway) checkSection(design.tw, "tweeter");
}

int32_t gainWord(double gain) {
    const double word = std::trunc(65536.0 * gain + 0.5);
    if (!(word >= std::numeric_limits<int32_t>::min() && word <= std::numeric_limits<int32_t>::max()))
        throw std::runtime_error("Output gain " + std::to_string(gain) +
                                 " does not fit the processor's gain word.");
    return static_cast<int32_t>(word);
}

struct BoxRow {
    int firstWf, lastWf, firstTw, lastTw;  // zero-based; -1 where the table holds 0
};

std::vector<BoxRow> boxRows(const SpeakerDesign& design, const LibSettings& s) {
    if (design.arraytype < 1 || design.arraytype > static_cast<int>(s.boxLayouts.size()))
        throw std::runtime_error("Array type " + std::to_string(design.arraytype) +
                                 " of the design is not one of 1 to " +
                                 std::to_string(s.boxLayouts.size()) + ".");
    Matrix table = s.boxLayouts[design.arraytype - 1];
    if (table.cols() == 1) table.transposeInPlace();
    if (table.cols() != 4)
        throw std::runtime_error("Box table of array type " + std::to_string(design.arraytype) +
                                 " does not have four columns.");
    std::vector<BoxRow> rows;
    for (int r = 0; r < table.rows(); ++r) {
        const auto at = [&](int c) { return static_cast<int>(table(r, c)) - 1; };
        rows.push_back({at(0), at(1), at(2), at(3)});
    }
    return rows;
}

std::vector<int> channelRange(int first, int last, const ChannelDesign& cd, const char* name, int box) {
    std::vector<int> channels;
    for (int c = first; c <= last; ++c) channels.push_back(c);
    for (int c : channels)
        if (c < 0 || c >= cd.outputshifts.size())
            throw std::runtime_error("Box " + std::to_string(box) + " uses " + name + " channel " +
                                     std::to_string(c + 1) + " but the design has " +
                                     std::to_string(cd.outputshifts.size()) + ".");
    return channels;
}

void putBlock(LittleEndianBuffer& out, const ChannelDesign& cd, const std::vector<int>& channels) {
    out.int32(cd.delaypick.maxCoeff() + 2);
    out.int32(cd.order);
    out.int32(cd.weights.rows());
    out.int32(static_cast<int32_t>(channels.size()));
    for (int i = 0; i < cd.delaypick.size(); ++i) out.int32(cd.delaypick[i] + 1);
    for (int c : channels)
        for (int i = 0; i < cd.weights.rows(); ++i) out.int32(cd.weights(i, c));
    for (int c : channels) out.int32(cd.outputshifts[c]);
    out.int32(gainWord(cd.outputgain));
}

// Complex values channel by channel, real part first.
void putResponses(LittleEndianBuffer& out, const CMatrix& H) {
    for (int c = 0; c < H.cols(); ++c)
        for (int n = 0; n < H.rows(); ++n) {
            out.float64(H(n, c).real());
            out.float64(H(n, c).imag());
        }
}

std::string responsePath(const std::string& base) { return base + "_SFR.bin"; }

}  // namespace

Vector responseFileGrid() {
    const double lo = std::log(20.0);
    const double step = (std::log(20000.0) - lo) / (kGridPoints - 1);
    Vector f(kGridPoints);
    for (int i = 0; i < kGridPoints; ++i) f[i] = std::exp(lo + i * step);
    return f;
}

void writeFilterSetFiles(const std::string& base, const SpeakerDesign& design, const LibSettings& s) {
    checkSection(design.wf, "woofer");
    const std::vector<BoxRow> rows = boxRows(design, s);

    // Everything is built and checked before the first file is touched.
    std::vector<std::string> paths;
    std::vector<LittleEndianBuffer> contents(rows.size());
    for (std::size_t k = 0; k < rows.size(); ++k) {
        const BoxRow& row = rows[k];
        const int box = static_cast<int>(k) + 1;
        const bool hasTweeter = row.firstTw >= 0;
        LittleEndianBuffer& out = contents[k];
        out.int32(kFilterSetHeader);
        out.int32(hasTweeter ? 2 : 1);
        putBlock(out, design.wf, channelRange(row.firstWf, row.lastWf, design.wf, "woofer", box));
        if (hasTweeter) {
            checkSection(design.tw, "tweeter");
            putBlock(out, design.tw, channelRange(row.firstTw, row.lastTw, design.tw, "tweeter", box));
        }
        paths.push_back(base + "_box" + std::to_string(box) + ".bef");
    }

    // The response file is written right after these by the same request;
    // probing it too means a folder that refuses it gets none of the files.
    std::vector<std::string> probe = paths;
    probe.push_back(responsePath(base));
    probeWritable(probe);
    for (std::size_t k = 0; k < paths.size(); ++k) writeWhole(paths[k], contents[k]);
}

void writeResponseFile(const std::string& base, const SpeakerDesign& design, const LibSettings& s) {
    checkDesign(design);
    const Vector grid = responseFileGrid();

    LittleEndianBuffer out;
    out.float64(kGridPoints);
    const CMatrix wf = channelResponses(design.wf, grid, s.sampleRate);
    out.float64(wf.cols());
    for (int i = 0; i < grid.size(); ++i) out.float64(grid[i]);
    putResponses(out, wf);
    // The tweeter part follows without repeating the count and the grid.
    if (design.twoway) {
        const CMatrix tw = channelResponses(design.tw, grid, s.sampleRate);
        out.float64(tw.cols());
        putResponses(out, tw);
    }

    writeWhole(responsePath(base), out);
}

}  // namespace TalvekLib

#include "filters/channel_filter_design.h"

#include <cmath>
#include <stdexcept>

#include "core/kernels.h"
#include "core/lib_settings.h"
#include "filters/difference_tables.h"
#include "filters/fir_design.h"

namespace TalvekLib {

ChannelDesign designChannelFilters(const NormalisedResponse& response, bool withDc, bool useSet12,
                                   bool highBand) {
    const DifferenceTableSet& set = getDifferenceTableSet(!useSet12 ? 0 : (highBand ? 2 : 1));
    const int gridSize = librarySettings().designGridSize;
    const int N = response.H.cols();
    // The low band starts at column 1; the high band may reach down to column 0.
    const int available = highBand ? gridSize : gridSize - 1;
    if (N > available) {
        throw std::runtime_error("Channel filter design: more frequencies than design grid points.");
    }
    if (withDc && N == 0) {
        throw std::runtime_error("Channel filter design: a DC point needs at least one frequency.");
    }

    // The N frequencies sit on design columns 1..N, or on the last N columns.
    const int first = highBand ? gridSize - N : 1;
    IVector columns = IVector::LinSpaced(N, first, first + N - 1);
    CMatrix H = response.H;
    if (withDc) {
        // DC point: the lowest frequency's magnitude, with the sign of its real part.
        CMatrix h0(H.rows(), 1);
        for (int m = 0; m < H.rows(); ++m) {
            const double sign = H(m, 0).real() >= 0.0 ? 1.0 : -1.0;
            h0(m, 0) = Complex(sign * std::abs(H(m, 0)), 0.0);
        }
        H = concatColumns(h0, H);
        columns = concatVectors<IVector>({IVector::Zero(1), columns});
    }

    const Matrix weights = gatherColumns(set.W0, columns) * H.real().transpose() +
                           gatherColumns(set.W1, columns) * H.imag().transpose();
    return designFirWeights(weights, set, set.order);
}

}  // namespace TalvekLib

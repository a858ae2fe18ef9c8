#include "filters/difference_tables.h"

#include <memory>
#include <stdexcept>
#include <string>

#include "core/lib_settings.h"

namespace TalvekLib {

namespace {

std::unique_ptr<const DifferenceTableSet> buildSet(const FitTableData& data) {
    const int gridSize = librarySettings().designGridSize;
    auto set = std::make_unique<DifferenceTableSet>();
    set->D = IMatrix::Zero(data.rows, kTapCount);
    set->nonzeros.assign(data.triplets, data.triplets + data.tripletCount);
    for (const DifferenceTriplet& t : set->nonzeros) set->D(t.row, t.column) = t.value;
    set->Dt = set->D.cast<double>().transpose();
    // The generated rows are stored one after another; the matrices are column-major.
    using RowMajor = Eigen::Matrix<double, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
    set->W0 = Eigen::Map<const RowMajor>(data.W0, data.rows, gridSize);
    set->W1 = Eigen::Map<const RowMajor>(data.W1, data.rows, gridSize);
    set->order = 3;
    return set;
}

}  // namespace

const DifferenceTableSet& getDifferenceTableSet(int index) {
    if (index < 0 || index > 2) {
        throw std::out_of_range("No difference table set " + std::to_string(index) + ".");
    }
    // Filled on first request and never changed; an allocation failure leaves
    // the slots empty so that the next request tries again.
    static std::unique_ptr<const DifferenceTableSet> slots[3];
    if (!slots[index]) {
        if (index == 0) {
            slots[0] = buildSet(kFitTables[0]);
        } else {
            // Woofer and tweeter sets serve the same designs: build them together.
            auto one = buildSet(kFitTables[1]);
            auto two = buildSet(kFitTables[2]);
            slots[1] = std::move(one);
            slots[2] = std::move(two);
        }
    }
    return *slots[index];
}

}  // namespace TalvekLib

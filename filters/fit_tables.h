// Raw constants of the three difference table sets, generated at build time
// by tools/make_fit_tables.py into generated/fit_tables.cpp. Only
// filters/difference_tables.cpp reads them, to build DifferenceTableSet.
#pragma once

namespace TalvekLib {

// One nonzero entry of a third-difference operator D.
struct DifferenceTriplet {
    int row;
    int column;
    int value;
};

struct FitTableData {
    int rows;                            // R
    const DifferenceTriplet* triplets;   // four per row
    int tripletCount;
    const double* W0;                    // R x 216, row by row
    const double* W1;                    // R x 216, row by row
};

extern const FitTableData kFitTables[3];

}  // namespace TalvekLib

#include "VqDeeringNormalLookupTable.h"

#include "VqErrorState.h"

#include <cmath>

namespace {
const char* const kCls = "VqDeeringNormalLookupTable";
// atan(1/sqrt(2)) as the file format rounds it; encoder and decoder must agree.
constexpr double kMaxAngle = 0.6154797;
} // namespace

VqDeeringNormalLookupTable::VqDeeringNormalLookupTable() {
    for (int i = 0; i < kEntries; ++i) {
        const double theta = std::asin(std::tan(kMaxAngle * (256 - i) / 256));
        const double psi = kMaxAngle * i / 256;
        const float cosTheta = static_cast<float>(std::cos(theta)),
                    sinTheta = static_cast<float>(std::sin(theta));
        const float cosPsi = static_cast<float>(std::cos(psi)), sinPsi = static_cast<float>(std::sin(psi));
        const float thetaRow[4] = {cosTheta, 1.0f, sinTheta, 0.0f},
                    psiRow[4] = {cosPsi, sinPsi, cosPsi, 0.0f};
        for (int c = 0; c < 4; ++c) {
            _theta[i][c] = thetaRow[c];
            _psi[i][c] = psiRow[c];
        }
    }
}

bool VqDeeringNormalLookupTable::_fail(int nBits, int iTheta) const {
    if (!(nBits <= _nBits && nBits >= 0)) VQ_FAIL(kCls, "lookup", "nBits <= _nBits", VQ_ERR_ARGUMENT);
    if (!(iTheta <= (1 << nBits) && iTheta >= 0))
        VQ_FAIL(kCls, "lookup", "iTheta <= (1<<nBits) && iTheta >= 0", VQ_ERR_ARGUMENT);
    VQ_FAIL(kCls, "lookup", "iPsi < (1<<nBits) && iPsi >= 0", VQ_ERR_ARGUMENT);
}

const VqDeeringNormalLookupTable* VqDeeringNormalLookupTableSingleton::EnsureInstance() {
    // A function-local static: the compiler's guard is the flag that makes
    // racing first callers wait for one construction, and the table needs no
    // release at shutdown.
    static const VqDeeringNormalLookupTable s_table;
    return &s_table;
}

#pragma once

#include "VqExport.h"

// Cosines and sines of the two angles of the normal code, for angle widths
// up to 8 bits: entry i of the 8-bit table serves index k of an n-bit code at
// i = k << (8 - n). θ_i = asin(tan(0.6154797 (256 - i) / 256)) and
// ψ_i = 0.6154797 i / 256, i = 0 ... 256 (θ indices reach 2^n).
class VQ_API VqDeeringNormalLookupTable {
public:
    static constexpr int kTableBits = 8;
    static constexpr int kEntries = (1 << kTableBits) + 1;

    VqDeeringNormalLookupTable();

    // iTheta in 0 ... 2^nBits, iPsi in 0 ... 2^nBits - 1, nBits at most 8.
    // Inline: decoders call it once per normal.
    bool lookup(int nBits, int iTheta, int iPsi, float& cosTheta, float& sinTheta, float& cosPsi,
                float& sinPsi) const {
        if (!(nBits <= _nBits && nBits >= 0) || !(iTheta <= (1 << nBits) && iTheta >= 0) ||
            !(iPsi < (1 << nBits) && iPsi >= 0))
            return _fail(nBits, iTheta);
        lookupInRange(nBits, iTheta, iPsi, cosTheta, sinTheta, cosPsi, sinPsi);
        return true;
    }

    // The same for arguments known to be in range, as a checked code's are.
    void lookupInRange(int nBits, int iTheta, int iPsi, float& cosTheta, float& sinTheta, float& cosPsi,
                       float& sinPsi) const {
        const int shift = _nBits - nBits;
        const float* t = _theta[iTheta << shift];
        const float* p = _psi[iPsi << shift];
        cosTheta = t[0];
        sinTheta = t[2];
        cosPsi = p[0];
        sinPsi = p[1];
    }

    // Rows of 8-bit indices, for decoders that take the normal in vectors:
    // (cos θ, 1, sin θ, 0) times (cos ψ, sin ψ, cos ψ, 0), lane by lane, is
    // the unit vector of the code's first sextant and octant, rounded as the
    // scalar products round (1 * sin ψ is exact).
    const float* thetaRow(int i) const { return _theta[i]; }
    const float* psiRow(int i) const { return _psi[i]; }

private:
    // Records which argument of lookup was out of range; returns false.
    bool _fail(int nBits, int iTheta) const;

    int _nBits = kTableBits;
    alignas(16) float _theta[kEntries][4];
    alignas(16) float _psi[kEntries][4];
};

// Holder of the process-wide table. It is built on the first call (library
// start-up makes that call, so that no decoder pays for it) and stays until
// the process ends; concurrent first calls build it once.
class VQ_API VqDeeringNormalLookupTableSingleton {
public:
    static const VqDeeringNormalLookupTable* EnsureInstance();
};

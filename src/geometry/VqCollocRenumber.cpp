#include "VqCollocRenumber.h"

#include "VqErrorState.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <vector>

namespace {

constexpr int kNumAxes = 7;
constexpr int kNumBins = 128;

struct Axis {
    double a[3];
    double dot(const VqVec3f& p) const { return a[0] * p[0] + a[1] * p[1] + a[2] * p[2]; }
};

bool isFinite(const VqVec3f& p) {
    return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]);
}

// Three fixed axes leaning on x, y and z, and four diagonals of the box, so
// that points spread along any of the usual layouts (a plane, a row, a grid
// seen edge-on) find an axis that keeps them apart.
void makeAxes(const VqBox3<float>& box, Axis (&axes)[kNumAxes]) {
    const double d[3] = {double(box.max[0]) - box.min[0], double(box.max[1]) - box.min[1],
                         double(box.max[2]) - box.min[2]};
    const double fixed[3][3] = {{1, 0.1, 0.1}, {0.1, 1, 0.2}, {0.1, 0.2, 1}};
    const double signs[4][3] = {{1, 0.98, 0.985}, {-1, 0.98, 0.985}, {1, -0.98, 0.985}, {1, 0.98, -0.985}};
    for (int i = 0; i < 3; ++i)
        for (int c = 0; c < 3; ++c)
            axes[i].a[c] = fixed[i][c];
    for (int i = 0; i < 4; ++i)
        for (int c = 0; c < 3; ++c)
            axes[3 + i].a[c] = d[c] * signs[i][c];
    for (Axis& ax : axes) {
        const double len = std::sqrt(ax.a[0] * ax.a[0] + ax.a[1] * ax.a[1] + ax.a[2] * ax.a[2]);
        if (len > 0)
            for (double& c : ax.a)
                c /= len;
    }
}

// The axis whose fullest histogram bin holds the fewest of the sampled points
// (the earlier axis on a tie): the sort along it leaves the sweep the
// shortest windows.
int chooseAxis(uint32_t n, const VqVec3f* p, const VqBox3<float>& box, const Axis (&axes)[kNumAxes]) {
    const VqVec3f centre = box.center();
    double centreProj[kNumAxes];
    double extent = 0;
    for (int i = 0; i < kNumAxes; ++i) {
        centreProj[i] = axes[i].dot(centre);
        double e = 0;
        for (int c = 0; c < 3; ++c)
            e += std::fabs(axes[i].a[c]) * (double(box.max[c]) - box.min[c]);
        extent = std::max(extent, e);
    }
    const double s = extent > 0 && std::isfinite(extent) ? 1.0 / extent : 1.0;
    const uint32_t k = std::max<uint32_t>(n / 1000, 1);
    uint32_t histo[kNumAxes][kNumBins] = {};
    for (uint32_t i = 0; i < n; i += k) {
        if (!isFinite(p[i])) continue;
        for (int a = 0; a < kNumAxes; ++a) {
            const double v = ((axes[a].dot(p[i]) - centreProj[a]) * s + 0.5) * kNumBins;
            const int bin = !(v >= 0) ? 0 : v >= kNumBins - 1 ? kNumBins - 1 : static_cast<int>(v);
            ++histo[a][bin];
        }
    }
    int best = 0;
    uint32_t bestFullest = UINT32_MAX;
    for (int a = 0; a < kNumAxes; ++a) {
        const uint32_t fullest = *std::max_element(histo[a], histo[a] + kNumBins);
        if (fullest < bestFullest) {
            bestFullest = fullest;
            best = a;
        }
    }
    return best;
}

struct SortEntry {
    double proj;
    uint32_t idx;
    bool operator<(const SortEntry& o) const { return proj < o.proj || (proj == o.proj && idx < o.idx); }
};

// Sorts by (projection, index) as SortEntry's operator< does, in linear
// time: least significant digit first over order-preserving 64-bit keys,
// each pass stable, the entries starting in index order so that equal
// projections keep it. A comparison sort of the keys was most of the cost
// of collocating a large pool. -0 is folded onto +0, which compare equal.
void radixSort(std::vector<SortEntry>& order) {
    constexpr int kBits = 11, kPasses = 6;
    constexpr uint32_t kBuckets = 1u << kBits, kMask = kBuckets - 1;
    constexpr uint64_t kSign = uint64_t(1) << 63;
    // The keys take the place of the projections, so that the entries
    // themselves move between two arrays: one array more, not two.
    auto key = [](const SortEntry& e) {
        uint64_t u;
        std::memcpy(&u, &e.proj, sizeof u);
        return u;
    };
    const size_t n = order.size();
    std::vector<uint32_t> count(size_t(kPasses) * kBuckets, 0);
    for (SortEntry& e : order) {
        const double p = e.proj == 0.0 ? 0.0 : e.proj;
        uint64_t u;
        std::memcpy(&u, &p, sizeof u);
        u = (u & kSign) ? ~u : u | kSign;
        std::memcpy(&e.proj, &u, sizeof u);
        for (int d = 0; d < kPasses; ++d)
            ++count[size_t(d) * kBuckets + ((u >> (d * kBits)) & kMask)];
    }
    std::vector<SortEntry> other(n);
    for (int d = 0; d < kPasses; ++d) {
        uint32_t* c = count.data() + size_t(d) * kBuckets;
        // A digit all keys share leaves the order as it is.
        if (c[(key(order[0]) >> (d * kBits)) & kMask] == n) continue;
        uint32_t sum = 0;
        for (uint32_t k = 0; k < kBuckets; ++k) {
            const uint32_t m = c[k];
            c[k] = sum;
            sum += m;
        }
        for (const SortEntry& e : order)
            other[c[(key(e) >> (d * kBits)) & kMask]++] = e;
        order.swap(other);
    }
    for (SortEntry& e : order) {
        uint64_t u = key(e);
        u = (u & kSign) ? u & ~kSign : ~u;
        std::memcpy(&e.proj, &u, sizeof u);
    }
}

double dist2(const VqVec3f& a, const VqVec3f& b) {
    const double dx = double(a[0]) - b[0], dy = double(a[1]) - b[1], dz = double(a[2]) - b[2];
    return dx * dx + dy * dy + dz * dz;
}

} // namespace

bool vqCollocRenumber(uint32_t nVerts, const VqVec3f* paVerts, const VqBox3<float>& boxIn, double t,
                      VqCollocCompareFn compare, const void* context, VqCollocKey* keys, uint32_t& numUnique,
                      int* pChosenAxis) {
    numUnique = 0;
    VQ_CHECK(nVerts == 0 || paVerts, "vqCollocRenumber", "vqCollocRenumber", VQ_ERR_ARGUMENT);
    VQ_CHECK(nVerts == 0 || (keys && compare), "vqCollocRenumber", "vqCollocRenumber", VQ_ERR_ARGUMENT);
    VQ_CHECK(t >= 0 && std::isfinite(t), "vqCollocRenumber", "vqCollocRenumber", VQ_ERR_ARGUMENT);
    VqBox3<float> box = boxIn;
    if (box.isEmpty())
        for (uint32_t i = 0; i < nVerts; ++i)
            if (isFinite(paVerts[i])) box.extendBy(paVerts[i]);
    if (box.isEmpty()) box = VqBox3<float>(VqVec3f(0, 0, 0), VqVec3f(0, 0, 0));

    Axis axes[kNumAxes];
    makeAxes(box, axes);
    const int iAxis = chooseAxis(nVerts, paVerts, box, axes);
    if (pChosenAxis) *pChosenAxis = iAxis;
    const Axis& axis = axes[iAxis];

    // Points that are not finite sort last (by index) and never join a window.
    const double kNever = HUGE_VAL;
    std::vector<SortEntry> order;
    try {
        order.resize(nVerts);
        for (uint32_t i = 0; i < nVerts; ++i)
            order[i] = {isFinite(paVerts[i]) ? axis.dot(paVerts[i]) : kNever, i};
        // Below a few hundred points the histograms of the radix sort cost
        // more than the comparisons; both give the same order.
        if (nVerts < 256)
            std::sort(order.begin(), order.end());
        else
            radixSort(order);
    } catch (const std::bad_alloc&) {
        VQ_FAIL("vqCollocRenumber", "vqCollocRenumber", "Memory Allocation", VQ_ERR_ALLOC);
    }
    for (uint32_t i = 0; i < nVerts; ++i)
        keys[i] = {order[i].idx, -1, -1};
    auto repProj = [&](uint32_t b) {
        const VqCollocKey& q = keys[b];
        return order[b].proj == kNever ? kNever : axis.dot(paVerts[q.iRep >= 0 ? uint32_t(q.iRep) : q.iIdx]);
    };

    const double t2 = t * t;
    uint32_t w = 0;
    for (uint32_t a = 0; a < nVerts; ++a) {
        VqCollocKey& k = keys[a];
        if (k.iClass != -1) continue;
        const int32_t cls = static_cast<int32_t>(numUnique++);
        k.iClass = cls;
        const bool bFresh = k.iRep == -1;
        if (bFresh) k.iRep = static_cast<int32_t>(k.iIdx);
        if (order[a].proj == kNever) continue;
        const VqVec3f& kp = paVerts[k.iRep];
        const double reach = t + axis.dot(kp);
        w = std::max(w, a + 1);
        while (w < nVerts && repProj(w) <= reach)
            ++w;
        for (uint32_t b = a + 1; b < w; ++b) {
            VqCollocKey& q = keys[b];
            if (q.iClass != -1) continue;
            if (bFresh) {
                if (dist2(kp, paVerts[q.iRep >= 0 ? uint32_t(q.iRep) : q.iIdx]) > t2) continue;
                if (q.iRep == -1) q.iRep = k.iRep;
            } else if (q.iRep != k.iRep) {
                continue;
            }
            if (!compare(context, k.iIdx, q.iIdx)) continue;
            q.iClass = cls;
        }
    }
    return true;
}

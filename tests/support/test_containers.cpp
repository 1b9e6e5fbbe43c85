#include "VqBitField.h"
#include "VqFlatTable.h"
#include "VqFragVec.h"
#include "VqIdentityMap.h"
#include "VqQuaternion.h"
#include "VqVec.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

TEST(VqContainers, VecGrowsOnIndexedWriteAndBitsPack) {
    VqVec<int> v;
    v[3] = 7;
    EXPECT_EQ(v.length(), 4);
    EXPECT_EQ(v[0], 0);
    EXPECT_EQ(v[3], 7);

    VqBitField<4> nibbles;
    nibbles.set(1, 0xA);
    nibbles.set(7, 0x1F); // wider than a field: only the field's bits stay
    EXPECT_EQ(nibbles.bits(), 0xF00000A0u);
    VqBitVec bits;
    bits.set(70);
    EXPECT_EQ(bits.length(), 71);
    EXPECT_TRUE(bits.get(70));
    EXPECT_FALSE(bits.get(69));
    bits.resize(70);
    bits.resize(71);
    EXPECT_FALSE(bits.get(70)); // shrinking clears what was cut off

    VqFragVec<int, 3> frag;
    for (int i = 0; i < 20; ++i)
        frag.append(i);
    const int* stable = &frag[5];
    for (int i = 20; i < 1000; ++i)
        frag.append(i);
    EXPECT_EQ(stable, &frag[5]);
    EXPECT_EQ(frag[999], 999);
}

// Growth reuses memory that held other values: every way of growing but
// resizeUnset must still give zeros there.
TEST(VqContainers, VecGrowthIsZeroedInReusedMemoryExceptWhenUnset) {
    struct Pair {
        int a;
        float b;
    };
    VqVec<int> v(8, 7);
    VqVec<Pair> p(8, Pair{7, 7.0f});
    v.resize(2), p.resize(2);
    v.resize(5), p.resize(5);
    for (int i = 2; i < 5; ++i) {
        EXPECT_EQ(v[i], 0);
        EXPECT_EQ(p[i].a, 0);
        EXPECT_EQ(p[i].b, 0.0f);
    }
    v.setLength(1);
    v.setLength(3);
    EXPECT_EQ(v[2], 0);
    v.resize(1);
    v[6] = 1; // past the end, inside the capacity
    EXPECT_EQ(std::count(v.begin(), v.end(), 0), 5);
    EXPECT_EQ(VqVec<double>(4), VqVec<double>(4, 0.0));

    const int* before = v.data();
    v.resizeUnset(3);
    v.resizeUnset(8);
    EXPECT_EQ(v.data(), before); // within the capacity: kept in place
    EXPECT_EQ(v.length(), 8);
    EXPECT_EQ(v[0], 7);
}

TEST(VqContainers, PercolateDownKeepsTheSmallestOnTop) {
    std::mt19937 rng(5);
    std::vector<int> heap(200);
    for (int& x : heap)
        x = static_cast<int>(rng() % 1000);
    auto less = [](int a, int b) { return a < b; };
    for (int i = static_cast<int>(heap.size()) / 2; i-- > 0;)
        vqPercolateDown(heap.data(), 200, i, less);
    std::vector<int> sorted;
    for (int n = 200; n > 0; --n) {
        sorted.push_back(heap[0]);
        heap[0] = heap[n - 1];
        if (n > 1) vqPercolateDown(heap.data(), n - 1, 0, less);
    }
    EXPECT_TRUE(std::is_sorted(sorted.begin(), sorted.end()));
}

TEST(VqGeometry, BoxTransformHoldsEveryCornerTightly) {
    VqBox3<float> empty;
    EXPECT_TRUE(empty.isEmpty());
    EXPECT_EQ(empty.min[0], 3.4e38f);

    VqBox3<float> box(VqVec3f(-1, 0, 2), VqVec3f(1, 3, 5));
    VqMatrix4f m = VqQuaternion<float>::fromAxisAngle(VqVec3f(0, 0, 1), 0.7f).toMatrix();
    m[3][0] = 10;
    m[3][2] = -4;
    VqBox3<float> t = vqTransformBox(m, box);
    VqBox3<float> corners;
    for (int i = 0; i < 8; ++i) {
        VqVec3f p((i & 1) ? box.max[0] : box.min[0], (i & 2) ? box.max[1] : box.min[1],
                  (i & 4) ? box.max[2] : box.min[2]);
        corners.extendBy(vqTransformPoint(m, p));
    }
    for (int a = 0; a < 3; ++a) {
        EXPECT_NEAR(t.min[a], corners.min[a], 1e-5f);
        EXPECT_NEAR(t.max[a], corners.max[a], 1e-5f);
    }
    EXPECT_TRUE(vqTransformBox(m, empty).isEmpty());

    VqMatrix4f inv;
    ASSERT_TRUE(m.invert(inv));
    VqMatrix4f id = m * inv;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            EXPECT_NEAR(id[r][c], r == c ? 1.f : 0.f, 1e-6f);
    VqMatrix4f singular;
    singular[2][2] = 0;
    EXPECT_FALSE(singular.invert(inv));
}

namespace {
struct IdEntry {
    int key;
    int value;
};
struct IdTraits {
    static bool empty(const IdEntry& e) { return e.key < 0; }
    static IdEntry emptyEntry() { return IdEntry{-1, 0}; }
    static uint64_t hash(int k) { return Vq::mix64(static_cast<uint64_t>(k)); }
    static bool matches(const IdEntry& e, int k) { return e.key == k; }
    static int keyOf(const IdEntry& e) { return e.key; }
};
} // namespace

// Room reserved up front is room enough: n inserts after reserve(n) never
// move an entry (the table did not grow), a reserve over entries already
// held keeps them all, and a table grows on past what was reserved.
TEST(VqContainers, FlatTableReserveHoldsWhatItPromises) {
    for (size_t n : {size_t(1), size_t(12), size_t(13), size_t(1000), size_t(3 << 16)}) {
        SCOPED_TRACE(n);
        VqFlatTable<IdEntry, int, IdTraits> t;
        t.reserve(n);
        const IdEntry* first = t.insert(0, IdEntry{0, 0}).first;
        for (int k = 1; k < static_cast<int>(n); ++k)
            ASSERT_TRUE(t.insert(k, IdEntry{k, 2 * k}).second);
        EXPECT_EQ(t.find(0), first);

        t.reserve(4 * n);
        ASSERT_EQ(t.size(), n);
        for (int k = 0; k < static_cast<int>(n); ++k) {
            const IdEntry* e = t.find(k);
            ASSERT_TRUE(e && e->value == 2 * k) << k;
        }
        first = t.find(0);
        t.reserve(n); // less than held room: nothing moves
        EXPECT_EQ(t.find(0), first);

        for (int k = static_cast<int>(n); k < static_cast<int>(8 * n); ++k)
            ASSERT_TRUE(t.insert(k, IdEntry{k, 2 * k}).second);
        EXPECT_EQ(t.size(), 8 * n);
        EXPECT_EQ(t.find(static_cast<int>(8 * n)), nullptr);
        EXPECT_EQ(t.find(static_cast<int>(8 * n) - 1)->value, static_cast<int>(16 * n - 2));
    }
    VqFlatTable<IdEntry, int, IdTraits> empty;
    empty.reserve(0);
    EXPECT_EQ(empty.find(1), nullptr);
}

// The vector loops cover four numbers a step from any start: a map broken at
// each place of a block, across blocks and in the tail must be found there.
TEST(VqContainers, IdentityMapIsWrittenAndItsFirstBreakFound) {
    for (uint32_t n = 0; n <= 11; ++n) {
        std::vector<uint32_t> p(n + 1, 99);
        Vq::fillIdentity(p.data(), n);
        EXPECT_EQ(p[n], 99u) << n; // nothing past the end
        for (uint32_t from = 0; from <= n; ++from) {
            EXPECT_EQ(Vq::firstNonIdentity(p.data(), from, n), n) << n << " " << from;
            for (uint32_t bad = from; bad < n; ++bad) {
                p[bad] += 1;
                EXPECT_EQ(Vq::firstNonIdentity(p.data(), from, n), bad) << n << " " << from << " " << bad;
                p[bad] -= 1;
            }
        }
        for (uint32_t i = 0; i < n; ++i)
            EXPECT_EQ(p[i], i);
    }
}

// kEstimateMV16 through the CPU executor, with the pipeline's launch geometry.
#include <gtest/gtest.h>

#include "frames.h"
#include "kernels/motion.h"

namespace {

using namespace ktest;

struct Vectors {
    int blocksX = 0, blocksY = 0;
    std::vector<int2> mv;
    int2 at(int bx, int by) const { return mv[static_cast<std::size_t>(by) * blocksX + bx]; }
};

// Runs one launch; the vector buffer has a guard entry past its end.
Vectors estimate(const Frame& cur, const Frame& ref) {
    Vectors v;
    v.blocksX = qnr::motionBlocksCovering(cur.width);
    v.blocksY = qnr::motionBlocksCovering(cur.height);
    v.mv.assign(static_cast<std::size_t>(v.blocksX) * v.blocksY + 1, int2{99, 99});
    cpuexec::runEstimateMV16(qnr::motionGrid(cur.width, cur.height),
                             motionArgs(cur, ref, v.mv.data(), v.blocksX, v.blocksY, qnr::kMotionRadius,
                                        qnr::kMotionStep));
    EXPECT_EQ(v.mv.back().x, 99) << "wrote past the last block";
    v.mv.pop_back();
    return v;
}

bool is(int2 v, int x, int y) { return v.x == x && v.y == y; }

// cur(x, y) = ref(x + dx, y + dy), edge-clamped.
Frame shifted(const Frame& ref, int dx, int dy) {
    Frame cur = ref;
    for (int y = 0; y < ref.height; ++y)
        for (int x = 0; x < ref.width; ++x) cur.at(x, y) = ref.at(qnr::clampCoord(x + dx, ref.width), qnr::clampCoord(y + dy, ref.height));
    return cur;
}

TEST(MotionSearch, FlatAndBlackReferencesGiveTheFirstCandidate) {
    const Frame flat = makeFrame(40, 33, grey(77));
    for (const int2& v : estimate(flat, flat).mv) EXPECT_TRUE(is(v, -4, -4));
    const Frame black = makeFrame(40, 33, grey(0));
    for (const int2& v : estimate(makeNoise(40, 33, 2), black).mv) EXPECT_TRUE(is(v, -4, -4));
}

TEST(MotionSearch, RecoversKnownShiftsOfATexturedFrame) {
    const Frame ref = makeNoise(96, 80, 21);
    for (const auto& [dx, dy] : {std::pair{0, 0}, std::pair{2, -3}, std::pair{-4, 4}, std::pair{3, 1}}) {
        const Vectors v = estimate(shifted(ref, dx, dy), ref);
        for (int by = 0; by < v.blocksY; ++by)
            for (int bx = 0; bx < v.blocksX; ++bx)
                EXPECT_TRUE(is(v.at(bx, by), dx, dy)) << "block " << bx << "," << by << " shift " << dx << "," << dy
                                                      << " got " << v.at(bx, by).x << "," << v.at(bx, by).y;
    }
}

TEST(MotionSearch, AlphaNeverChangesAVector) {
    const Frame ref = makeNoise(48, 48, 5);
    Frame cur = shifted(ref, 1, 2);
    const Vectors want = estimate(cur, ref);
    for (uchar4& p : cur.px) p.w = static_cast<unsigned char>(p.w ^ 0xa5);
    const Vectors got = estimate(cur, ref);
    for (std::size_t i = 0; i < want.mv.size(); ++i) EXPECT_TRUE(is(got.mv[i], want.mv[i].x, want.mv[i].y));
}

TEST(MotionSearch, PartialLastBlockColumnReadsOnlyInFramePixels) {
    // 1000 = 62 * 16 + 8. The padding beyond the width differs between the
    // frames; reading it would move the last column's vectors off (0, 0).
    Frame ref = makeNoise(1000, 20, 8);
    Frame cur = ref;
    for (int y = 0; y < 20; ++y)
        for (int x = 1000; x < ref.stride; ++x) {
            ref.at(x, y) = grey(0);
            cur.at(x, y) = grey(255);
        }
    const Vectors v = estimate(cur, ref);
    EXPECT_EQ(v.blocksX, 63);
    EXPECT_EQ(v.blocksY, 2);
    for (const int2& m : v.mv) EXPECT_TRUE(is(m, 0, 0));
}

TEST(MotionSearch, PartialBlockIsScoredOnItsEvenLocalColumnsOnly) {
    const qnr::MotionBlock b = qnr::motionBlock(62, 0, 1000, 20);
    EXPECT_EQ(b.width, 8);
    Frame cur = makeFrame(1000, 20, grey(0)), ref = cur;
    for (int y = 0; y < 20; ++y) cur.at(992 + 7, y) = grey(200);  // odd local column: never sampled
    cur.at(992 + 6, 0) = grey(40);                                  // sampled by thread (3, 0)
    EXPECT_EQ(qnr::motionPartialCost(qnr::MotionFrames{cur.view(), ref.view()}, b, 0, 0, 3, 0, 2), qnr::luma(grey(40)));
    float total = 0;
    for (int t = 0; t < 64; ++t) total += qnr::motionPartialCost(qnr::MotionFrames{cur.view(), ref.view()}, b, 0, 0, t % 8, t / 8, 2);
    EXPECT_EQ(total, qnr::luma(grey(40)));
}

TEST(MotionSearch, OnePixelFrameTiesEveryCandidate) {
    const Frame a = makeFrame(1, 1, grey(10)), b = makeFrame(1, 1, grey(200));
    const Vectors v = estimate(a, b);
    ASSERT_EQ(v.mv.size(), 1u);
    EXPECT_TRUE(is(v.mv[0], -4, -4));
}

TEST(MotionSearch, ResultsDoNotDependOnWorkers) {
    const Frame ref = makeNoise(160, 96, 30);
    const Frame cur = makeNoise(160, 96, 31);
    const Vectors want = estimate(cur, ref);
    cpuexec::setWorkerLimit(1);
    const Vectors got = estimate(cur, ref);
    cpuexec::setWorkerLimit(0);
    for (std::size_t i = 0; i < want.mv.size(); ++i) EXPECT_TRUE(is(got.mv[i], want.mv[i].x, want.mv[i].y));
}

}  // namespace

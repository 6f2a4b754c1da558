// Every instruction-set build of the CPU executor, with any number of workers,
// gives the bytes of the plain per-thread code. Shared by the kernel tests and
// the Windows test host, which runs the same checks on the mingw-w64 builds
// under Wine. Each check returns "" or a description of its first difference.
#pragma once

#include <climits>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "kernels/motion.h"
#include "kernels/process.h"
#include "tests/kernels/frames.h"
#include "tests/kernels/testing/cpu_executor_testing.h"

namespace ksets {

using cpuexec::InstructionSet;

// Runs `check` with each supported build, on one thread and on three;
// afterwards the executor is back on its own choice and every core.
template <class Check>
std::string forEachBuildAndWorkers(const Check& check) {
    const InstructionSet chosen = cpuexec::instructionSetInUse();
    std::string failure;
    for (InstructionSet s : cpuexec::supportedInstructionSets()) {
        cpuexec::useInstructionSet(s);
        for (unsigned workers = 1; workers <= 3 && failure.empty(); workers += 2) {
            cpuexec::setWorkerLimit(workers);
            failure = check();
            if (!failure.empty())
                failure = std::string(cpuexec::instructionSetName(s)) + ", " + std::to_string(workers) + " workers: " + failure;
        }
        if (!failure.empty()) break;
    }
    cpuexec::useInstructionSet(chosen);
    cpuexec::setWorkerLimit(0);
    return failure;
}

template <class T>
std::string firstDifference(const std::vector<T>& got, const std::vector<T>& want, const std::string& what) {
    if (got.size() != want.size()) return what + ": sizes differ";
    for (std::size_t i = 0; i < got.size(); ++i)
        if (std::memcmp(&got[i], &want[i], sizeof(T)) != 0)
            return what + ": first difference at element " + std::to_string(i);
    return "";
}

// ---- kProcess ----------------------------------------------------------------

// Every stage's input varied, vectors included, some far outside the frame.
inline ktest::ProcessInputs texturedInputs(int width, int height) {
    ktest::ProcessInputs in(ktest::makeNoise(width, height, 41, 20, 230));
    in.prev = ktest::makeNoise(width, height, 42, 20, 230);
    in.prev2 = ktest::makeNoise(width, height, 43, 20, 230);
    in.prevOut = ktest::makeNoise(width, height, 44, 20, 230);
    for (std::size_t i = 0; i < in.mv1.size(); ++i) {
        in.mv1[i] = int2{static_cast<int>(i % 9) - 4, static_cast<int>(i % 5) - 2};
        in.mv2[i] = int2{2 - static_cast<int>(i % 5), static_cast<int>(i % 7) - 3};
    }
    in.mv1[0] = int2{INT_MAX, INT_MIN};
    in.mv2.back() = int2{INT_MIN, INT_MAX};
    return in;
}

// Settings for each radius and stage switch, and settings no dialog allows.
inline std::vector<CudaNRParams> processSettings() {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    return {
        ktest::defaultParams(3.0f),                 // the defaults: radius 4
        {0.5f, 0.9f, 1.5f, 0.5f, 0.4f, 2.0f},       // radius 3
        {4.0f, 0.5f, 0.5f, 0.3f, 1.0f, 20.0f},      // radius 5
        {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f},       // every switch off
        {1.0f, 0.005f, 0.0f, 0.0f, 0.0f, 30.0f},    // temporal, deblock and sharpen skipped
        ktest::defaultParams(nan),
        {-3.0f, 2.0f, 9.0f, -1.0f, 7.0f, inf},
        {1.0f, 0.5f, 1.0f, 0.5f, 0.5f, -inf},  // NaN lanes from the sharpening on
    };
}

inline ktest::Frame plainProcess(const ktest::ProcessInputs& in, const CudaNRParams& p, int columns, int rows) {
    ktest::Frame out = in.cur;
    for (uchar4& px : out.px) px = ktest::bgr(1, 2, 3, 4);
    const qnr::ProcessArgs a = ktest::processArgs(in, out.data(), p);
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < columns; ++x) qnr::processPixel(a, x, y);
    return out;
}

// Whole frames narrower and wider than a register, and grids that cover
// only part of their frame.
inline std::string checkProcess() {
    struct Case {
        int width, height;
        cpuexec::Dim3 grid;  // a grid of 0: one that covers the frame
        int columns, rows;   // the pixels the grid covers
    };
    const Case cases[] = {{37, 21, {0, 0, 0}, 37, 21}, {1, 9, {0, 0, 0}, 1, 9},    {5, 3, {0, 0, 0}, 5, 3},
                          {17, 20, {0, 0, 0}, 17, 20}, {40, 2, {0, 0, 0}, 40, 2},  {37, 21, {1, 1, 1}, 16, 16},
                          {53, 40, {3, 2, 1}, 48, 32}};
    for (const Case& c : cases) {
        const ktest::ProcessInputs in = texturedInputs(c.width, c.height);
        for (const CudaNRParams& p : processSettings()) {
            const ktest::Frame want = plainProcess(in, p, c.columns, c.rows);
            const std::string failure = forEachBuildAndWorkers([&] {
                const ktest::Frame got = ktest::runProcess(in, p, c.grid);
                return firstDifference(got.px, want.px, "kProcess on " + std::to_string(c.width) + "x" +
                                                            std::to_string(c.height) + " sigma " +
                                                            std::to_string(p.sigmaY));
            });
            if (!failure.empty()) return failure;
        }
    }
    return "";
}

// ---- kEstimateMV16 -------------------------------------------------------------

struct MotionSearch {
    int radius, step;
};

inline std::vector<int2> estimate(const ktest::Frame& cur, const ktest::Frame& ref, const MotionSearch& s) {
    const int blocksX = qnr::motionBlocksCovering(cur.width), blocksY = qnr::motionBlocksCovering(cur.height);
    std::vector<int2> mv(static_cast<std::size_t>(blocksX) * blocksY, int2{99, 99});
    cpuexec::runEstimateMV16(qnr::motionGrid(cur.width, cur.height),
                             ktest::motionArgs(cur, ref, mv.data(), blocksX, blocksY, s.radius, s.step));
    return mv;
}

// The pipeline's search and others that use the executor's tiles or not.
inline std::string checkMotion() {
    const ktest::Frame ref = ktest::makeNoise(72, 40, 51, 40, 200);  // partial blocks right and below
    ktest::Frame cur = ref;
    for (int y = 0; y < cur.height; ++y)
        for (int x = 0; x < cur.width; ++x)
            cur.at(x, y) =
                ref.at(qnr::clampCoord(x + 2 + x / 40, cur.width), qnr::clampCoord(y - 1 + y / 30, cur.height));
    const MotionSearch searches[] = {{qnr::kMotionRadius, qnr::kMotionStep}, {3, 1}, {16, 2}, {17, 2}, {4, 3},
                                     {0, 2}, {-1, 2}, {2, 40}};
    const InstructionSet chosen = cpuexec::instructionSetInUse();
    for (const MotionSearch& s : searches) {
        cpuexec::useInstructionSet(InstructionSet::Baseline);
        const std::vector<int2> want = estimate(cur, ref, s);
        cpuexec::useInstructionSet(chosen);
        const std::string failure = forEachBuildAndWorkers([&] {
            const std::string search = "radius " + std::to_string(s.radius) + ", step " + std::to_string(s.step);
            return firstDifference(estimate(cur, ref, s), want, "kEstimateMV16 with " + search);
        });
        if (!failure.empty()) return failure;
    }
    return "";
}

// Low-contrast frames, unrelated to each other, so that candidates' costs lie
// close and one column read wrong at a frame's right edge changes a vector.
// The widths are 10 and 11 past a multiple of 16 (and of 32, and 26 and 27):
// the pipeline's search window there starts a register's reach short of the
// edge, so straight row loads must stop one column before it.
inline std::string checkMotionAtRightEdges() {
    const MotionSearch searches[] = {{qnr::kMotionRadius, qnr::kMotionStep}, {3, 2}, {5, 2}};
    const InstructionSet chosen = cpuexec::instructionSetInUse();
    for (const int width : {42, 43, 58, 59, 426}) {
        const ktest::Frame ref = ktest::makeNoise(width, 40, 70 + width, 100, 112);
        const ktest::Frame cur = ktest::makeNoise(width, 40, 170 + width, 100, 112);
        for (const MotionSearch& s : searches) {
            cpuexec::useInstructionSet(InstructionSet::Baseline);
            const std::vector<int2> want = estimate(cur, ref, s);
            cpuexec::useInstructionSet(chosen);
            const std::string failure = forEachBuildAndWorkers([&] {
                return firstDifference(estimate(cur, ref, s), want,
                                       "kEstimateMV16 on width " + std::to_string(width) + " with radius " +
                                           std::to_string(s.radius));
            });
            if (!failure.empty()) return failure;
        }
    }
    return "";
}

// ---- kProfileAuto ----------------------------------------------------------------

// A grid for the points `step` apart, two layers deep (both write the same
// slots); every block's sum, then every block's weight.
inline std::vector<double> profile(const ktest::Frame& f, int step) {
    const unsigned pointsX = (f.width + step - 1) / step, pointsY = (f.height + step - 1) / step;
    const cpuexec::Dim3 grid{(pointsX + qnr::kProfileThreadsX - 1) / qnr::kProfileThreadsX,
                             (pointsY + qnr::kProfileThreadsY - 1) / qnr::kProfileThreadsY, 2};
    const std::size_t blocks = static_cast<std::size_t>(grid.x) * grid.y;
    std::vector<double> slots(2 * blocks, -1.0);
    cpuexec::runProfileAuto(grid, ktest::profileArgs(f, step, slots.data(), slots.data() + blocks));
    return slots;
}

inline std::string checkProfile() {
    const ktest::Frame f = ktest::makeNoise(70, 45, 61, 90, 110);
    const InstructionSet chosen = cpuexec::instructionSetInUse();
    for (const int step : {qnr::kProfileStep, 1, 3}) {
        cpuexec::useInstructionSet(InstructionSet::Baseline);
        const std::vector<double> want = profile(f, step);
        cpuexec::useInstructionSet(chosen);
        const std::string failure = forEachBuildAndWorkers([&] {
            return firstDifference(profile(f, step), want, "kProfileAuto with step " + std::to_string(step));
        });
        if (!failure.empty()) return failure;
    }
    return "";
}

// ---- the fast exponential ----------------------------------------------------

// Arguments across the weights' range and beyond, specials included.
inline std::vector<float> exponentArguments() {
    std::vector<float> v;
    for (float x = -115.0f; x <= 95.0f; x += 0.01373f) v.push_back(x);
    const float specials[] = {0.0f, -0.0f, -1e-30f, 1e-30f, std::numeric_limits<float>::denorm_min(),
                              -104.0f, -103.9f, -87.3f, 88.8f, 89.0f, -1e30f, 1e30f,
                              std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
                              std::numeric_limits<float>::quiet_NaN()};
    v.insert(v.end(), std::begin(specials), std::end(specials));
    return v;
}

inline std::string checkFastExp() {
    const std::vector<float> v = exponentArguments();
    std::vector<float> want(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) want[i] = qnr::fastExp(v[i]);
    return forEachBuildAndWorkers([&] {
        std::vector<float> got(v.size());
        cpuexec::fastExps(v.data(), got.data(), static_cast<unsigned>(v.size()));
        return firstDifference(got, want, "fastExp");
    });
}

}  // namespace ksets

// Between the CPU executor's front (kernels/cpu_executor.cpp: validation,
// dispatch, workers) and its builds for each instruction set
// (kernels/executor_*.cpp): what one launch needs, and the functions that run
// one share of it. Only plain records cross between them; the kernels' code
// is compiled separately in each build. A share writes only its own outputs, so shares may run on
// any thread in any order.
#pragma once
#include "kernels/common.h"
#include "kernels/helpers.h"
#include "kernels/process.h"

namespace cpuexec::detail {

// Largest squared tap distance of the spatial window (its corner).
constexpr int kMaxSpatialDist2 = 2 * qnr::kMaxSpatialRadius * qnr::kMaxSpatialRadius;

struct ProcessLaunch {
    qnr::ProcessArgs args;
    int columns, rows;  // pixels the grid covers, within the frame
    // spatialWeight(d, 1/sigmaS) of the launch's settings, for d = 0..50.
    float spatialWeights[kMaxSpatialDist2 + 1];
    bool vectors;  // the frame suits the vector paths (pixel offsets fit 32 bits)
};

struct MotionLaunch {
    qnr::FrameView cur, ref;
    int2* mv;
    int blocksX, blocksY, radius, step;
    unsigned columns;  // blocks per row to estimate
};

struct ProfileLaunch {
    qnr::FrameView frame;
    int step;
    unsigned gridX;
    bool vectors;
    double* blockSums;  // one slot per block, numbered row by row
    double* blockWeights;
};

struct BlockTotal {
    double sum, weight;
};

struct KernelSet {
    // kProcess for rows [firstRow, endRow) of the covered pixels.
    void (*processRows)(const ProcessLaunch&, int firstRow, int endRow);
    // kEstimateMV16 for one row of blocks.
    void (*motionRow)(const MotionLaunch&, unsigned by);
    // kProfileAuto's totals of `count` blocks from block number `first` (row by
    // row, gridX blocks per row), into those blocks' slots.
    void (*profileBlocks)(const ProfileLaunch&, unsigned long long first, unsigned count);
};

extern const KernelSet kBaselineKernels;
extern const KernelSet kAvx2Kernels;
extern const KernelSet kAvx512Kernels;

}  // namespace cpuexec::detail

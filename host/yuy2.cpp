#include "host/yuy2.h"

#include "platform/row_bands.h"
#include "kernels/common.h"

namespace {

uint8_t Clamp255(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

void WriteBGRA(uint8_t* px, int y, int d, int e) {
    const int c = y >= 16 ? 298 * (y - 16) : 0;
    px[0] = Clamp255((c + 516 * d + 128) >> 8);
    px[1] = Clamp255((c - 100 * d - 208 * e + 128) >> 8);
    px[2] = Clamp255((c + 409 * e + 128) >> 8);
    px[3] = 255;
}

void ConvertRowToBGRA(const uint8_t* s, uint8_t* d, int width) {
    for (int k = 0; 2 * k < width; ++k) {
        const uint8_t* pair = s + 4 * k;
        const int du = pair[1] - 128;
        const int ev = pair[3] - 128;
        WriteBGRA(d + 8 * k, pair[0], du, ev);
        if (2 * k + 1 < width) WriteBGRA(d + 8 * k + 4, pair[2], du, ev);
    }
}

struct YCbCr {
    int y, cb, cr;
};

YCbCr FromBGRA(const uint8_t* px) {
    const int b = px[0], g = px[1], r = px[2];
    const int y = ((66 * r + 129 * g + 25 * b + 128) >> 8) + 16;
    return {y > 255 ? 255 : y, (112 * b - 74 * g - 38 * r + 128) >> 8,
            (112 * r - 94 * g - 18 * b + 128) >> 8};
}

void ConvertRowToYUY2(const uint8_t* s, uint8_t* d, int width) {
    for (int k = 0; 2 * k < width; ++k) {
        const uint8_t* p0 = s + 8 * k;
        const uint8_t* p1 = 2 * k + 1 < width ? p0 + 4 : p0;
        const YCbCr a = FromBGRA(p0);
        const YCbCr b = FromBGRA(p1);
        uint8_t* pair = d + 4 * k;
        pair[0] = static_cast<uint8_t>(a.y);
        pair[1] = Clamp255((a.cb + b.cb + 256) >> 1);
        pair[2] = static_cast<uint8_t>(b.y);
        pair[3] = Clamp255((a.cr + b.cr + 256) >> 1);
    }
}

using RowConversion = void (*)(const uint8_t* src, uint8_t* dst, int width);

// Converts rows whose two sides hold srcRowBytes and dstRowBytes each, in row bands.
void ConvertRows(RowConversion convertRow, std::size_t srcRowBytes, std::size_t dstRowBytes, const uint8_t* src,
                 ptrdiff_t srcPitch, uint8_t* dst, ptrdiff_t dstPitch, int width, int rows) {
    const platform::RowSpan from{src, srcPitch, srcRowBytes}, to{dst, dstPitch, dstRowBytes};
    platform::ForEachRowBand(from, to, rows, [&](long long first, long long end) {
        for (long long r = first; r < end; ++r) convertRow(src + r * srcPitch, dst + r * dstPitch, width);
    });
}

// A row's bytes in each format.
std::size_t Yuy2Bytes(int width) { return static_cast<std::size_t>(YUY2RowBytes(width > 0 ? width : 0)); }
std::size_t BgraBytes(int width) { return static_cast<std::size_t>(width > 0 ? width : 0) * kBgraPixelBytes; }

}  // namespace

void ConvertYUY2ToBGRA(const uint8_t* src, ptrdiff_t srcPitch, uint8_t* dst,
                       ptrdiff_t dstPitch, int width, int rows) {
    ConvertRows(ConvertRowToBGRA, Yuy2Bytes(width), BgraBytes(width), src, srcPitch, dst, dstPitch, width, rows);
}

void ConvertBGRAToYUY2(const uint8_t* src, ptrdiff_t srcPitch, uint8_t* dst,
                       ptrdiff_t dstPitch, int width, int rows) {
    ConvertRows(ConvertRowToYUY2, BgraBytes(width), Yuy2Bytes(width), src, srcPitch, dst, dstPitch, width, rows);
}

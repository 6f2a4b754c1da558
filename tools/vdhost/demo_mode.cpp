#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "image_metrics.h"
#include "modes.h"
#include "png_writer.h"
#include "synthetic_clip.h"
#include "video_io.h"
#include "kernels/common.h"

namespace {

bool MakeFolders(const std::string& path, std::string& error) {
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/') continue;
        std::string prefix = path.substr(0, at);
        if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
            error = "cannot create folder '" + prefix + "': " + std::strerror(errno);
            return false;
        }
    }
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        error = "'" + path + "' is not a folder";
        return false;
    }
    return true;
}

// Noisy on the left, filtered on the right.
void SideBySide(const uint8_t* left, const uint8_t* right, int width, int height, uint8_t* out) {
    size_t rowBytes = static_cast<size_t>(width) * kBgraPixelBytes;
    for (int y = 0; y < height; ++y) {
        std::memcpy(out + y * rowBytes * 2, left + y * rowBytes, rowBytes);
        std::memcpy(out + y * rowBytes * 2 + rowBytes, right + y * rowBytes, rowBytes);
    }
}

// The optional video of the demo; absent when ffmpeg is missing.
struct DemoVideo {
    bool enabled = false;
    ChildProcess encoder;
    std::string temporaryPath;
    std::string finalPath;
};

bool StartDemoVideo(const DemoOptions& demo, DemoVideo& video, std::string& error) {
    FfmpegTools tools;
    std::string missing;
    if (!FindFfmpeg(tools, missing)) {
        std::fprintf(stderr, "vdhost: ffmpeg not found on PATH; no video is written, the numbers follow\n");
        return true;
    }
    video.finalPath = demo.outDir + "/demo.mkv";
    VideoInfo info{demo.size.width * 2, demo.size.height, "24"};
    if (!CreateTemporaryOutput(video.finalPath, video.temporaryPath, error)) return false;
    if (!SpawnChild(EncoderCommand(tools, info, "", video.temporaryPath, "mkv"), ChildPipes{true, false},
                    video.encoder, error)) {
        std::remove(video.temporaryPath.c_str());
        return false;
    }
    video.enabled = true;
    return true;
}

bool FinishDemoVideo(DemoVideo& video, bool keep, std::string& error) {
    if (!video.enabled) return true;
    std::string message;
    bool encoded = FinishChild(video.encoder, message);
    if (keep && encoded) return CommitOutput(video.temporaryPath, video.finalPath, error);
    std::remove(video.temporaryPath.c_str());
    if (keep) error = "ffmpeg could not write '" + video.finalPath + "'" + (message.empty() ? "" : ": " + message);
    return !keep;
}

struct DemoResult {
    ErrorTally noisy;
    ErrorTally filtered;
    int firstMeasuredFrame = 0;
    double filterSeconds = 0.0;
};

// The filter's temporal stages need a few frames of history before they settle.
int FirstMeasuredFrame(int frames) { return frames > 8 ? 4 : 0; }

bool RunClip(const DemoOptions& demo, FilterSession& session, DemoVideo& video, DemoResult& result,
             std::string& error) {
    SyntheticClip clip{demo.size.width, demo.size.height, demo.noiseSigma};
    const size_t pixels = static_cast<size_t>(clip.width) * clip.height;
    std::vector<uint8_t> clean(pixels * kBgraPixelBytes), noisy(pixels * kBgraPixelBytes), filtered(pixels * kBgraPixelBytes),
        pair(pixels * 2 * kBgraPixelBytes);
    result.firstMeasuredFrame = FirstMeasuredFrame(demo.frames);
    for (int frame = 0; frame < demo.frames; ++frame) {
        if (g_interrupted) {
            error = "interrupted";
            return false;
        }
        RenderCleanFrame(clip, frame, clean.data());
        AddGaussianNoise(clip, frame, clean.data(), noisy.data());
        double start = NowSeconds();
        FilterFrame(session, noisy.data(), filtered.data());
        result.filterSeconds += NowSeconds() - start;
        if (frame >= result.firstMeasuredFrame) {
            AddFrameError(result.noisy, noisy.data(), clean.data(), pixels);
            AddFrameError(result.filtered, filtered.data(), clean.data(), pixels);
        }
        SideBySide(noisy.data(), filtered.data(), clip.width, clip.height, pair.data());
        if (video.enabled && !WriteFully(video.encoder.stdinFd, pair.data(), pair.size())) {
            error = "ffmpeg stopped taking frames";
            return false;
        }
        if (frame + 1 == demo.frames &&
            !WritePngFile(demo.outDir + "/before_after.png", pair.data(), clip.width * 2, clip.height, error)) {
            return false;
        }
    }
    return true;
}

void PrintResult(const DemoOptions& demo, const DemoResult& result, const DemoVideo& video) {
    const double noisyRgb = RgbPsnr(result.noisy);
    const double filteredRgb = RgbPsnr(result.filtered);
    std::printf("clip: %dx%d, %d frames, Gaussian noise sigma %.1f (the same sample on B, G and R)\n",
                demo.size.width, demo.size.height, demo.frames, demo.noiseSigma);
    std::printf("PSNR against the clean clip, frames %d-%d:\n", result.firstMeasuredFrame + 1, demo.frames);
    std::printf("  RGB:  noisy %.2f dB, filtered %.2f dB (%+.2f dB)\n", noisyRgb, filteredRgb,
                filteredRgb - noisyRgb);
    std::printf("  luma: noisy %.2f dB, filtered %.2f dB (%+.2f dB)\n", LumaPsnr(result.noisy),
                LumaPsnr(result.filtered), LumaPsnr(result.filtered) - LumaPsnr(result.noisy));
    double fps = result.filterSeconds > 0.0 ? demo.frames / result.filterSeconds : 0.0;
    std::printf("filter throughput: %.1f frames/s, %.1f Mpixel/s\n", fps,
                fps * demo.size.width * demo.size.height / 1e6);
    std::printf("wrote %s/before_after.png (noisy left, filtered right, last frame)\n", demo.outDir.c_str());
    if (video.enabled) std::printf("wrote %s (noisy left, filtered right, FFV1)\n", video.finalPath.c_str());
}

}  // namespace

int RunDemoMode(const VdhostOptions& options) {
    const DemoOptions& demo = options.demo;
    std::string error;
    if (!MakeFolders(demo.outDir, error)) return Fail(error);
    FilterSession session;
    if (!OpenSessionForFrames(options, demo.size.width, demo.size.height, session, error)) {
        CloseFilterSession(session);
        return Fail(error);
    }
    DemoVideo video;
    DemoResult result;
    bool ok = StartDemoVideo(demo, video, error) && RunClip(demo, session, video, result, error);
    if (video.enabled) CloseChildStdin(video.encoder);
    std::string videoError;
    bool videoOk = FinishDemoVideo(video, ok, videoError);
    CloseFilterSession(session);
    if (!ok) return Fail(error);
    if (!videoOk) return Fail(videoError);
    PrintResult(demo, result, video);
    return 0;
}

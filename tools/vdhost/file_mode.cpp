#include <sys/stat.h>

#include <cstdio>
#include <vector>

#include "modes.h"
#include "video_io.h"
#include "kernels/common.h"

namespace {

bool CheckPaths(const std::string& input, const std::string& output, std::string& error) {
    struct stat in;
    if (stat(input.c_str(), &in) != 0) {
        error = "input '" + input + "' does not exist";
        return false;
    }
    if (!S_ISREG(in.st_mode)) {
        error = "input '" + input + "' is not a file";
        return false;
    }
    struct stat out;
    bool outputExists = stat(output.c_str(), &out) == 0;
    if (output.empty() || output.back() == '/' || (outputExists && S_ISDIR(out.st_mode))) {
        error = "output '" + output + "' must be a file name, not a folder";
        return false;
    }
    if (outputExists && out.st_dev == in.st_dev && out.st_ino == in.st_ino) {
        error = "output '" + output + "' is the input file; choose another name";
        return false;
    }
    return true;
}

// The running pipeline: decoder -> filter -> encoder, and the file it writes.
struct Pipeline {
    ChildProcess decoder;
    ChildProcess encoder;
    std::string temporaryPath;
};

void AbandonPipeline(Pipeline& pipeline) {
    AbortChild(pipeline.decoder);
    AbortChild(pipeline.encoder);
    if (!pipeline.temporaryPath.empty()) std::remove(pipeline.temporaryPath.c_str());
    pipeline.temporaryPath.clear();
}

bool StartPipeline(const FfmpegTools& tools, const VideoInfo& info, const VdhostOptions& options,
                   Pipeline& pipeline, std::string& error) {
    if (!CreateTemporaryOutput(options.outputPath, pipeline.temporaryPath, error)) return false;
    std::string audio = options.keepAudio ? options.inputPath : "";
    std::string extension = FileExtension(options.outputPath);
    return SpawnChild(DecoderCommand(tools, options.inputPath), ChildPipes{false, true}, pipeline.decoder, error) &&
           SpawnChild(EncoderCommand(tools, info, audio, pipeline.temporaryPath, extension), ChildPipes{true, false},
                      pipeline.encoder, error);
}

// Moves every frame through the filter; false with error set on any fault.
bool PumpFrames(FilterSession& session, Pipeline& pipeline, const VideoInfo& info, long& frames,
                std::string& error) {
    const size_t frameBytes = static_cast<size_t>(info.width) * info.height * kBgraPixelBytes;
    std::vector<uint8_t> input(frameBytes);
    std::vector<uint8_t> output(frameBytes);
    const double start = NowSeconds();
    ProgressLine progress{start, start};
    for (;;) {
        size_t got = 0;
        bool readOk = ReadFully(pipeline.decoder.stdoutFd, input.data(), frameBytes, got);
        if (g_interrupted) {
            error = "interrupted";
            return false;
        }
        if (!readOk) {
            error = "cannot read decoded frames from ffmpeg";
            return false;
        }
        if (got == 0) break;
        if (got < frameBytes) {
            error = "decoded frame " + std::to_string(frames + 1) + " is " + std::to_string(got) + " bytes, not " +
                    std::to_string(frameBytes) + " (" + std::to_string(info.width) + "x" +
                    std::to_string(info.height) + " BGRA): the stream's size does not match";
            return false;
        }
        FilterFrame(session, input.data(), output.data());
        if (!WriteFully(pipeline.encoder.stdinFd, output.data(), frameBytes)) {
            error = "ffmpeg stopped taking frames";
            return false;
        }
        ShowProgress(progress, ++frames, false);
    }
    if (frames > 0) ShowProgress(progress, frames, true);
    return true;
}

// ffmpeg names the temporary file; the user knows only the final one.
std::string NameFinalOutput(std::string message, const Pipeline& pipeline, const std::string& finalPath) {
    if (pipeline.temporaryPath.empty()) return message;
    for (size_t at = message.find(pipeline.temporaryPath); at != std::string::npos;
         at = message.find(pipeline.temporaryPath, at + finalPath.size())) {
        message.replace(at, pipeline.temporaryPath.size(), finalPath);
    }
    return message;
}

// Waits for both children; the output counts only when both succeeded.
bool FinishPipeline(Pipeline& pipeline, const VdhostOptions& options, long frames, std::string& error) {
    CloseChildStdin(pipeline.encoder);
    std::string decoderMessage;
    std::string encoderMessage;
    bool decoded = FinishChild(pipeline.decoder, decoderMessage);
    bool encoded = FinishChild(pipeline.encoder, encoderMessage);
    if (!decoded) {
        error = "ffmpeg could not decode '" + options.inputPath + "'" + (decoderMessage.empty() ? "" : ": " + decoderMessage);
    } else if (!encoded) {
        error = "ffmpeg could not write '" + options.outputPath + "'" +
                (encoderMessage.empty() ? "" : ": " + NameFinalOutput(encoderMessage, pipeline, options.outputPath));
    } else if (frames == 0) {
        error = "no frames decoded from '" + options.inputPath + "'";
    } else {
        bool committed = CommitOutput(pipeline.temporaryPath, options.outputPath, error);
        pipeline.temporaryPath.clear();
        return committed;
    }
    return false;
}

// Prefers ffmpeg's own words for why the pipeline broke over ours.
std::string ExplainBreak(Pipeline& pipeline, const std::string& ours, const std::string& finalPath) {
    CloseChildStdin(pipeline.encoder);
    std::string encoderMessage;
    std::string decoderMessage;
    bool encoded = FinishChild(pipeline.encoder, encoderMessage);
    bool decoded = FinishChild(pipeline.decoder, decoderMessage);
    if (!encoded && !encoderMessage.empty()) return ours + ": " + NameFinalOutput(encoderMessage, pipeline, finalPath);
    if (!decoded && !decoderMessage.empty()) return ours + ": " + decoderMessage;
    return ours;
}

}  // namespace

int RunFileMode(const VdhostOptions& options) {
    std::string error;
    FfmpegTools tools;
    VideoInfo info;
    if (!CheckPaths(options.inputPath, options.outputPath, error) || !FindFfmpeg(tools, error) ||
        !ProbeVideo(tools, options.inputPath, info, error)) {
        return Fail(error);
    }
    FilterSession session;
    if (!OpenSessionForFrames(options, info.width, info.height, session, error)) {
        CloseFilterSession(session);
        return Fail(error);
    }
    Pipeline pipeline;
    long frames = 0;
    bool ok = StartPipeline(tools, info, options, pipeline, error);
    if (ok && !PumpFrames(session, pipeline, info, frames, error)) {
        error = ExplainBreak(pipeline, error, options.outputPath);
        ok = false;
    }
    ok = ok && FinishPipeline(pipeline, options, frames, error);
    AbandonPipeline(pipeline);
    CloseFilterSession(session);
    if (!ok) return Fail(error);
    std::fprintf(stderr, "vdhost: wrote %s (%ld frames)\n", options.outputPath.c_str(), frames);
    return 0;
}

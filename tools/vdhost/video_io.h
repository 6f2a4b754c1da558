// ffmpeg as decoder and encoder of BGRA frames, and the temporary output
// file that becomes the real one only on success.
#pragma once
#include <string>
#include <vector>

#include "child_process.h"

struct VideoInfo {
    int width = 0;
    int height = 0;
    std::string frameRate = "25";  // as ffmpeg takes it, e.g. "30000/1001"
};

struct FfmpegTools {
    std::string ffmpeg;
    std::string ffprobe;
};

bool FindFfmpeg(FfmpegTools& tools, std::string& error);

// Reads the first video stream's display size (rotation applied) and rate.
bool ProbeVideo(const FfmpegTools& tools, const std::string& path, VideoInfo& info, std::string& error);
bool ParseProbeOutput(const std::string& text, VideoInfo& info);

// Lower-case extension without the dot; empty when there is none.
std::string FileExtension(const std::string& path);

std::vector<std::string> DecoderCommand(const FfmpegTools& tools, const std::string& input);

// Encoder reading raw BGRA frames on stdin; audio is taken from audioSource
// when it is not empty and the output container is one we know carries it.
std::vector<std::string> EncoderCommand(const FfmpegTools& tools, const VideoInfo& info,
                                        const std::string& audioSource, const std::string& output,
                                        const std::string& extension);

// A new, empty, uniquely named file beside finalPath with the same extension
// (ffmpeg picks the format from it), hidden by a leading dot.
bool CreateTemporaryOutput(const std::string& finalPath, std::string& temporaryPath, std::string& error);

// Renames the finished temporary file onto the final path.
bool CommitOutput(const std::string& temporaryPath, const std::string& finalPath, std::string& error);

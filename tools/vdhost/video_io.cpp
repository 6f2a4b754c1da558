#include "video_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "options.h"

namespace {

bool ValidRate(const std::string& rate) {
    int numerator = 0;
    int denominator = 1;
    size_t slash = rate.find('/');
    std::string top = rate.substr(0, slash);
    if (!ParseIntArg(top, numerator)) return false;
    if (slash != std::string::npos && !ParseIntArg(rate.substr(slash + 1), denominator)) return false;
    return numerator > 0 && denominator > 0;
}

bool CarriesAudio(const std::string& extension) {
    static const char* const kContainers[] = {"mkv", "mp4", "mov", "m4v", "webm", "avi"};
    return std::any_of(std::begin(kContainers), std::end(kContainers),
                       [&](const char* known) { return extension == known; });
}

void AppendVideoCodec(std::vector<std::string>& command, const VideoInfo& info, const std::string& extension) {
    if (extension == "mkv") {
        command.insert(command.end(), {"-c:v", "ffv1", "-level", "3", "-pix_fmt", "bgr0"});
        return;
    }
    // Players expect 4:2:0 in these containers; it needs even sides.
    bool playerFormat = extension == "mp4" || extension == "mov" || extension == "m4v" || extension == "webm";
    if (playerFormat && info.width % 2 == 0 && info.height % 2 == 0) {
        command.insert(command.end(), {"-pix_fmt", "yuv420p"});
    }
}

}  // namespace

bool FindFfmpeg(FfmpegTools& tools, std::string& error) {
    if (!FindExecutable("ffmpeg", tools.ffmpeg) || !FindExecutable("ffprobe", tools.ffprobe)) {
        error = "ffmpeg and ffprobe are needed for video files but were not found on PATH "
                "(scripts/setup.sh installs them)";
        return false;
    }
    return true;
}

bool ParseProbeOutput(const std::string& text, VideoInfo& info) {
    std::istringstream lines(text);
    std::string line;
    int rotation = 0;
    std::string averageRate;
    std::string baseRate;
    info = VideoInfo{};
    while (std::getline(lines, line)) {
        size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string key = line.substr(0, equals);
        std::string value = line.substr(equals + 1);
        while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back()))) value.pop_back();
        if (key == "width" && info.width == 0) ParseIntArg(value, info.width);
        if (key == "height" && info.height == 0) ParseIntArg(value, info.height);
        if (key == "rotation") ParseIntArg(value, rotation);
        if (key == "avg_frame_rate" && averageRate.empty()) averageRate = value;
        if (key == "r_frame_rate" && baseRate.empty()) baseRate = value;
    }
    if (info.width < 1 || info.height < 1 || info.width > kMaxFrameSide || info.height > kMaxFrameSide) return false;
    // ffmpeg turns the picture upright when it decodes, so a quarter turn swaps the sides.
    if (((rotation % 180) + 180) % 180 == 90) std::swap(info.width, info.height);
    if (ValidRate(averageRate)) {
        info.frameRate = averageRate;
    } else if (ValidRate(baseRate)) {
        info.frameRate = baseRate;
    }
    return true;
}

bool ProbeVideo(const FfmpegTools& tools, const std::string& path, VideoInfo& info, std::string& error) {
    std::string output;
    std::vector<std::string> command = {tools.ffprobe, "-v", "error", "-select_streams", "v:0",
                                        "-show_entries",
                                        "stream=width,height,avg_frame_rate,r_frame_rate:stream_side_data=rotation",
                                        "-of", "default=noprint_wrappers=1", path};
    if (!CaptureOutput(command, output, error)) {
        error = "cannot read '" + path + "' as a video: " + error;
        return false;
    }
    if (!ParseProbeOutput(output, info)) {
        error = "'" + path + "' has no video stream vdhost can filter";
        return false;
    }
    return true;
}

std::string FileExtension(const std::string& path) {
    size_t slash = path.rfind('/');
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot + 1 == path.size()) return "";
    std::string extension = path.substr(dot + 1);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

std::vector<std::string> DecoderCommand(const FfmpegTools& tools, const std::string& input) {
    return {tools.ffmpeg, "-hide_banner", "-nostdin", "-loglevel", "error", "-i",     input, "-map",
            "0:v:0",      "-f",           "rawvideo", "-pix_fmt",  "bgra",  "-"};
}

std::vector<std::string> EncoderCommand(const FfmpegTools& tools, const VideoInfo& info,
                                        const std::string& audioSource, const std::string& output,
                                        const std::string& extension) {
    std::string size = std::to_string(info.width) + "x" + std::to_string(info.height);
    std::vector<std::string> command = {tools.ffmpeg, "-hide_banner", "-nostdin", "-loglevel", "error", "-y",
                                        "-f", "rawvideo", "-pix_fmt", "bgra", "-s", size,
                                        "-framerate", info.frameRate, "-i", "-"};
    bool withAudio = !audioSource.empty() && (extension.empty() || CarriesAudio(extension));
    if (withAudio) command.insert(command.end(), {"-i", audioSource, "-map", "0:v", "-map", "1:a?"});
    // No extension: the default container, Matroska.
    const std::string container = extension.empty() ? "mkv" : extension;
    AppendVideoCodec(command, info, container);
    if (withAudio && container == "mkv") command.insert(command.end(), {"-c:a", "copy"});
    if (extension.empty()) command.insert(command.end(), {"-f", "matroska"});
    command.push_back(output);
    return command;
}

bool CreateTemporaryOutput(const std::string& finalPath, std::string& temporaryPath, std::string& error) {
    size_t slash = finalPath.rfind('/');
    std::string folder = slash == std::string::npos ? "" : finalPath.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? finalPath : finalPath.substr(slash + 1);
    std::string extension = FileExtension(name);
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporaryPath = folder + "." + name + ".vdhost-" + std::to_string(getpid()) + "-" + std::to_string(attempt) +
                        (extension.empty() ? "" : "." + extension);
        int fd = open(temporaryPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        if (errno != EEXIST) break;
    }
    error = "cannot create a file beside '" + finalPath + "': " + std::strerror(errno);
    temporaryPath.clear();
    return false;
}

bool CommitOutput(const std::string& temporaryPath, const std::string& finalPath, std::string& error) {
    if (std::rename(temporaryPath.c_str(), finalPath.c_str()) == 0) return true;
    error = "cannot rename the finished output to '" + finalPath + "': " + std::strerror(errno);
    std::remove(temporaryPath.c_str());
    return false;
}

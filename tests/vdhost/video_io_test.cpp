// What vdhost asks of ffmpeg and how it keeps unfinished output out of sight.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "video_io.h"

namespace {

bool Contains(const std::vector<std::string>& command, const std::vector<std::string>& run) {
    return std::search(command.begin(), command.end(), run.begin(), run.end()) != command.end();
}

TEST(VdhostProbe, ReadsSizeRateAndRotation) {
    VideoInfo info;
    ASSERT_TRUE(ParseProbeOutput("width=320\nheight=240\nr_frame_rate=25/1\navg_frame_rate=30000/1001\n", info));
    EXPECT_EQ(info.width, 320);
    EXPECT_EQ(info.height, 240);
    EXPECT_EQ(info.frameRate, "30000/1001");

    // A portrait phone clip: stored landscape, decoded upright.
    ASSERT_TRUE(ParseProbeOutput("width=1920\nheight=1080\navg_frame_rate=0/0\nr_frame_rate=30/1\nrotation=-90\n", info));
    EXPECT_EQ(info.width, 1080);
    EXPECT_EQ(info.height, 1920);
    EXPECT_EQ(info.frameRate, "30/1");

    ASSERT_TRUE(ParseProbeOutput("width=64\nheight=48\nrotation=180\navg_frame_rate=0/0\nr_frame_rate=0/0\n", info));
    EXPECT_EQ(info.width, 64);
    EXPECT_EQ(info.frameRate, "25");  // no usable rate: a common default

    EXPECT_FALSE(ParseProbeOutput("", info));                          // no video stream
    EXPECT_FALSE(ParseProbeOutput("width=0\nheight=48\n", info));
    EXPECT_FALSE(ParseProbeOutput("width=20000\nheight=48\n", info));  // beyond what we stage
}

TEST(VdhostEncoder, CodecFollowsTheOutputName) {
    FfmpegTools tools{"ffmpeg", "ffprobe"};
    VideoInfo info{64, 48, "25"};
    auto mkv = EncoderCommand(tools, info, "in.mp4", "out.mkv", "mkv");
    EXPECT_TRUE(Contains(mkv, {"-c:v", "ffv1"}));
    EXPECT_TRUE(Contains(mkv, {"-pix_fmt", "bgr0"}));  // lossless RGB
    EXPECT_TRUE(Contains(mkv, {"-i", "in.mp4", "-map", "0:v", "-map", "1:a?"}));
    EXPECT_TRUE(Contains(mkv, {"-s", "64x48", "-framerate", "25", "-i", "-"}));
    EXPECT_EQ(mkv.back(), "out.mkv");

    auto bare = EncoderCommand(tools, info, "", "out", "");
    EXPECT_TRUE(Contains(bare, {"-c:v", "ffv1"}));
    EXPECT_TRUE(Contains(bare, {"-f", "matroska", "out"}));
    EXPECT_FALSE(Contains(bare, {"-map", "1:a?"}));  // audio not wanted

    auto mp4 = EncoderCommand(tools, info, "in.mp4", "out.mp4", "mp4");
    EXPECT_FALSE(Contains(mp4, {"-c:v", "ffv1"}));
    EXPECT_TRUE(Contains(mp4, {"-pix_fmt", "yuv420p"}));
    auto oddMp4 = EncoderCommand(tools, VideoInfo{63, 48, "25"}, "", "out.mp4", "mp4");
    EXPECT_FALSE(Contains(oddMp4, {"-pix_fmt", "yuv420p"}));  // 4:2:0 needs even sides

    auto gif = EncoderCommand(tools, info, "in.mp4", "out.gif", "gif");
    EXPECT_FALSE(Contains(gif, {"-map", "1:a?"}));  // a container without sound

    EXPECT_EQ(FileExtension("a/b.c/Movie.MKV"), "mkv");
    EXPECT_EQ(FileExtension("a.b/movie"), "");
    EXPECT_EQ(FileExtension("movie."), "");
}

TEST(VdhostOutput, TemporaryFileIsHiddenUniqueAndCommittedByRename) {
    char pattern[] = "/tmp/vdhost-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string folder = pattern;
    std::string finalPath = folder + "/clip.mkv";
    std::string first, second, error;
    ASSERT_TRUE(CreateTemporaryOutput(finalPath, first, error)) << error;
    ASSERT_TRUE(CreateTemporaryOutput(finalPath, second, error)) << error;
    EXPECT_NE(first, second);
    EXPECT_EQ(first.rfind(folder + "/.clip.mkv.", 0), 0u);
    EXPECT_EQ(FileExtension(first), "mkv");  // ffmpeg picks the format from it
    EXPECT_NE(access(finalPath.c_str(), F_OK), 0);

    std::ofstream(first) << "done";
    ASSERT_TRUE(CommitOutput(first, finalPath, error)) << error;
    EXPECT_EQ(access(first.c_str(), F_OK), -1);
    std::string content;
    std::ifstream(finalPath) >> content;
    EXPECT_EQ(content, "done");

    EXPECT_FALSE(CreateTemporaryOutput(folder + "/missing/clip.mkv", first, error));
    EXPECT_FALSE(error.empty());
    std::remove(second.c_str());
    std::remove(finalPath.c_str());
    rmdir(folder.c_str());
}

}  // namespace

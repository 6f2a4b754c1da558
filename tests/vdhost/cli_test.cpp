// vdhost as a user runs it: the built program, real modules beside it, ffmpeg
// when installed. Frames stay tiny so the suite stays fast on two cores.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <regex>
#include <sstream>
#include <vector>

#include "gpu/diagnosis.h"
#include "image_metrics.h"
#include "synthetic_clip.h"
#include "tests/simdriver/emulated_failures.h"
#include "tests/support/text.h"
#include "video_io.h"

namespace {

const std::string kVdhost = VDHOST_EXE;

std::string Folder(const std::string& path) { return path.substr(0, path.rfind('/')); }

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::vector<std::string> ListFolder(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

class VdhostCli : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vdhost-cli-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        work = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + work + "'").c_str()); }

    // Runs "prefix vdhost args < stdinPath" with output captured in files.
    RunResult Run(const std::string& args, const std::string& stdinPath = "/dev/null",
                  const std::string& prefix = "") {
        std::string command = "cd '" + work + "' && " + prefix + " '" + kVdhost + "' " + args + " < '" + stdinPath +
                              "' > '" + work + "/.stdout' 2> '" + work + "/.stderr'";
        int status = std::system(command.c_str());
        RunResult result;
        result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        result.out = ReadFile(work + "/.stdout");
        result.err = ReadFile(work + "/.stderr");
        std::remove((work + "/.stdout").c_str());
        std::remove((work + "/.stderr").c_str());
        return result;
    }

    bool HaveFfmpeg() {
        FfmpegTools tools;
        std::string error;
        return FindFfmpeg(tools, error);
    }

    // A short test clip made by ffmpeg itself.
    std::string MakeClip(const std::string& name, int frames) {
        std::string path = work + "/" + name;
        std::string command = "ffmpeg -v error -y -f lavfi -i testsrc2=size=48x32:rate=10 -frames:v " +
                              std::to_string(frames) + " -pix_fmt yuv420p '" + path + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
        return path;
    }

    std::string work;
};

std::vector<uint8_t> NoisyFrames(int width, int height, int frames, uint8_t alpha) {
    SyntheticClip clip{width, height, 10.0f};
    size_t frameBytes = size_t(width) * height * 4;
    std::vector<uint8_t> all(frameBytes * frames), clean(frameBytes);
    for (int f = 0; f < frames; ++f) {
        RenderCleanFrame(clip, f, clean.data());
        AddGaussianNoise(clip, f, clean.data(), &all[f * frameBytes]);
        for (size_t i = 3; i < frameBytes; i += 4) all[f * frameBytes + i] = alpha;
    }
    return all;
}

TEST_F(VdhostCli, RawFramesAreFilteredOneForOne) {
    std::vector<uint8_t> frames = NoisyFrames(40, 30, 3, 77);
    WriteFile(work + "/in.bgra", frames);
    RunResult run = Run("--size 40x30 --module '" + Folder(kVdhost) + "/Quelmar_CPU.so'", work + "/in.bgra");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("Quelmar_CPU.so"), std::string::npos) << run.err;  // says which module
    ASSERT_EQ(run.out.size(), frames.size());
    for (size_t i = 3; i < run.out.size(); i += 4) ASSERT_EQ(uint8_t(run.out[i]), 255) << "alpha at " << i;
    EXPECT_NE(run.out.compare(0, 40 * 30 * 4, reinterpret_cast<const char*>(frames.data()), 40 * 30 * 4), 0)
        << "noisy frame came back unfiltered";

    // No frames in, no frames out, and that is no error.
    RunResult empty = Run("--size 40x30");
    EXPECT_EQ(empty.exitCode, 0) << empty.err;
    EXPECT_TRUE(empty.out.empty());
}

TEST_F(VdhostCli, FramesPassThroughWhenTheModuleHasNoDevice) {
    std::string cudaModule = Folder(kVdhost) + "/Quelmar_CUDA.so";
    if (access(cudaModule.c_str(), R_OK) != 0 || diag::Diagnose().filters) {
        GTEST_SKIP() << "needs the CUDA module on a machine without a CUDA device";
    }
    std::vector<uint8_t> frames = NoisyFrames(24, 16, 2, 200);
    WriteFile(work + "/in.bgra", frames);
    RunResult run = Run("--size 24x16 --module '" + cudaModule + "'", work + "/in.bgra");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("pass through"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, std::string(frames.begin(), frames.end()));  // byte for byte, alpha included
}

#if defined(QUELMAR_SIMDRIVER_DIR)
// With a driver that reports a GPU (the simulated one), vdhost picks the CUDA
// module, which filters exactly as the CPU module; without a usable GPU it
// says what the driver answered.
TEST_F(VdhostCli, PicksTheCudaModuleWhereTheDriverReportsAGpu) {
    const std::string driver = "LD_LIBRARY_PATH='" QUELMAR_SIMDRIVER_DIR "'";
    std::vector<uint8_t> frames = NoisyFrames(40, 24, 3, 200);
    WriteFile(work + "/in.bgra", frames);
    RunResult cuda = Run("--size 40x24", work + "/in.bgra", driver);
    ASSERT_EQ(cuda.exitCode, 0) << cuda.err;
    EXPECT_NE(cuda.err.find("Quelmar_CUDA.so (Quelmar_CUDA.so filters on GPU 0 (Simulated GPU sm_120"),
              std::string::npos) << cuda.err;
    RunResult cpu = Run("--size 40x24 --module '" + Folder(kVdhost) + "/Quelmar_CPU.so'", work + "/in.bgra");
    ASSERT_EQ(cpu.exitCode, 0) << cpu.err;
    EXPECT_EQ(cuda.out, cpu.out);
    EXPECT_NE(cuda.out, std::string(frames.begin(), frames.end()));

    RunResult tooOld = Run("--size 40x24", work + "/in.bgra", driver + " QUELMAR_SIMDRIVER='devices=11.0 driver=570.86'");
    ASSERT_EQ(tooOld.exitCode, 0) << tooOld.err;
    EXPECT_NE(tooOld.err.find("Quelmar_CPU.so (Quelmar_CUDA.so passes frames through unfiltered: the NVIDIA "
                              "driver R570 (CUDA 12.8) reports no GPU"),
              std::string::npos) << tooOld.err;
    EXPECT_EQ(tooOld.out, cpu.out);
}

using qtest::WordsAfter;

// On each machine where the CUDA module cannot filter, --gpu-info says why
// and picks the CPU module, and the CUDA module, made to run anyway, passes
// its frames through and says the same once, on its debug output (stderr).
class VdhostGpuInfo : public VdhostCli, public ::testing::WithParamInterface<emulated::Failure> {};

TEST_P(VdhostGpuInfo, ReportAndModuleGiveTheSameReason) {
    const emulated::Failure& failure = GetParam();
    std::string env = failure.machine ? "LD_LIBRARY_PATH='" QUELMAR_SIMDRIVER_DIR "' QUELMAR_SIMDRIVER='" +
                                            std::string(failure.machine) + "'"
                                      : "";
    if (!failure.machine && diag::Diagnose().driver.state != dev::DriverState::NotInstalled) {
        GTEST_SKIP() << "an NVIDIA driver is installed";
    }
    RunResult info = Run("--gpu-info", "/dev/null", env);
    EXPECT_EQ(info.exitCode, 1) << info.out << info.err;
    const std::string reported = WordsAfter(info.out, "Quelmar_CUDA.so passes frames through unfiltered: ");
    EXPECT_EQ(reported.rfind(failure.why, 0), 0u) << info.out;
    EXPECT_NE(info.out.find("vdhost would use: " + Folder(kVdhost) + "/Quelmar_CPU.so\n"), std::string::npos)
        << info.out;

    // Two frames of the report's trial size through one instance.
    std::vector<uint8_t> frames(size_t(emulated::kWidth) * emulated::kHeight * 4 * 2);
    for (size_t i = 0; i < frames.size(); ++i) frames[i] = uint8_t(i * 7 + i / 4099);
    WriteFile(work + "/in.bgra", frames);
    RunResult run = Run("--size " + std::to_string(emulated::kWidth) + "x" + std::to_string(emulated::kHeight) +
                            " --module '" + Folder(kVdhost) + "/Quelmar_CUDA.so'",
                        work + "/in.bgra", env);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(run.out == std::string(frames.begin(), frames.end())) << "every frame passes through";
    int lines = 0;
    EXPECT_EQ(WordsAfter(run.err, "Quelmar: frames pass through unfiltered: ", &lines), reported) << run.err;
    EXPECT_EQ(lines, 1) << "once per instance: " << run.err;
}

INSTANTIATE_TEST_SUITE_P(EmulatedFailures, VdhostGpuInfo,
                         ::testing::ValuesIn(emulated::Failures(QUELMAR_DEVICE_COVERAGE, "libcuda.so.1")),
                         [](const auto& info) { return std::string(info.param.name); });
#endif

TEST_F(VdhostCli, ShortLastFrameIsAnError) {
    std::vector<uint8_t> frames = NoisyFrames(20, 10, 2, 255);
    frames.resize(20 * 10 * 4 + 100);
    WriteFile(work + "/in.bgra", frames);
    RunResult run = Run("--size 20x10", work + "/in.bgra");
    EXPECT_NE(run.exitCode, 0);
    EXPECT_NE(run.err.find("inside frame 2"), std::string::npos) << run.err;
    EXPECT_EQ(run.out.size(), 20u * 10 * 4);  // the whole frame before it still came out
}

// A command line that cannot run ends with 2 and a hint; a run that fails
// ends with 1 and one message. Neither writes anything.
TEST_F(VdhostCli, BadRequestsFailWithTheirMessageAndNoOutput) {
    struct Case {
        std::string args;
        int exitCode;
        std::string says;
    };
    const Case cases[] = {
        {"--denoise 4.01 --size 8x8", 2, "--denoise: takes a number from 0 to 4, not '4.01'"},
        {"--frobnicate", 2, "--frobnicate"},
        {"--size 8x8 --module '" + work + "/none.so'", 1, "cannot load module"},
        {"missing.mp4 out.mkv", 1, "does not exist"},
    };
    for (const Case& c : cases) {
        RunResult run = Run(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.args;
        EXPECT_NE(run.err.find(c.says), std::string::npos) << c.args << ": " << run.err;
        EXPECT_TRUE(run.out.empty()) << c.args;
        const std::string last = run.err.substr(run.err.rfind('\n', run.err.size() - 2) + 1);
        if (c.exitCode == 2) {
            EXPECT_EQ(last, "Try 'vdhost --help' for more information.\n") << run.err;
        } else {
            EXPECT_EQ(last.rfind("vdhost: ", 0), 0u) << "one message last: " << run.err;
        }
    }
    EXPECT_TRUE(ListFolder(work).empty());

    RunResult help = Run("--help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("usage"), std::string::npos);
    EXPECT_TRUE(help.err.empty()) << help.err;
}

// Every strength at the top of the dialog's range is a setting to filter with.
TEST_F(VdhostCli, SettingsAtTheirMaximumFilter) {
    std::vector<uint8_t> frames = NoisyFrames(24, 16, 2, 255);
    WriteFile(work + "/in.bgra", frames);
    const std::string module = " --module '" + Folder(kVdhost) + "/Quelmar_CPU.so'";
    RunResult top = Run("--size 24x16 --denoise 4 --temporal 1 --deblock 2 --sharpen 1 --stabilize 1 --sigma 255" +
                            module, work + "/in.bgra");
    ASSERT_EQ(top.exitCode, 0) << top.err;
    RunResult defaults = Run("--size 24x16" + module, work + "/in.bgra");
    ASSERT_EQ(defaults.exitCode, 0) << defaults.err;
    ASSERT_EQ(top.out.size(), frames.size());
    EXPECT_NE(top.out, defaults.out) << "the settings reached the filter";
}

TEST_F(VdhostCli, FiltersAVideoFileIntoLosslessMatroska) {
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    std::string input = MakeClip("in.mp4", 6);
    RunResult run = Run("in.mp4 out.mkv");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.err.find("6 frames"), std::string::npos) << run.err;  // progress / summary line
    std::string probe = "ffprobe -v error -count_frames -select_streams v:0 -show_entries "
                        "stream=codec_name,width,height,nb_read_frames -of csv=p=0 '" + work + "/out.mkv' > '" +
                        work + "/probe.txt'";
    ASSERT_EQ(std::system(probe.c_str()), 0);
    EXPECT_EQ(ReadFile(work + "/probe.txt"), "ffv1,48,32,6\n");
    std::remove((work + "/probe.txt").c_str());
    EXPECT_EQ(ListFolder(work), (std::vector<std::string>{"in.mp4", "out.mkv"}));  // no leftovers
}

TEST_F(VdhostCli, FailedEncodingsLeaveNoOutput) {
    if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
    MakeClip("in.mp4", 3);
    RunResult unknown = Run("in.mp4 out.notavideoformat");
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_NE(unknown.err.find("out.notavideoformat"), std::string::npos) << unknown.err;
    EXPECT_EQ(unknown.err.find(".vdhost-"), std::string::npos) << "temporary name leaked: " << unknown.err;

    RunResult same = Run("in.mp4 ./in.mp4");
    EXPECT_EQ(same.exitCode, 1);
    EXPECT_NE(same.err.find("is the input"), std::string::npos) << same.err;

    RunResult folder = Run("in.mp4 .");
    EXPECT_EQ(folder.exitCode, 1);
    EXPECT_NE(folder.err.find("not a folder"), std::string::npos) << folder.err;

    std::ofstream(work + "/broken.mp4") << "not a video";
    RunResult broken = Run("broken.mp4 out.mkv");
    EXPECT_EQ(broken.exitCode, 1);
    EXPECT_NE(broken.err.find("broken.mp4"), std::string::npos) << broken.err;

    RunResult noFfmpeg = Run("in.mp4 out.mkv", "/dev/null", "PATH=/nonexistent");
    EXPECT_EQ(noFfmpeg.exitCode, 1);
    EXPECT_NE(noFfmpeg.err.find("ffmpeg"), std::string::npos) << noFfmpeg.err;

    EXPECT_EQ(ListFolder(work), (std::vector<std::string>{"broken.mp4", "in.mp4"}));
}

double ParseDb(const std::string& text, const std::string& label) {
    std::smatch match;
    std::regex pattern("RGB: +noisy ([0-9.]+) dB, filtered ([0-9.]+) dB");
    EXPECT_TRUE(std::regex_search(text, match, pattern)) << text;
    if (match.size() < 3) return 0.0;
    return std::stod(label == "noisy" ? match[1].str() : match[2].str());
}

TEST_F(VdhostCli, DemoImprovesPsnrAndWritesItsFiles) {
    RunResult run = Run("demo --out result --frames 10 --size 64x48");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_GT(ParseDb(run.out, "filtered"), ParseDb(run.out, "noisy") + 1.0) << run.out;
    EXPECT_NE(run.out.find("frames/s"), std::string::npos) << run.out;
    std::string png = ReadFile(work + "/result/before_after.png");
    ASSERT_GT(png.size(), 8u);
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    std::vector<std::string> expected = {"before_after.png"};
    if (HaveFfmpeg()) expected.push_back("demo.mkv");
    EXPECT_EQ(ListFolder(work + "/result"), expected);

    // Without ffmpeg the numbers and the picture still come, the video does not.
    RunResult bare = Run("demo --out bare --frames 3 --size 32x16", "/dev/null", "PATH=/nonexistent");
    ASSERT_EQ(bare.exitCode, 0) << bare.err;
    EXPECT_NE(bare.err.find("ffmpeg not found"), std::string::npos) << bare.err;
    EXPECT_NE(bare.out.find("PSNR"), std::string::npos);
    EXPECT_EQ(ListFolder(work + "/bare"), (std::vector<std::string>{"before_after.png"}));
}

// The demo measures from frame 5 on, frame 5 included: its noisy PSNR is the
// clip's own over exactly those frames. A clip this small makes one frame
// more or less show in the printed hundredths.
TEST_F(VdhostCli, DemoPsnrCountsFromFrameFive) {
    constexpr int kFrames = 9, kWidth = 32, kHeight = 16;
    const SyntheticClip clip{kWidth, kHeight, 12.0f};
    const size_t pixels = static_cast<size_t>(kWidth) * kHeight;
    std::vector<uint8_t> clean(pixels * 4), noisy(pixels * 4);
    auto noisyPsnrFrom = [&](int first) {
        ErrorTally tally;
        for (int frame = first; frame < kFrames; ++frame) {
            RenderCleanFrame(clip, frame, clean.data());
            AddGaussianNoise(clip, frame, clean.data(), noisy.data());
            AddFrameError(tally, noisy.data(), clean.data(), pixels);
        }
        return RgbPsnr(tally);
    };
    const double fromFifth = noisyPsnrFrom(4), fromSixth = noisyPsnrFrom(5);
    ASSERT_GT(std::abs(fromFifth - fromSixth), 0.02) << "the clip cannot tell the two apart";

    RunResult run = Run("demo --out psnr --frames 9 --size 32x16 --noise 12", "/dev/null", "PATH=/nonexistent");
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_NE(run.out.find("frames 5-9:"), std::string::npos) << run.out;
    EXPECT_NEAR(ParseDb(run.out, "noisy"), fromFifth, 0.006) << run.out;
}

}  // namespace

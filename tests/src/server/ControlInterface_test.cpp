// The control interface's pieces that need no connection: the status line's bound, the MAC and
// key conversions, and where recordings may be written. The command grammar is tested through
// the binary (test_recording_control.py).
#include "server/ControlInterface.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "server/TambloServer.h"

namespace {

namespace fs = std::filesystem;

TEST(ControlStatusLine, FitsTheBufferOrIsRefusedWhole) {
    EXPECT_EQ(control::statusLine("001122AABBCC", "198.18.0.10", 554, "STOPPED"),
              "VIDEORECORDER:STATUS:001122AABBCC:198.18.0.10:554:STOPPED\n");
    // 21 + 1 + 1 + 5 + 1 + 9 + 1 characters around MAC and address leave 216 for both.
    const std::string fits(216 - 15, 'A');
    const std::string line = *control::statusLine(fits, "198.218.100.100", 65535, "RECORDING");
    EXPECT_EQ(line.size(), control::kStatusLineSize - 1);
    EXPECT_FALSE(control::statusLine(fits + "A", "198.218.100.100", 65535, "RECORDING"));
}

TEST(ControlConversions, MacFormsAndRecordingKeys) {
    EXPECT_EQ(TambloServer::convertMacForVideoRecording("001122AABBCC"), "00:11:22:AA:BB:CC");
    EXPECT_EQ(TambloServer::convertMacForVideoRecording("001122aabbcc"), "00:11:22:aa:bb:cc");
    EXPECT_EQ(TambloServer::convertMacForVideoRecording("camera-7"), "camera-7");
    EXPECT_EQ(TambloServer::convertMacForVideoRecording("001122AABBCCD"), "001122AABBCCD");
    EXPECT_EQ(TambloServer::convertMacToVideoRecordingResponse("00:11:22:AA:BB:CC"),
              "001122AABBCC");
    EXPECT_EQ(TambloServer::convertMacToVideoRecordingResponse("camera:7"), "camera:7");
    EXPECT_EQ(TambloServer::toRecordingSessionKey("198.51.100.7:4000/198.18.0.10/20001"),
              "198.51.100.7:4000/198.18.0.10");
    EXPECT_EQ(TambloServer::toRecordingSessionKey("no-slash"), "no-slash");
}

class OutputPathTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/tamblo-recordings-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root = pattern;
        dir = root / "recordings";
        outside = root / "outside";
        fs::create_directories(dir / "sub");
        fs::create_directories(outside);
        std::ofstream(outside / "victim.flv") << "keep";
        std::ofstream(dir / "old.flv") << "old";
        fs::create_directory_symlink(outside, dir / "out");
        fs::create_directory_symlink(dir / "sub", dir / "inner");
        fs::create_symlink(outside / "victim.flv", dir / "link.flv");
    }
    void TearDown() override { fs::remove_all(root); }

    fs::path root, dir, outside;
};

TEST_F(OutputPathTest, FilesAreOpenedBeneathTheRecordingsDirectoryWithoutFollowingLinks) {
    fs::create_hard_link(outside / "victim.flv", dir / "hard.flv");
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    const std::string d = dir.string();
    const std::vector<std::pair<std::string, fs::path>> accepted = {
        {"a.flv", dir / "a.flv"},
        {"sub/b.flv", dir / "sub/b.flv"},
        {"./sub//c.flv", dir / "sub/c.flv"},
        {d + "/e.flv", dir / "e.flv"},
        {"old.flv", dir / "old.flv"},  // an existing recording is replaced
    };
    // Every link is refused, even one that stays inside (inner/).
    const std::vector<std::string> refused = {"../a.flv",      "sub/../../a.flv",
                                              "sub/..",        "sub/",
                                              "sub",           "out/a.flv",
                                              "inner/d.flv",   "link.flv",
                                              "hard.flv",      "fifo",
                                              "missing/a.flv", outside.string() + "/a.flv",
                                              "/etc/passwd",   ""};
    // The kernel's resolution and the walk where the kernel has none decide alike.
    for (const bool walk : {false, true}) {
        for (const auto& [name, path] : accepted) {
            const UniqueFd file = control::openOutputFile(d, name, walk);
            ASSERT_TRUE(file.valid()) << name << " walk " << walk;
            // Emptied, open for writing (blocking), and the file that the name means.
            EXPECT_EQ(::write(file.get(), "x", 1), 1);
            EXPECT_EQ(fs::file_size(path), 1u) << name;
        }
        for (const std::string& name : refused) {
            EXPECT_FALSE(control::openOutputFile(d, name, walk).valid()) << name << " " << walk;
        }
    }
    EXPECT_FALSE(fs::exists(root / "a.flv"));
    EXPECT_FALSE(fs::exists(outside / "a.flv"));
    std::ifstream victim(outside / "victim.flv");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(victim), {}), "keep");

    // Without a recordings directory any name is taken as given, but never a final link.
    EXPECT_TRUE(control::openOutputFile("", (root / "plain.flv").string()).valid());
    EXPECT_TRUE(control::openOutputFile("", (dir / "out/x.flv").string()).valid());
    EXPECT_FALSE(control::openOutputFile("", (dir / "link.flv").string()).valid());
}

}  // namespace

// The control interface's pieces that need no connection: the status line's bound, the MAC and
// key conversions, and where recordings may be written. The command grammar is tested through
// the binary (test_recording_control.py).
#include "ControlInterface.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "TambloServer.h"

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

TEST_F(OutputPathTest, NamesStayInsideTheRecordingsDirectory) {
    const std::string d = dir.string();
    const std::vector<std::pair<std::string, std::string>> accepted = {
        {"a.flv", d + "/a.flv"},
        {"sub/b.flv", d + "/sub/b.flv"},
        {"./sub//c.flv", d + "/sub/c.flv"},
        {"inner/d.flv", d + "/sub/d.flv"},  // a link that stays inside
        {d + "/e.flv", d + "/e.flv"},
        {"old.flv", d + "/old.flv"},  // an existing recording is replaced
    };
    for (const auto& [name, path] : accepted) {
        EXPECT_EQ(control::confineOutputPath(d, name), path) << name;
    }
    const std::vector<std::string> refused = {
        "../a.flv",
        "sub/../../a.flv",
        "sub/..",
        "sub/",
        "sub",
        "out/a.flv",
        "link.flv",
        "missing/a.flv",
        outside.string() + "/a.flv",
        "/etc/passwd",
        "",
    };
    for (const std::string& name : refused) {
        EXPECT_FALSE(control::confineOutputPath(d, name)) << name;
    }
    // Without a recordings directory every name is used as given.
    EXPECT_EQ(control::confineOutputPath("", "../x.flv"), "../x.flv");
}

}  // namespace

// Saves the frame class's shared settings and restores them when it goes out of scope, so that
// one test's image size or reduced switch never leaks into the next.
#pragma once

#include <string>

#include "sequence/videoframe.h"
#include "tests/test_util.h"

namespace testutil {

class FrameSettingsGuard {
  public:
    FrameSettingsGuard()
        : imageWidth_(CZelVideoFrame::imageWidth),
          reduceScale_(CZelVideoFrame::reduceScale),
          reduced_(CZelVideoFrame::reduced),
          imageHeight_(CZelVideoFrame::imageHeight),
          dataDir_(CZelVideoFrame::dataDir),
          tmpDir_(CZelVideoFrame::tmpDir) {}
    ~FrameSettingsGuard() {
        CZelVideoFrame::imageWidth = imageWidth_;
        CZelVideoFrame::reduceScale = reduceScale_;
        CZelVideoFrame::reduced = reduced_;
        CZelVideoFrame::imageHeight = imageHeight_;
        CZelVideoFrame::dataDir = dataDir_;
        CZelVideoFrame::tmpDir = tmpDir_;
    }
    FrameSettingsGuard(const FrameSettingsGuard&) = delete;
    FrameSettingsGuard& operator=(const FrameSettingsGuard&) = delete;

  private:
    int imageWidth_;
    float reduceScale_;
    bool reduced_;
    int imageHeight_;
    std::string dataDir_;
    std::string tmpDir_;
};

// A fresh, empty directory for the running test: <program temp dir>/<suite>.<test>/.
inline std::string FreshTestDir() {
    const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
    const std::string dir =
        TempDir() + info->test_suite_name() + std::string(".") + info->name() + "/";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

}  // namespace testutil

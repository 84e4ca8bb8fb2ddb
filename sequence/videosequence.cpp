#include "sequence/videosequence.h"

#include <cstdint>
#include <cstdio>
#include <stdexcept>

#include "imagelib/ximage.h"
#include "platform/platform.h"
#include "sequence/videoframe.h"
#include "util/filename.h"

CZelVideoSequence::CZelVideoSequence()
    : frameCount(0),
      start(0),
      step(1),
      end(0),
      f(0.0f),
      fy(0.0f),
      cx(0.0f),
      cy(0.0f),
      skew(0.0f),
      aspect(1.0f) {}

CZelVideoSequence::~CZelVideoSequence() {
    for (CZelVideoFrame* frame : frames) {
        delete frame;
    }
}

CZelVideoFrame* CZelVideoSequence::GetFrame(int i) const {
    if (i < 0 || static_cast<size_t>(i) >= frames.size()) {
        throw std::out_of_range("CZelVideoSequence::GetFrame: frame index out of range");
    }
    return frames[static_cast<size_t>(i)];
}

void CZelVideoSequence::SetFrameCount(int n) {
    for (CZelVideoFrame*& frame : frames) {
        delete frame;
        frame = nullptr;
    }
    frames.clear();
    frameCount = n < 0 ? 0 : n;
    frames.resize(static_cast<size_t>(frameCount), nullptr);
    for (CZelVideoFrame*& frame : frames) {
        frame = new CZelVideoFrame;
    }
}

bool CZelVideoSequence::LoadImageSequence() {
    if (step < 1) {
        step = 1;
    }
    // In 64 bits: end - start alone can overflow an int.
    const int64_t count64 = (static_cast<int64_t>(end) - start) / step + 1;
    if (count64 < 0 || count64 > kMaxFrameCount) {
        ConsolePrintf("ERROR: Invalid frame range (start %d, step %d, end %d): %lld frames\n",
                      start, step, end, static_cast<long long>(count64));
        SetFrameCount(0);
        return false;
    }
    const int count = static_cast<int>(count64);
    ConsolePrintf("Total frame count:%d\n\n", count);
    SetFrameCount(count);

    std::string name = imagePath;
    if (count > 0) {
        CxImage image(CXIMAGE_FORMAT_UNKNOWN);
        if (!image.Load(name.c_str(), CXIMAGE_FORMAT_BMP)) {
            ConsolePrintf("ERROR: Can not load imag file: %s\n", name.c_str());
            return false;
        }
        CZelVideoFrame::SetImageSize(static_cast<int>(image.GetWidth()),
                                     static_cast<int>(image.GetHeight()));
        CZelVideoFrame::SetReduced(false);
        CZelVideoFrame::tmpDir = Directory(imagePath) + "TMP/";
        CZelVideoFrame::dataDir = Directory(imagePath) + "DATA/";
        // An existing directory, or one that cannot be made, is not an error here.
        MakeDirectory(CZelVideoFrame::tmpDir.c_str());
        MakeDirectory(CZelVideoFrame::dataDir.c_str());
    }

    name = IncrementFileName(name, start);
    for (int i = 0; i < count; i++) {
        CZelVideoFrame* frame = GetFrame(i);
        frame->index = i;
        frame->imageFile = name;
        frame->name = FileTitle(name);
        name = IncrementFileName(name, step);
    }
    return true;
}

void CZelVideoSequence::Run(int first, int endExclusive) {
    InitStage(first, endExclusive - 1);
    BOStage(first, endExclusive - 1);
}

CDepthStages::~CDepthStages() = default;

// Without an installed implementation the initialisation stage has no work.
void CZelVideoSequence::InitStage(int first, int last) {
    if (stages != nullptr) {
        stages->Init(*this, first, last);
    }
}

// Without an installed implementation the bundle-optimisation stage has no work.
void CZelVideoSequence::BOStage(int first, int last) {
    if (stages != nullptr) {
        stages->Optimise(*this, first, last);
    }
}

// Label images: grey 24-bit BMP pictures of a label grid or of the frame's disparity map, written
// to tmpDir as "1_Init_<name>.bmp" (label type 0, initialisation) or "2_BO_<name>.bmp" (label
// type 1, bundle optimisation). Grid row 0 is the picture's top row.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "imagelib/ximage.h"
#include "io/writewhole.h"
#include "sequence/videoframe.h"

namespace {

// Composes tmpDir + prefix of the label type + name + ".bmp" into goalPath. Returns false, with
// the error line in error, for a label type other than 0 or 1.
bool LabelImagePath(int labelType, const std::string& tmpDir, const std::string& name,
                    std::string& goalPath, std::string& error) {
    const std::string str = name + ".bmp";
    if (labelType == 0) {
        goalPath = tmpDir + "1_Init_" + str;
        return true;
    }
    if (labelType == 1) {
        goalPath = tmpDir + "2_BO_" + str;
        return true;
    }
    error = "ERROR:Can not find save labelImg because the label type is unkown!";
    return false;
}

// Saves the picture whole (a temporary file beside goalPath, then renamed); false with the error
// line when the file cannot be written.
bool SavePicture(CxImage& picture, const std::string& goalPath, std::string& error) {
    auto write = [&](const std::string& partial, std::string* reason) {
        errno = 0;
        if (picture.Save(partial.c_str(), CXIMAGE_FORMAT_BMP)) {
            return true;
        }
        *reason = errno != 0 ? std::strerror(errno) : "";
        return false;
    };
    std::string reason;
    if (zelio::WriteWhole(goalPath, write, &reason)) {
        return true;
    }
    error = "ERROR: Can not write picture: " + goalPath;
    if (!reason.empty()) {
        error += " (" + reason + ")";
    }
    return false;
}

// Prints the error line of a failed picture.
void PrintError(const std::string& error) {
    std::printf("%s\n", error.c_str());
}

// Maps a disparity onto a grey byte: (d - minD) / (maxD - minD) * 255, clamped to 0..255 and
// truncated. A result that is not a number (NaN in the map or the bounds) gives 0.
unsigned char DisparityGrey(double d, double minD, double maxD) {
    double v = (d - minD) / (maxD - minD) * 255.0;
    if (v > 255.0) {
        v = 255.0;
    }
    if (!(v >= 0.0)) {
        v = 0.0;
    }
    return static_cast<unsigned char>(static_cast<int>(v));
}

}  // namespace

void CZelVideoFrame::SaveLabelImage(ZImage<int>* labelImg, int labelType, int levels) {
    std::string error;
    if (!WriteLabelImage(labelImg, labelType, levels, error)) {
        PrintError(error);
    }
}

void CZelVideoFrame::SaveDisparityImage(int labelType, double minDisparity, double maxDisparity) {
    std::string error;
    if (!WriteDisparityImage(labelType, minDisparity, maxDisparity, error)) {
        PrintError(error);
    }
}

bool CZelVideoFrame::WriteLabelImage(ZImage<int>* labelImg, int labelType, int levels,
                                     std::string& error) {
    std::string goalPath;
    if (!LabelImagePath(labelType, tmpDir, name, goalPath, error)) {
        return false;
    }
    if (labelImg == nullptr) {
        error = "ERROR:Can not save labelImg because there is no label image!";
        return false;
    }
    if (levels < 2) {
        error = "ERROR:Can not save labelImg because the number of levels " +
                std::to_string(levels) + " is below 2!";
        return false;
    }
    // The scale is rounded to single precision, so that for 8 levels label 7 gives 254.
    const float scale = static_cast<float>(255.0 / (levels - 1));
    CxImage picture(0);
    ZImageToCxImage(labelImg, &picture, scale);
    return SavePicture(picture, goalPath, error);
}

bool CZelVideoFrame::WriteDisparityImage(int labelType, double minDisparity, double maxDisparity,
                                         std::string& error) {
    std::string goalPath;
    if (!LabelImagePath(labelType, tmpDir, name, goalPath, error)) {
        return false;
    }
    const int W = GetWorkingWidth();
    const int H = GetWorkingHeight();
    if (dspImg == nullptr) {
        error = "ERROR:Can not save disparity image because there is no dspImg!";
        return false;
    }
    if (dspImg->GetWidth() != W || dspImg->GetHeight() != H || dspImg->GetChannels() < 1) {
        error = "ERROR:Can not save disparity image because dspImg is not a " + std::to_string(W) +
                " x " + std::to_string(H) + " map!";
        return false;
    }
    if (maxDisparity == minDisparity) {
        error =
            "ERROR:Can not save disparity image because the largest and smallest "
            "disparity are equal!";
        return false;
    }
    CxImage picture(0);
    picture.Create(static_cast<unsigned>(W), static_cast<unsigned>(H), 24, 0);
    for (int y = 0; y < H; y++) {
        for (int x = 0; x < W; x++) {
            const unsigned char g = DisparityGrey(GetDisparity(x, y), minDisparity, maxDisparity);
            RGBQUAD c;
            c.rgbBlue = g;
            c.rgbGreen = g;
            c.rgbRed = g;
            c.rgbReserved = 0;
            picture.SetPixelColor(x, H - 1 - y, c);
        }
    }
    return SavePicture(picture, goalPath, error);
}

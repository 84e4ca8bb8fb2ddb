// CZelVideoFrame: one frame of the video and the services the depth-recovery stages use.
//
// Conventions:
// - Maps (colorImg, dspImg) keep row 0 at the top; positions are (x, y) = (column, row), pixel
//   centres at integral positions. Colour channels are red, green, blue, each 0..255.
// - Every per-frame map has the working size GetWorkingWidth() x GetWorkingHeight().
// - The camera pose is camera-to-world once parsing is done (geometry/camera.h); the disparity
//   of a point is 1 / z of its camera-space depth.
// - A frame owns its camera and maps and cannot be copied. Class-wide settings are shared by all
//   frames and written once by the sequence's image loading.
#pragma once

#include <cassert>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "geometry/camera.h"
#include "parser/featuretracks.h"
#include "zimage/zimage.h"

class CZelVideoFrame {
  public:
    CZelVideoFrame();
    // Deletes the camera and both maps.
    ~CZelVideoFrame();

    CZelVideoFrame(const CZelVideoFrame&) = delete;
    CZelVideoFrame& operator=(const CZelVideoFrame&) = delete;

    // Class-wide settings.
    static void SetImageSize(int w, int h);
    static void SetReduced(bool reduce);
    // imageWidth, or imageWidth * reduceScale + 0.5 truncated when reduced is set. Inline: the
    // samplers below ask for the working size on every call.
    static int GetWorkingWidth() { return reduced ? ReducedSize(imageWidth) : imageWidth; }
    static int GetWorkingHeight() { return reduced ? ReducedSize(imageHeight) : imageHeight; }

    // Camera pass-throughs.
    void SetRotation(int row, int col, double v) { camera->R(row, col) = v; }
    void SetTranslation(int i, double v) { camera->T[i] = v; }
    void SetK(const Matrix3d& k) { camera->K = k; }
    void SetScaledK(const Matrix3d& k) { camera->ScaledK = k; }
    void InvertCameraPose() { camera->InvertPose(); }
    // Camera-space z of world point X, rounded to float.
    float DepthOf(const Vector3d& X) const {
        Vector3d c;
        camera->WorldToCamera(c, X);
        return static_cast<float>(c[2]);
    }
    // Prints "Frame %d\n", K and R row by row ("%.7f\t" each, "\n" per row) and T ("%f\t" each,
    // then "\n\n") to standard output.
    void PrintCamera() const;
    // Writes 21 floats: ScaledK (when reduced) or K row by row, R row by row, then T.
    void GetCameraParameters(float* out) const;

    // Loads the colour image from imageFile once, resampled to the working size when its width
    // or height differs. An unreadable file gives a 0 x 0 grid (check colorImg's size before
    // sampling). Reports nothing.
    void LoadColorImage();

    // Bilinear colour at (x, y), 0 <= x < W, 0 <= y < H; needs the colour image. rgb receives
    // red, green, blue in 0..255. A neighbour at or beyond the last column or row is replaced
    // by the pixel itself.
    void GetColor(double x, double y, Vector3d& rgb) const {
        const int W = GetWorkingWidth();
        const int H = GetWorkingHeight();
        assert(colorImg != nullptr && x >= 0 && y >= 0 && x < W && y < H);
        // On the valid range truncation is floor, and ceil is the next integer unless the
        // position is integral; computed this way, without calls into the maths library.
        const int x0 = static_cast<int>(x);
        const int y0 = static_cast<int>(y);
        const int x1 = x > x0 && x0 + 1 < W ? x0 + 1 : x0;
        const int y1 = y > y0 && y0 + 1 < H ? y0 + 1 : y0;
        const double dx = x - x0;
        const double dy = y - y0;
        const unsigned char* row0 = colorImg->data + static_cast<ptrdiff_t>(y0) * colorImg->stride;
        const unsigned char* row1 = colorImg->data + static_cast<ptrdiff_t>(y1) * colorImg->stride;
        const unsigned char* a00 = row0 + x0 * 3;
        const unsigned char* a10 = row0 + x1 * 3;
        const unsigned char* a01 = row1 + x0 * 3;
        const unsigned char* a11 = row1 + x1 * 3;
        for (int c = 0; c < 3; c++) {
            rgb[c] = ((1 - dx) * a00[c] + dx * a10[c]) * (1 - dy) +
                     dy * ((1 - dx) * a01[c] + dx * a11[c]);
        }
    }

    // Bilinear disparity at (x, y), 0 <= x <= W - 1, 0 <= y <= H - 1; needs the disparity map.
    // Neighbours beyond the last column or row are taken from that column or row.
    double GetDisparity(double x, double y) const {
        const int W = GetWorkingWidth();
        const int H = GetWorkingHeight();
        assert(dspImg != nullptr && x >= 0 && y >= 0 && x <= W - 1 && y <= H - 1);
        const int x0 = static_cast<int>(x);
        const int y0 = static_cast<int>(y);
        const int x1 = x0 + 1 > W - 1 ? W - 1 : x0 + 1;
        const int y1 = y0 + 1 > H - 1 ? H - 1 : y0 + 1;
        const double dx = x - x0;
        const double dy = y - y0;
        const float* row0 = reinterpret_cast<const float*>(
            dspImg->data + static_cast<ptrdiff_t>(y0) * dspImg->stride);
        const float* row1 = reinterpret_cast<const float*>(
            dspImg->data + static_cast<ptrdiff_t>(y1) * dspImg->stride);
        return row0[x0] * (1 - dx) * (1 - dy) + row0[x1] * dx * (1 - dy) +
               row1[x0] * (1 - dx) * dy + row1[x1] * dx * dy;
    }

    // dspImg element (x, y) = v; needs the disparity map.
    void SetDisparity(int x, int y, float v) {
        assert(dspImg != nullptr);
        dspImg->At(x, y, 0) = v;
    }

    // Deletes the disparity map and then the colour image.
    void ReleaseMaps();
    // Deletes the colour image only (the disparity map stays); LoadColorImage reads it again.
    void ReleaseColorImage();
    // Replaces dspImg by a map of the working size filled with `value`. Returns false, leaving
    // the frame without a map, when the working size cannot be allocated.
    bool CreateDisparityMap(float value);

    // Writes dspImg to dataDir + "_depth<index>.raw" as raw little-endian floats, row 0 first,
    // whole: to "<name>.part" beside it, renamed when complete, so the file is never half there.
    // Prints "ERROR! No dspImg is saved!!\n" without a map and
    // "ERROR: Can not create depth file: %s" (then waits for a key) when the file cannot be made,
    // and "ERROR: Can not write depth file: %s\n" when writing it fails (a full disk, say).
    void SaveDepthFile();
    // The same file, for programs that run unattended: prints nothing and never waits. Returns
    // false with the error line (no line end) in `error`: "ERROR: Can not create depth file:
    // <path> (<reason>)", "ERROR: Can not write depth file: <path> (<reason>)", or "ERROR: No
    // depth map to save for frame <index>".
    bool WriteDepthFile(std::string& error) const;
    // Writes a per-pixel confidence grid of the working size to dataDir + "_conf<index>.raw" in
    // the depth files' layout (little-endian floats, row 0 first), whole; false with the error
    // line as WriteDepthFile gives it ("... confidence file ...").
    bool WriteConfidenceFile(const ZImage<float>& confidence, std::string& error) const;
    // Replaces dspImg by a new map of the working size and fills it from the depth file. Returns
    // false with "Warning : No depth file: %s\n" when the file is missing or empty; elements the
    // file does not cover are zero.
    bool LoadDepthFile();

    // Saves the label grid as a grey BMP, tmpDir + "1_Init_" (type 0) or "2_BO_" (type 1) + name
    // + ".bmp", label l shown as l * 255 / (levels - 1) clamped to 0..255. Written whole, like
    // the depth file. Prints an "ERROR:..." line when it cannot.
    void SaveLabelImage(ZImage<int>* labelImg, int labelType, int levels);
    // Saves dspImg as a grey BMP under the same name, mapping [minDisparity, maxDisparity] onto
    // 0..255. Prints an "ERROR:..." line when it cannot.
    void SaveDisparityImage(int labelType, double minDisparity, double maxDisparity);
    // The same two pictures without printing: false with the error line (no line end) in
    // `error`; a file that cannot be written gives "ERROR: Can not write picture: <path>
    // (<reason>)".
    bool WriteLabelImage(ZImage<int>* labelImg, int labelType, int levels, std::string& error);
    bool WriteDisparityImage(int labelType, double minDisparity, double maxDisparity,
                             std::string& error);

    int index;
    std::string imageFile;
    std::string name;
    std::shared_ptr<std::vector<CMatchPoint>> matchPoints;
    float focalScale;
    ZImage<unsigned char>* colorImg;
    ZImage<float>* dspImg;
    CCamera* camera;

    static int imageWidth;
    static float reduceScale;
    static bool reduced;
    static int imageHeight;
    static std::string dataDir;
    static std::string tmpDir;

  private:
    // size * reduceScale (a float product) + 0.5, truncated toward zero.
    static int ReducedSize(int size) {
        const float scaled = static_cast<float>(size) * reduceScale;
        return static_cast<int>(static_cast<double>(scaled) + 0.5);
    }
};

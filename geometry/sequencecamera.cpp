// The sequence's camera set-up: intrinsic matrices for every frame and pose inversion.
#include "sequence/videoframe.h"
#include "sequence/videosequence.h"

void CZelVideoSequence::BuildIntrinsicMatrices() {
    // Every entry is formed in double from the float parameters, so skew * f is exact.
    const double df = f;
    const double dfy = fy;
    const double dcx = cx;
    const double dcy = cy;
    const double dskew = skew;

    Matrix3d K;
    K.MakeZero();
    K(0, 0) = df;
    K(0, 1) = dskew * df;
    K(0, 2) = dcx;
    K(1, 1) = dfy;
    K(1, 2) = dcy;
    K(2, 2) = 1.0;

    // The intrinsic scale factor of the reduced-size images.
    const float scale = 1.0f;
    const double c = scale;
    Matrix3d ScaledK;
    ScaledK.MakeZero();
    ScaledK(0, 0) = df * c;
    ScaledK(0, 1) = dskew * df * c;
    ScaledK(0, 2) = dcx * c;
    ScaledK(1, 1) = dfy * c;
    ScaledK(1, 2) = dcy * c;
    ScaledK(2, 2) = 1.0;

    for (int i = 0; i < frameCount; i++) {
        CZelVideoFrame* frame = GetFrame(i);
        frame->SetK(K);
        frame->SetScaledK(ScaledK);
    }
}

void CZelVideoSequence::InvertCameraPoses() {
    for (int i = 0; i < frameCount; i++) {
        GetFrame(i)->InvertCameraPose();
    }
}

#include "zimage/zimage.h"

#include "imagelib/ximage.h"

void CxImageToZImage(CxImage&, ZImage<unsigned char>*, float) {}
void ZImageToCxImage(ZImage<int>*, CxImage*, float) {}

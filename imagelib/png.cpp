#include "imagelib/codecs.h"

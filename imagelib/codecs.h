// Internal: the file codecs behind CxImage.
#pragma once

// Writing an image as an 8-bit RGB PNG with libpng.
//
// The settings favour speed over size: zlib level 1 and only the "sub"
// filter, several times faster than libpng's defaults for plots, which are
// mostly white and compress well anyway.
#pragma once

#include <cstdint>
#include <string>

#include "support/out_buffer.hpp"

namespace calib {

// Pixels as 32-bit native-endian words 0xXXRRGGBB (the top byte is
// ignored), row after row, stride bytes apart: the layout of a cairo
// RGB24 or ARGB32 image surface.
struct XrgbImage {
  const unsigned char* data;
  int width;
  int height;
  int stride;
};

// Appends the PNG of image to out. Returns an empty string on success,
// otherwise libpng's reason. Write errors of out itself stay in out.error().
std::string writePng(const XrgbImage& image, OutBuffer& out);

}  // namespace calib

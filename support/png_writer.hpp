// Writing an image as a PNG with libpng, fast.
//
// An image of few colours, such as a plot, becomes an 8-bit palette image
// with its antialiasing shades rounded to 64 levels per channel (at most
// 2/255 off, invisible); any other image is written as exact 8-bit RGB with
// the "sub" filter. Both use zlib level 1: plots are mostly white and
// compress well anyway, and a paletted plot takes about a fifth of the time
// of an RGB one at libpng's default settings.
#pragma once

#include <cstdint>
#include <system_error>

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

// Appends the PNG of image to out. Returns an empty error_code on success,
// otherwise why the image could not be encoded (an invalid size, or an
// error libpng reported). Write errors of out itself stay in out.error().
std::error_code writePng(const XrgbImage& image, OutBuffer& out);

}  // namespace calib

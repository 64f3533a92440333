#include "support/png_writer.hpp"

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

namespace calib {

namespace {

constexpr int kCompressionLevel = 1;
constexpr std::size_t kMessageCapacity = 256;

// What the libpng callbacks reach through their user pointers. Plain data,
// so that a longjmp out of a callback skips no destructor.
struct WriteState {
  OutBuffer* out;
  char message[kMessageCapacity];
};

void onError(png_structp png, png_const_charp message) {
  auto* state = static_cast<WriteState*>(png_get_error_ptr(png));
  std::snprintf(state->message, sizeof state->message, "%s", message ? message : "libpng error");
  png_longjmp(png, 1);
}

// libpng's default prints warnings to stderr; output here stays silent.
void onWarning(png_structp, png_const_charp) {}

void onWrite(png_structp png, png_bytep data, png_size_t length) {
  auto* state = static_cast<WriteState*>(png_get_io_ptr(png));
  state->out->put(std::string_view(reinterpret_cast<const char*>(data), length));
}

// The OutBuffer is flushed by its owner.
void onFlush(png_structp) {}

// Owns the libpng write and info structures.
class PngWriteStruct {
 public:
  explicit PngWriteStruct(WriteState& state)
      : png_(png_create_write_struct(PNG_LIBPNG_VER_STRING, &state, onError, onWarning)),
        info_(png_ ? png_create_info_struct(png_) : nullptr) {}
  ~PngWriteStruct() {
    if (png_) png_destroy_write_struct(&png_, info_ ? &info_ : nullptr);
  }
  PngWriteStruct(const PngWriteStruct&) = delete;
  PngWriteStruct& operator=(const PngWriteStruct&) = delete;

  png_structp png() const { return png_; }
  png_infop info() const { return info_; }

 private:
  png_structp png_;
  png_infop info_;
};

void convertRow(const unsigned char* source, int width, unsigned char* row) {
  for (int x = 0; x < width; ++x) {
    std::uint32_t pixel;
    std::memcpy(&pixel, source + 4 * x, sizeof pixel);
    row[3 * x] = static_cast<unsigned char>(pixel >> 16);
    row[3 * x + 1] = static_cast<unsigned char>(pixel >> 8);
    row[3 * x + 2] = static_cast<unsigned char>(pixel);
  }
}

// The libpng calls that may fail. Kept apart from the setjmp below so that
// no local variable of the frame that setjmp returns to changes in between.
void writeImage(png_structp png, png_infop info, const XrgbImage& image, unsigned char* row) {
  png_set_IHDR(png, info, static_cast<png_uint_32>(image.width), static_cast<png_uint_32>(image.height), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, kCompressionLevel);
  png_set_filter(png, 0, PNG_FILTER_SUB);
  png_write_info(png, info);
  for (int y = 0; y < image.height; ++y) {
    convertRow(image.data + static_cast<std::size_t>(y) * image.stride, image.width, row);
    png_write_row(png, row);
  }
  png_write_end(png, nullptr);
}

// Returns false when libpng reported an error (its message is in the
// state). Only trivially destructible objects live in this frame.
bool runWrite(png_structp png, png_infop info, const XrgbImage& image, unsigned char* row) {
  if (setjmp(png_jmpbuf(png))) return false;
  writeImage(png, info, image, row);
  return true;
}

}  // namespace

std::string writePng(const XrgbImage& image, OutBuffer& out) {
  if (image.width <= 0 || image.height <= 0 || image.stride < 4 * image.width) return "invalid image size";
  WriteState state{&out, {}};
  PngWriteStruct write(state);
  if (!write.png() || !write.info()) return "cannot create the PNG writer";
  png_set_write_fn(write.png(), &state, onWrite, onFlush);
  std::vector<unsigned char> row(static_cast<std::size_t>(image.width) * 3);
  if (!runWrite(write.png(), write.info(), image, row.data())) return state.message;
  return "";
}

}  // namespace calib

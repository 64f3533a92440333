#include "support/png_writer.hpp"

#include <png.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <bit>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Why an image could not be encoded, as error codes. libpng words its
// errors itself; each distinct text gets a code of its own, so that the
// reason reaches the user as libpng gave it.
class PngCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "png"; }
  std::string message(int code) const override {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (code < 1 || static_cast<std::size_t>(code) > texts_.size()) return "unknown PNG error";
    return texts_[static_cast<std::size_t>(code) - 1];
  }
  int codeFor(std::string_view text) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto index = static_cast<std::size_t>(std::find(texts_.begin(), texts_.end(), text) - texts_.begin());
    if (index == texts_.size()) texts_.emplace_back(text);
    return static_cast<int>(index) + 1;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> texts_;
};

std::error_code pngError(std::string_view text) {
  static PngCategory category;
  return {category.codeFor(text), category};
}

// libpng's errors (invalid parameters, a failed allocation) end the write.
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

// The image as palette indices. One byte per pixel instead of three leaves
// zlib a third of the work. Plots of black and red on white have few
// colours, but their antialiased edges hold the 256 greys between black
// and white and a few hundred shades of red, more than a palette holds.
// So each channel is rounded to one of 64 evenly spaced levels (0 and 255
// kept), which changes an edge pixel by at most 2/255, too little to see.
// An image that has more than 256 colours even then is not paletted.
struct PalettedImage {
  std::vector<png_color> colours;
  std::unique_ptr<unsigned char[]> indices;  // width × height
};

class ColourTable {
 public:
  // The index of colour, adding it if new; -1 once 256 are taken.
  int indexOf(std::uint32_t colour) {
    std::size_t slot = (colour * 0x9E3779B1u) >> (32 - kBits);
    while (true) {
      Entry& e = slots_[slot];
      if (e.index < 0) {
        if (count_ == 256) return -1;
        e = {colour, count_};
        return count_++;
      }
      if (e.colour == colour) return e.index;
      slot = (slot + 1) & (kSlots - 1);
    }
  }
  int count() const { return count_; }
  template <typename Visit>
  void forEach(Visit visit) const {
    for (const Entry& e : slots_)
      if (e.index >= 0) visit(e.colour, e.index);
  }

 private:
  static constexpr int kBits = 10;
  static constexpr std::size_t kSlots = std::size_t{1} << kBits;
  struct Entry {
    std::uint32_t colour = 0;
    int index = -1;
  };
  std::vector<Entry> slots_ = std::vector<Entry>(kSlots);
  int count_ = 0;
};

// Channel value c rounded to the nearest of the levels 255·k/63.
constexpr std::array<std::uint8_t, 256> kRoundedLevel = [] {
  std::array<std::uint8_t, 256> table{};
  for (int c = 0; c < 256; ++c) {
    const int k = (c * 63 + 127) / 255;
    table[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>((k * 255 + 31) / 63);
  }
  return table;
}();

inline std::uint32_t roundedColour(std::uint32_t pixel) {
  return std::uint32_t{kRoundedLevel[(pixel >> 16) & 0xFF]} << 16 | std::uint32_t{kRoundedLevel[(pixel >> 8) & 0xFF]} << 8 |
         kRoundedLevel[pixel & 0xFF];
}

// The first x from `from` on where the pixel of row is not colour (or
// width).
inline int endOfRun(const unsigned char* row, int from, int width, std::uint32_t colour) {
  int x = from;
#if defined(__SSE2__)
  const __m128i wanted = _mm_set1_epi32(static_cast<int>(colour));
  const __m128i rgb = _mm_set1_epi32(0xFFFFFF);
  for (; x + 4 <= width; x += 4) {
    const __m128i pixels = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 4 * x)), rgb);
    const int equal = _mm_movemask_epi8(_mm_cmpeq_epi32(pixels, wanted));
    if (equal != 0xFFFF) return x + std::countr_one(static_cast<unsigned>(equal)) / 4;
  }
#endif
  for (; x < width; ++x) {
    std::uint32_t pixel;
    std::memcpy(&pixel, row + 4 * x, sizeof pixel);
    if ((pixel & 0xFFFFFFu) != colour) return x;
  }
  return x;
}

std::optional<PalettedImage> toPalette(const XrgbImage& image) {
  PalettedImage paletted;
  paletted.indices = std::make_unique_for_overwrite<unsigned char[]>(static_cast<std::size_t>(image.width) *
                                                                     static_cast<std::size_t>(image.height));
  ColourTable table;
  std::uint32_t last = 0;
  int lastIndex = -1;
  unsigned char* out = paletted.indices.get();
  for (int y = 0; y < image.height; ++y) {
    const unsigned char* row = image.data + static_cast<std::size_t>(y) * static_cast<std::size_t>(image.stride);
    int x = 0;
    while (x < image.width) {
      std::uint32_t pixel;
      std::memcpy(&pixel, row + 4 * x, sizeof pixel);
      pixel &= 0xFFFFFFu;
      if (pixel != last || lastIndex < 0) {
        lastIndex = table.indexOf(roundedColour(pixel));
        if (lastIndex < 0) return std::nullopt;
        last = pixel;
      }
      // Runs of one colour are the rule, white above all: the run goes on
      // while the next pixels match, found four at a time.
      const int runEnd = endOfRun(row, x + 1, image.width, last);
      std::memset(out, lastIndex, static_cast<std::size_t>(runEnd - x));
      out += runEnd - x;
      x = runEnd;
    }
  }
  paletted.colours.resize(static_cast<std::size_t>(table.count()));
  table.forEach([&](std::uint32_t colour, int index) {
    paletted.colours[static_cast<std::size_t>(index)] = {static_cast<png_byte>(colour >> 16),
                                                         static_cast<png_byte>(colour >> 8),
                                                         static_cast<png_byte>(colour)};
  });
  return paletted;
}

// The libpng calls that may fail. Kept apart from the setjmp below so that
// no local variable of the frame that setjmp returns to changes in between.
void writeImage(png_structp png, png_infop info, const XrgbImage& image, const PalettedImage* paletted,
                unsigned char* row) {
  const auto width = static_cast<png_uint_32>(image.width);
  const auto height = static_cast<png_uint_32>(image.height);
  png_set_compression_level(png, kCompressionLevel);
  if (paletted) {
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_PLTE(png, info, paletted->colours.data(), static_cast<int>(paletted->colours.size()));
    // Filters do not help indices, which are not magnitudes. Every index
    // is within the palette by construction; libpng's own check of that
    // would scan each row again.
    png_set_filter(png, 0, PNG_FILTER_NONE);
    png_set_check_for_invalid_index(png, 0);
    // Rows of indices are long runs of one value (white, above all): run-
    // length matching finds them faster than zlib's general search, at the
    // same size.
    png_set_compression_strategy(png, Z_RLE);
    png_write_info(png, info);
    for (png_uint_32 y = 0; y < height; ++y)
      png_write_row(png, paletted->indices.get() + static_cast<std::size_t>(y) * width);
  } else {
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_set_filter(png, 0, PNG_FILTER_SUB);
    png_write_info(png, info);
    for (int y = 0; y < image.height; ++y) {
      convertRow(image.data + static_cast<std::size_t>(y) * image.stride, image.width, row);
      png_write_row(png, row);
    }
  }
  png_write_end(png, nullptr);
}

// Returns false when libpng reported an error (its message is in the
// state). Only trivially destructible objects live in this frame.
bool runWrite(png_structp png, png_infop info, const XrgbImage& image, const PalettedImage* paletted,
              unsigned char* row) {
  if (setjmp(png_jmpbuf(png))) return false;
  writeImage(png, info, image, paletted, row);
  return true;
}

}  // namespace

std::error_code writePng(const XrgbImage& image, OutBuffer& out) {
  if (image.width <= 0 || image.height <= 0 || image.stride < 4 * image.width) return pngError("invalid image size");
  WriteState state{&out, {}};
  PngWriteStruct write(state);
  if (!write.png() || !write.info()) return pngError("cannot create the PNG writer");
  png_set_write_fn(write.png(), &state, onWrite, onFlush);
  const std::optional<PalettedImage> paletted = toPalette(image);
  std::vector<unsigned char> row(paletted ? 0 : static_cast<std::size_t>(image.width) * 3);
  if (!runWrite(write.png(), write.info(), image, paletted ? &*paletted : nullptr, row.data()))
    return pngError(state.message);
  return {};
}

}  // namespace calib

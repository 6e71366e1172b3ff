#include "client/cursor.h"

#include <gtest/gtest.h>

#include "fakes/png.h"

namespace nolv {
namespace {

TEST(DecodePngRgba, RgbaAndRgbImages) {
  const auto pixels = coordinate_pixels(5, 3);
  auto decoded = decode_png_rgba(encode_png(5, 3, pixels));
  ASSERT_TRUE(decoded.ok()) << decoded.message();
  EXPECT_EQ(decoded->width, 5u);
  EXPECT_EQ(decoded->height, 3u);
  EXPECT_EQ(decoded->pixels, pixels);

  const std::vector<std::uint8_t> rgb = {10, 20, 30, 40, 50, 60};
  auto opaque = decode_png_rgba(encode_png(2, 1, rgb, false));
  ASSERT_TRUE(opaque.ok()) << opaque.message();
  EXPECT_EQ(opaque->pixels, (std::vector<std::uint8_t>{10, 20, 30, 255, 40, 50, 60, 255}));
}

TEST(DecodePngRgba, ErrorsNameTheStepAndLibspngsCode) {
  EXPECT_EQ(decode_png_rgba({}).message().rfind("invalid png: ", 0), 0u);
  const std::vector<std::uint8_t> junk(64, 'x');
  EXPECT_EQ(decode_png_rgba(junk).message(),
            fmt::format("invalid png header: {}", static_cast<int>(SPNG_ESIGNATURE)));

  // Too large a side for our bound: refused from the header, before any allocation.
  auto wide = encode_png(kMaxPngSide + 1, 1, coordinate_pixels(kMaxPngSide + 1, 1));
  ASSERT_FALSE(wide.empty());
  EXPECT_EQ(decode_png_rgba(wide).message(),
            fmt::format("invalid png header: {}", static_cast<int>(SPNG_EUSER_WIDTH)));
  auto tall = encode_png(1, kMaxPngSide + 1, coordinate_pixels(1, kMaxPngSide + 1));
  EXPECT_EQ(decode_png_rgba(tall).message(),
            fmt::format("invalid png header: {}", static_cast<int>(SPNG_EUSER_HEIGHT)));
  auto largest = encode_png(kMaxPngSide, 1, coordinate_pixels(kMaxPngSide, 1));
  EXPECT_TRUE(decode_png_rgba(largest).ok());

  // A file cut short in its image data.
  auto png = encode_png(16, 16, coordinate_pixels(16, 16));
  png.resize(png.size() - 30);
  EXPECT_EQ(decode_png_rgba(png).message().rfind("png decode failed: ", 0), 0u)
      << decode_png_rgba(png).message();
}

RgbaImage coordinate_image(std::uint32_t w, std::uint32_t h) {
  return RgbaImage{w, h, coordinate_pixels(w, h)};
}

// The source coordinates of output pixel (x, y).
std::pair<int, int> source_of(const CustomCursor& c, std::uint32_t x, std::uint32_t y) {
  const std::size_t at = (std::size_t{y} * c.width + x) * 4;
  return {c.rgba[at], c.rgba[at + 1]};
}

struct ScaleCase {
  std::uint32_t w, h, hx, hy;
  double scale;
  std::uint32_t out_w, out_h, out_hx, out_hy;
};

TEST(ScaleCursor, SizesAndHotspots) {
  const ScaleCase cases[] = {
      {32, 32, 31, 31, 1.5, 48, 48, 46, 46},
      {32, 32, 31, 31, 2.0, 64, 64, 62, 62},
      {32, 32, 31, 31, 1.0, 32, 32, 31, 31},
      {32, 32, 40, 99, 1.0, 32, 32, 31, 31},  // beyond the image: onto its last column and row
      {32, 32, 40, 3, 1.5, 48, 48, 47, 4},    // 4.5 truncates to 4; 60 is moved onto 47
      {5, 3, 1, 1, 1.25, 6, 4, 1, 1},         // 6.25 -> 6, 3.75 -> 4; 1.25 -> 1
      {3, 3, 2, 2, 1.5, 5, 5, 3, 3},          // 4.5 rounds half away from zero to 5
      {1, 1, 0, 0, 0.25, 1, 1, 0, 0},         // at least one pixel
  };
  for (const auto& c : cases) {
    const CustomCursor out = scale_cursor(coordinate_image(c.w, c.h), c.hx, c.hy, c.scale);
    EXPECT_EQ(out.width, c.out_w) << c.w << "@" << c.scale;
    EXPECT_EQ(out.height, c.out_h) << c.w << "@" << c.scale;
    EXPECT_EQ(out.hotspot_x, c.out_hx) << c.w << "@" << c.scale;
    EXPECT_EQ(out.hotspot_y, c.out_hy) << c.w << "@" << c.scale;
    EXPECT_EQ(out.rgba.size(), std::size_t{c.out_w} * c.out_h * 4);
  }
}

TEST(ScaleCursor, NearestNeighbourPixels) {
  const CustomCursor twice = scale_cursor(coordinate_image(3, 2), 0, 0, 2.0);
  ASSERT_EQ(twice.width, 6u);
  ASSERT_EQ(twice.height, 4u);
  for (std::uint32_t y = 0; y < 4; ++y) {
    for (std::uint32_t x = 0; x < 6; ++x) {
      EXPECT_EQ(source_of(twice, x, y), std::make_pair(int(x / 2), int(y / 2)));
    }
  }
  // All four bytes come along unchanged.
  EXPECT_EQ(std::vector<std::uint8_t>(twice.rgba.begin() + 4 * 5, twice.rgba.begin() + 4 * 6),
            (std::vector<std::uint8_t>{2, 0, 2, 253}));
  // 1.25: column i shows floor(i / 1.25) = 0, 0, 1, 2, 3, capped at the last index 4.
  const CustomCursor odd = scale_cursor(coordinate_image(5, 1), 0, 0, 1.25);
  ASSERT_EQ(odd.width, 6u);
  const int expected[] = {0, 0, 1, 2, 3, 4};
  for (std::uint32_t x = 0; x < 6; ++x) EXPECT_EQ(source_of(odd, x, 0).first, expected[x]);
}

TEST(MakeCustomCursor, TheSideLimit) {
  EXPECT_TRUE(make_custom_cursor(scale_cursor(coordinate_image(2048, 2048), 5, 5, 1.0)).ok());
  EXPECT_TRUE(make_custom_cursor(scale_cursor(coordinate_image(2048, 1), 5, 5, 1.0)).ok());
  auto too_wide = make_custom_cursor(scale_cursor(coordinate_image(2049, 1), 0, 0, 1.0));
  EXPECT_FALSE(too_wide.ok());
  auto grown = scale_cursor(coordinate_image(1100, 1100), 0, 0, 2.0);
  EXPECT_EQ(grown.width, 2200u);
  EXPECT_EQ(grown.height, 2200u);
  auto refused = make_custom_cursor(std::move(grown));
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.message().find("2200x2200"), std::string::npos) << refused.message();
  auto edge = scale_cursor(coordinate_image(1024, 1024), 0, 0, 2.0);
  EXPECT_TRUE(make_custom_cursor(std::move(edge)).ok());
}

TEST(MakeCustomCursor, TheByteCountMustMatch) {
  CustomCursor c{2, 2, 0, 0, std::vector<std::uint8_t>(15, 0)};
  EXPECT_FALSE(make_custom_cursor(c).ok());
  c.rgba.resize(16);
  auto made = make_custom_cursor(c);
  ASSERT_TRUE(made.ok());
  EXPECT_EQ((*made)->width, 2u);
}

TEST(MakeWindowIcon, ByteCounts) {
  EXPECT_TRUE(make_window_icon(coordinate_image(16, 16)).ok());
  EXPECT_FALSE(make_window_icon(RgbaImage{2, 2, std::vector<std::uint8_t>(15, 0)}).ok());
  EXPECT_FALSE(make_window_icon(RgbaImage{2, 2, std::vector<std::uint8_t>(12, 0)}).ok());
  auto icon = make_window_icon(coordinate_image(3, 2));
  ASSERT_TRUE(icon.ok());
  EXPECT_EQ(icon->width, 3u);
  EXPECT_EQ(icon->height, 2u);
  EXPECT_EQ(icon->rgba, coordinate_pixels(3, 2));
}

}  // namespace
}  // namespace nolv

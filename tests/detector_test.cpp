#include "core/detector.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace calib {
namespace {

TEST(Detector, PresetAndParityFromTheConfiguration) {
  struct Case {
    const char* config;
    int idetConfig;
    int imodulus;
  };
  for (const Case& c :
       {Case{"20mV_calib-odd", 0, 1}, Case{"14mV_calib", 1, 0}, Case{"24mV", 1, 0}, Case{"4MV", 0, 0},
        Case{"4 mV", 0, 0}, Case{"20mV_Odd", 0, 0}, Case{"ODD", 0, 0}, Case{"4mV_odd", 1, 1}, Case{"", 0, 0}}) {
    EXPECT_EQ(selectPreset(c.config).idetConfig, c.idetConfig) << c.config;
    EXPECT_EQ(channelParity(c.config), c.imodulus) << c.config;
  }
}

TEST(Detector, ChargeScaleIsTheDoubleProduct) { EXPECT_EQ(kScaleFactor, std::nextafter(0.3223, 1.0)); }

}  // namespace
}  // namespace calib

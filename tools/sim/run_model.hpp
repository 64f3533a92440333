// The physical model of a simulated calibration run: the detector's pulse
// train, the channels' baselines, noise and gains, and the pulse shape.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "core/detector.hpp"
#include "tools/sim/random.hpp"
#include "tools/sim/sim_options.hpp"

namespace calib::sim {

inline constexpr double kSamplePeriodNs = 100.0;  // 10 MS/s
inline constexpr int kAdcMax = 1023;              // 10-bit ADC
inline constexpr int kMinZeroRun = 10;            // zero lines between trains
inline constexpr int kMaxZeroRun = 18;
inline constexpr int kFirstPulseJitter = 2;  // ± samples per train
// The pulse shape is taken as zero from this many peaking times after its
// start on, where it has fallen below 1e-11 of its peak.
inline constexpr double kShapeCutoff = 10.0;

// What the detector type fixes: the train and the pulse shape.
struct DetectorModel {
  DetectorPreset preset;     // the analysis preset of the same detector
  int nPulses;               // pulses per train
  int firstPulse;            // nominal sample of the first pulse's peak
  int minWindow, maxWindow;  // data lines per train
  double peakingTimeNs;
  double nominalGain;           // mV/fC
  std::vector<double> charges;  // fC of pulse 0 … nPulses - 1 of a train
};

DetectorModel detectorModel(const SimOptions& options);

struct ChannelTruth {
  int channel;
  double baseline;  // ADC counts
  double noise;     // sigma, ADC counts
  double gain;      // mV/fC
  double skew;      // samples, added to every pulse time
  bool dead;
  bool noisy;
  bool outlier;                    // gain multiplied by the outlier factor
  std::vector<double> amplitudes;  // peak height of each pulse, ADC counts
};

// Draws the 32 channels of a run from the seed. Independent of the number
// of trains and of the fault options other than --dead, --noisy and
// --outlier.
std::array<ChannelTruth, kNChan> drawChannels(const SimOptions& options, const DetectorModel& model);

// The semi-Gaussian (CR-RC^4) shaper response at u = t / peaking time
// after the pulse starts: u^4 e^(4 (1 - u)) for u > 0, else 0; its peak is
// 1 at u = 1.
double pulseShape(double u);

// Peak height in ADC counts of a pulse of charge fC in a channel of the
// given gain: gain × charge / 2.15 mV per count, plus the offset, less the
// non-linear loss near full scale.
double pulseAmplitude(double gain, double chargefC, const SimOptions& options);

}  // namespace calib::sim

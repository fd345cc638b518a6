#include "kald_sim/lighting.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kald::sim {
namespace {

// Wavelengths (metres) that stand for the sensor's red, green and blue filters.
constexpr double kRedWavelength = 610e-9;
constexpr double kGreenWavelength = 550e-9;
constexpr double kBlueWavelength = 465e-9;
// Second radiation constant h c / k, metre kelvin.
constexpr double kSecondRadiation = 1.438777e-2;

// Spectral radiance of a black body at `wavelength`, up to a constant factor
// (Planck's law).
double Planck(double wavelength, double kelvin)
{
    return 1.0 / (std::pow(wavelength, 5) * std::expm1(kSecondRadiation / (wavelength * kelvin)));
}

// Red, green and blue radiance relative to green.
ChannelWeights RelativeToGreen(double kelvin)
{
    const double green = Planck(kGreenWavelength, kelvin);
    return {Planck(kRedWavelength, kelvin) / green, 1.0, Planck(kBlueWavelength, kelvin) / green};
}

} // namespace

// A black body at the given temperature, seen through three narrow filters
// and normalised so that the neutral temperature gives 1, 1, 1: about
// 1.47, 1, 0.49 at 3000 K and 0.85, 1, 1.38 at 9000 K.
ChannelWeights IlluminantWeights(double kelvin)
{
    const double clamped = std::clamp(kelvin, kMinKelvin, kMaxKelvin);
    const ChannelWeights at = RelativeToGreen(clamped);
    const ChannelWeights neutral = RelativeToGreen(kNeutralKelvin);
    return {at.Red / neutral.Red, 1.0, at.Blue / neutral.Blue};
}

// The integral of 1 - d cos(w t) over the window is
// T - d (sin(w (t0 + T)) - sin(w t0)) / w, with w = 4 pi f.
double MeanLight(const Lighting& light, double start, double duration)
{
    const double depth = std::clamp(light.FlickerDepth, 0.0, 1.0);
    if (light.MainsHz == 0 || depth == 0.0) {
        return light.Level;
    }
    const double omega = 4.0 * std::numbers::pi * double(light.MainsHz);
    // Only the phase within one ripple period matters; reducing the start
    // keeps the sines accurate however long the camera has been running.
    const double ripple = 1.0 / (2.0 * double(light.MainsHz));
    const double t0 = std::fmod(start, ripple);
    if (duration <= 0.0) {
        return light.Level * (1.0 - depth * std::cos(omega * t0));
    }
    const double swing = std::sin(omega * (t0 + duration)) - std::sin(omega * t0);
    return light.Level * (1.0 - depth * swing / (omega * duration));
}

} // namespace kald::sim

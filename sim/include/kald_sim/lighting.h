// The light falling on the scene in front of the simulated camera: how much,
// what colour, and whether it ripples with the mains like a fluorescent tube.
#pragma once

namespace kald::sim {

// The colour temperature at which the sensor's three channels see a grey
// surface equally: daylight between the warm and cold ends of the range.
inline constexpr double kNeutralKelvin = 5500.0;
inline constexpr double kMinKelvin = 1500.0;
inline constexpr double kMaxKelvin = 20000.0;

struct Lighting {
    double Level = 1.0;             // relative illuminance; 1.0 is the reference room
    double Kelvin = kNeutralKelvin; // colour temperature
    unsigned MainsHz = 0;           // 0: steady light; 50 or 60: fluorescent ripple
    double FlickerDepth = 1.0;      // share of the light that ripples, 0 .. 1
};

// How strongly the sensor's red, green and blue channels see a grey surface
// under light of `kelvin` (clamped to kMinKelvin .. kMaxKelvin), relative to
// green and to the neutral temperature: all three are 1 at kNeutralKelvin;
// red rises and blue falls towards warm light, the other way towards cold
// light.
struct ChannelWeights {
    double Red;
    double Green;
    double Blue;
};
ChannelWeights IlluminantWeights(double kelvin);

// The mean light over the exposure window [start, start + duration)
// (seconds on the camera's clock), relative to a steady light of level 1.
// A fluorescent tube on mains of f Hz gives Level * (1 - depth * cos(4 pi f t)):
// full-wave rectified, a ripple at 2f that goes down to 1 - depth and up to
// 1 + depth around its mean. A window that is a whole number of half mains
// periods sees exactly the mean; a zero duration gives the light at `start`.
double MeanLight(const Lighting& light, double start, double duration);

} // namespace kald::sim

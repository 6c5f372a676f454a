#pragma once
// SignalFrame: what the signal view shows of one measured frame, made small on the
// acquisition thread (a few thousand points per channel however long the frame) so the window
// thread never walks a whole frame.
//
// Waveform: the frame's M samples of a channel in B buckets of consecutive samples; bucket i
// covers samples [floor(i*M/B), floor((i+1)*M/B)) and keeps their minimum and maximum, so
// no peak is lost. A frame of at most B samples has one sample per bucket (min == max).
//
// Spectrum: the magnitude spectrum of the windowed frame (bins 1 .. M/2-1 of an M-point
// transform; the "sum" method computes one for the view alone over the largest power of two
// of samples its frame holds). The bins are grouped into buckets fine enough for a linear and
// for a logarithmic frequency axis; each bucket keeps its strongest bin, as a frequency in Hz
// and a level in dBV (dB against 1 V RMS, the window's coherent gain removed, so a sine of
// peak amplitude a reads 20*log10(a/sqrt(2)) at its bin).

#include <QString>

#include <array>
#include <cmath>
#include <vector>

namespace qmx {

struct ChannelTrace {
    bool present = false;     // acquired in this frame (enabled in the run's configuration)
    bool overloaded = false;  // the frame's readings were refused for an overload
    bool acMode = false;      // the channel reports AC readings (else DC)
    double rangeVolts = 0;    // full scale of the channel's input range: the lines at +-range

    // Waveform envelope (volts), both of the same size B (0 when the channel is absent).
    std::vector<float> envelopeMin, envelopeMax;

    // Spectrum points, in ascending frequency (both of the same size; empty without a
    // spectrum, e.g. when its buffers could not be had).
    std::vector<double> spectrumHz;
    std::vector<float> spectrumDbV;

    // The measured peak to mark (AC readings with a frequency): its frequency and level.
    bool hasPeak = false;
    double peakHz = 0;
    double peakDbV = 0;

    // The channel's readings as its panel shows them (filled by the window): value in mV,
    // frequency in kHz, phase in degrees; "--------" or "OVERLOAD!" as the panel says.
    QString valueText, frequencyText, phaseText;
};

struct SignalFrame {
    long long frame = 0;             // counts from 1 within a run
    double sampleRate = 0;           // Fs, Hz
    long long samplesPerChannel = 0;  // M of the frame
    long long spectrumLength = 0;     // transform length the spectrum comes from (0: none)
    QString method;                  // "fft" or "sum"
    QString amplitudeType;           // "rms" or "amp"
    std::array<ChannelTrace, 4> channels{};
};

// Level of a spectrum point in dBV for an RMS value in volts; kDbvFloor stands for nothing
// (zero, negative or not a number).
inline constexpr double kDbvFloor = -200.0;
inline double dbvOf(double voltsRms)
{
    if (!(voltsRms > 1e-10))
        return kDbvFloor;
    return 20.0 * std::log10(voltsRms);
}

}  // namespace qmx

#include "SpectrumAnalyser.h"

#include <algorithm>
#include <iterator>
#include <cmath>

namespace qmx {

SpectrumAnalyser::SpectrumAnalyser(long length, const std::atomic<bool>* stopFlag)
    : _length(length), _stopFlag(stopFlag)
{
    if (length > 0)
        _fft = std::make_unique<RealFft>(length);
}

bool SpectrumAnalyser::setLength(long n)
{
    if (n == 0)
        return false;
    if (n != _length || !_fft) {
        _fft = std::make_unique<RealFft>(n);
        _length = n;
    }
    return true;
}

bool SpectrumAnalyser::buildWindow(double* window, int type)
{
    if (type == 0)
        return true;
    const WindowDescription* d = windowDescription(type);
    if (!d) {
        _r = _s = _terms = 0;
        return true;
    }
    std::fill(std::begin(_coefs), std::end(_coefs), 0.0);
    std::copy(d->c, d->c + d->terms, _coefs);
    _terms = d->terms;
    _r = d->r;
    _s = d->s;
    return fillCosineWindow(window, _length, _coefs, _terms, _stopFlag);
}

void SpectrumAnalyser::applyWindow(double* samples, const double* window) const
{
    for (long i = 0; i < _length; ++i)
        samples[i] *= window[i];
}

bool SpectrumAnalyser::transform(const double* samples, double* spectrum)
{
    if (!samples || !spectrum || !_fft)
        return false;
    _fft->forward(samples, spectrum);
    return true;
}

void SpectrumAnalyser::amplitudeSpectrum(const double* spectrum, double* amp) const
{
    const long half = _length / 2;
    amp[0] = spectrum[0] / static_cast<double>(_length);
    const double scale = 1.0 / static_cast<double>(half);
    const double* re = spectrum;
    const double* im = spectrum + half;
    for (long k = 1; k < half; ++k)
        amp[k] = std::sqrt(re[k] * re[k] + im[k] * im[k]) * scale;
}

void SpectrumAnalyser::phaseSpectrum(const double* spectrum, double* phase) const
{
    const long half = _length / 2;
    phase[0] = 0.0;
    for (long k = 1; k < half; ++k)
        phase[k] = std::atan2(spectrum[half + k], spectrum[k]);
}

double SpectrumAnalyser::phaseAt(const double* spectrum, long k) const
{
    return std::atan2(spectrum[_length / 2 + k], spectrum[k]);
}

long SpectrumAnalyser::findPeak(const double* amp, double floor) const
{
    double best = std::max(floor, kPeakFloorLimit);
    long peak = kNoPeak;
    for (long k = _s; k < _length / 2; ++k)
        if (amp[k] > best) {
            best = amp[k];
            peak = k;
        }
    return peak;
}

}  // namespace qmx

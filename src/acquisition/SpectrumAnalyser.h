#pragma once
// SpectrumAnalyser: the spectral half of the "fft" measurement. Owns the RealFft engine for
// the frame length and the description of the window in use (terms, coefficients, DC lobe
// width r, peak-search start s).

#include "RealFft.h"
#include "Windows.h"

#include <atomic>
#include <memory>

namespace qmx {

class SpectrumAnalyser {
public:
    // Lowest floor the peak search accepts; a lower one is raised to it.
    static constexpr double kPeakFloorLimit = -6.0e7;
    static constexpr long kNoPeak = -1;

    // Builds the engine for `length` (none for length 0). The stop flag (may be null) is
    // tested while windows are filled.
    SpectrumAnalyser(long length, const std::atomic<bool>* stopFlag);

    // n == 0 is refused (false, nothing changes); another length rebuilds the engine.
    bool setLength(long n);

    // Fills window[0 .. N) for a window type of the table and records its description.
    // Type 0 records nothing and leaves the array untouched; a type above 8 clears r, s and
    // the term count and leaves the array untouched. Returns false when the stop request
    // cut the filling short.
    bool buildWindow(double* window, int type);

    // samples[i] *= window[i], i < N.
    void applyWindow(double* samples, const double* window) const;

    // Forward transform into the half-complex layout; false (nothing done) when an array is
    // missing or there is no engine.
    bool transform(const double* samples, double* spectrum);

    // A[0] = f[0]/N; A[k] = |f[k] + i f[N/2+k]| / (N/2), 1 <= k < N/2.
    void amplitudeSpectrum(const double* spectrum, double* amp) const;
    // P[0] = 0; P[k] = atan2(f[N/2+k], f[k]), 1 <= k < N/2 (radians).
    void phaseSpectrum(const double* spectrum, double* phase) const;
    // P[k] alone, for 1 <= k < N/2 (the readings only need two bins).
    double phaseAt(const double* spectrum, long k) const;

    // First k in s .. N/2-1 whose A[k] is strictly greater than the best so far, starting
    // from max(floor, kPeakFloorLimit); kNoPeak when the range is empty or nothing beats it.
    long findPeak(const double* amp, double floor) const;

    long length() const { return _length; }
    int terms() const { return _terms; }
    double coefficient(int k) const { return _coefs[k]; }
    const double* coefficients() const { return _coefs; }
    int r() const { return _r; }
    int s() const { return _s; }

private:
    long _length = 0;
    std::unique_ptr<RealFft> _fft;
    const std::atomic<bool>* _stopFlag = nullptr;
    int _terms = 0;
    double _coefs[kMaxWindowTerms] = {};
    int _r = 0;
    int _s = 0;
};

}  // namespace qmx

#include "SpectrumAnalyser.h"

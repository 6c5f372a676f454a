#include "ChannelMeasurement.h"

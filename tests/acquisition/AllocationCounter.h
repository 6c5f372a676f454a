#pragma once
// Number of global operator new calls made so far by this test binary.

namespace qmxtest {
long allocationCount();
}

#pragma once
// Number of allocations made so far by this test binary: global operator new calls and
// DynArray arrays (which come from calloc).

namespace qmxtest {
long allocationCount();
}

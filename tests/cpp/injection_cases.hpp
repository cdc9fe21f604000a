// Injected cases shared by the injector's and the detector's tests.
#pragma once

#include <utility>
#include <vector>

#include "interference/inject.hpp"

namespace cases {

// A plateau jammer of `db` over [start, end) seconds after the first epoch; every band when
// `bands` is empty.
inline tessora::Injection jammer(double start, double end, double db, std::vector<tessora::Band> bands = {}) {
    tessora::Injection j;
    j.start = start;
    j.end = end;
    j.db = db;
    j.bands = std::move(bands);
    return j;
}

}  // namespace cases

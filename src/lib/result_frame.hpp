#pragma once
// The pandas DataFrame that mfx returns, built from the effects table.

#include "lib/python_support.hpp"
#include "report/delta_method.hpp"

namespace velmora {

// pandas.DataFrame(data={...seven columns...}, index=[names]); whatever the
// constructor returns is handed back as it is.
[[nodiscard]] PyRef build_result_frame(const EffectsTable& table);

}  // namespace velmora

#pragma once
// Private functions of the module (underscore names, not in __all__) through
// which velmora_dask computes over the blocks of a Dask array: the model read
// as mfx reads it, per-block classification facts and totals, and the report
// from totals added over all blocks. Only the block functions let go of the
// interpreter's lock, while the core computes on the block.

#include "lib/python_support.hpp"

namespace velmora {

void add_block_entry_points(PyObject* module);

}  // namespace velmora

#pragma once
// A poll for the interruption tests: counts its calls and asks the pass to
// stop at call number `stop_at` (never when 0).

#include <cstddef>

#include "engine/interruption.hpp"

namespace velmora {

struct CountingPoll {
  std::size_t count = 0;
  std::size_t stop_at = 0;

  [[nodiscard]] InterruptionCheck check() { return {&poll, this}; }

 private:
  static bool poll(void* context) {
    auto* self = static_cast<CountingPoll*>(context);
    return ++self->count == self->stop_at;
  }
};

}  // namespace velmora

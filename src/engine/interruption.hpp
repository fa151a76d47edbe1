#pragma once
// How a long pass over the rows lets its caller stop it. The caller hands
// down a plain function and its context (the Python module checks for
// pending signals there, so a Ctrl-C ends a call over many rows at once);
// the pass polls it after every so much work, counted in elements of X read
// rather than in time, so polling costs no clock reads. When the poll asks
// to stop, the pass throws Interrupted and its buffers are released as it
// unwinds.

#include <cstddef>
#include <exception>

namespace velmora {

// Thrown by a pass whose poll asked it to stop; whatever the poll reported
// (a pending Python exception, say) is the caller's to pick up.
struct Interrupted final : std::exception {
  [[nodiscard]] const char* what() const noexcept override { return "interrupted"; }
};

struct InterruptionCheck {
  // True when the pass must stop. Null: never.
  bool (*poll)(void* context) = nullptr;
  void* context = nullptr;
};

// Counts the work of a pass and polls between its blocks of rows. At about
// a nanosecond or two per element read, 2^18 elements are a fraction of a
// millisecond: a poll that quick keeps Ctrl-C prompt, and one that rare
// costs nothing measurable.
class InterruptionPoller {
 public:
  static constexpr std::size_t elements_between_polls = std::size_t{1} << 18;

  explicit InterruptionPoller(const InterruptionCheck& check) : check_(check) {}

  // After a block of `elements` elements of X: polls once enough work has
  // been done since the last poll, and throws Interrupted when told to stop.
  void add_work(std::size_t elements) {
    if (check_.poll == nullptr) {
      return;
    }
    since_poll_ += elements;
    if (since_poll_ < elements_between_polls) {
      return;
    }
    since_poll_ = 0;
    if (check_.poll(check_.context)) {
      throw Interrupted{};
    }
  }

 private:
  InterruptionCheck check_;
  std::size_t since_poll_ = 0;
};

}  // namespace velmora

#pragma once
// Case-insensitive comparison of a name with a lower-case ASCII word. No
// character outside ASCII lower-cases into plain ASCII letters other than
// 'k' (the Kelvin sign), so for words without 'k' this equals comparing the
// name's full Unicode lower-case form with the word.

#include <algorithm>
#include <string_view>

namespace velmora {

[[nodiscard]] inline bool equals_ignoring_ascii_case(std::string_view name,
                                                     std::string_view lower_word) {
  return name.size() == lower_word.size() &&
         std::equal(name.begin(), name.end(), lower_word.begin(), [](char a, char b) {
           const char folded = (a >= 'A' && a <= 'Z') ? static_cast<char>(a - 'A' + 'a') : a;
           return folded == b;
         });
}

}  // namespace velmora

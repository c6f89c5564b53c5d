#include "base/sort_string_array.h"

#include <algorithm>

#include "base/text.h"

namespace ordalen {

void CSortStringArray::Sort() {
  // Adjacent swaps of strictly greater pairs until nothing moves is exactly a
  // stable sort under the same comparison; stable_sort gives that without the
  // quadratic passes.
  std::stable_sort(begin(), end(), [](const std::string& a, const std::string& b) {
    return CompareNoCase(a, b) < 0;
  });
}

}  // namespace ordalen

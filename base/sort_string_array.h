// A string array that sorts itself the way host lists are ordered everywhere in
// the program: ascending, ASCII case-insensitive, stable (bubble passes until a
// pass swaps nothing, so equal strings keep their order).
#pragma once

#include <string>
#include <vector>

namespace ordalen {

class CSortStringArray : public std::vector<std::string> {
 public:
  using std::vector<std::string>::vector;
  void Sort();
};

}  // namespace ordalen

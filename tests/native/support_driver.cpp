// Line-oriented driver for the geometric support code, compiled by the tests.
//   o ax ay bx by px py      -> sign of orient2d
//   t n, then n lines "x0 y0 x1 y1" -> loads an R-tree (prints nothing)
//   q x0 y0 x1 y1            -> ids of the loaded items meeting the box, sorted
// Numbers are anything strtod reads (hex floats, inf).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "core/support/orient2d.hpp"
#include "core/support/rtree.hpp"

namespace {
std::vector<double> numbers(std::istringstream& in) {
  std::vector<double> out;
  std::string word;
  while (in >> word) out.push_back(std::strtod(word.c_str(), nullptr));
  return out;
}
}  // namespace

int main() {
  std::string line;
  kivet::RTree tree;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string op;
    in >> op;
    if (op == "o") {
      auto v = numbers(in);
      std::cout << kivet::orient2d_sign(v[0], v[1], v[2], v[3], v[4], v[5]) << '\n';
    } else if (op == "t") {
      size_t n = 0;
      in >> n;
      std::vector<kivet::Box> boxes;
      for (size_t i = 0; i < n && std::getline(std::cin, line); ++i) {
        std::istringstream row(line);
        auto v = numbers(row);
        boxes.push_back({v[0], v[1], v[2], v[3]});
      }
      tree = kivet::RTree(boxes);
    } else if (op == "q") {
      auto v = numbers(in);
      std::vector<uint32_t> hits;
      tree.search({v[0], v[1], v[2], v[3]}, [&](uint32_t i) {
        hits.push_back(i);
        return false;
      });
      std::sort(hits.begin(), hits.end());
      for (size_t i = 0; i < hits.size(); ++i) std::cout << (i ? " " : "") << hits[i];
      std::cout << '\n';
    }
  }
}

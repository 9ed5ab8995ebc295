// Reads XML property lists separated by NUL bytes on standard input and
// prints each as one line of JSON, or "refused", for the comparison with
// Python's plistlib in property_list_differential.py.
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>

#include "readers/property_list.h"

int main() {
  const std::string input{std::istreambuf_iterator<char>(std::cin), {}};
  std::size_t start = 0;
  while (start <= input.size()) {
    std::size_t end = input.find('\0', start);
    if (end == std::string::npos) end = input.size();
    const auto value = tarnwick::registration::parseXmlPropertyList(
        std::string_view(input).substr(start, end - start));
    std::cout << (value ? value->dump() : "refused") << "\n";
    start = end + 1;
  }
}

#include "util/Tokenutils.h"

std::string GetToken(const std::string& source, const std::string& delimiter, std::uint8_t index) {
  std::size_t restStart = 0;
  std::string token;
  int count = 1;
  bool more = !source.empty();
  while (count <= index && more) {
    const std::size_t found =
        delimiter.empty() ? std::string::npos : source.find(delimiter, restStart);
    if (found != std::string::npos) {
      token.assign(source, restStart, found - restStart);
      restStart = found + delimiter.size();
      ++count;
    } else {
      token.assign(source, restStart, std::string::npos);
      more = false;
    }
  }
  return count < index ? std::string() : token;
}

// GetToken: the index-th field of a delimited text.
#pragma once

#include <cstdint>
#include <string>

// Fields count from 1; an empty field between two delimiters is a field like any other; the
// delimiter may be several characters long; an empty delimiter never matches (the whole text is
// field 1). Index 0 and every index past the last field give an empty string.
std::string GetToken(const std::string& source, const std::string& delimiter, std::uint8_t index);

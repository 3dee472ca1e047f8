// Fuzzes the netrc reader with any file text: it must end, find the same password each time,
// and give a host entry's password before the default entry's.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/Credentials.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  const std::string_view text(reinterpret_cast<const char*>(Data), Size);
  TSecret first, second;
  const bool found = NetrcPassword(text, "mail.example.org", "ann", first);
  Check(NetrcPassword(text, "mail.example.org", "ann", second) == found, "same answer twice");
  Check(!found || first == second, "same password twice");
  Check(first.Size() <= Size, "password longer than the file");

  // An entry for the host put first, and ended by the next entry, wins over anything the text
  // holds (an entry left open would take the text's keywords as its own).
  const std::string withHost =
      "machine mail.example.org login ann password p0\nmachine other.invalid\n" + std::string(text);
  TSecret mine;
  Check(NetrcPassword(withHost, "mail.example.org", "ann", mine), "own entry found");
  Check(mine.View() == "p0", "own entry's password");
  return 0;
}

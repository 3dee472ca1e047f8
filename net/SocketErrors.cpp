#include "net/SocketErrors.h"

namespace {

struct ErrorEntry {
  int Code;
  std::string_view Name;
  std::string_view Text;
};

#define TARVIK_ERROR_ENTRY(code, name, text) ErrorEntry{code, #name, text},
constexpr ErrorEntry kErrors[] = {TARVIK_WINSOCK_ERRORS(TARVIK_ERROR_ENTRY)};
#undef TARVIK_ERROR_ENTRY

const ErrorEntry* FindError(int code) {
  for (const auto& e : kErrors)
    if (e.Code == code) return &e;
  return nullptr;
}

}  // namespace

std::string SocketErrorText(int code) {
  const ErrorEntry* e = FindError(code);
  return e ? std::string(e->Text) : std::string("Not a WinSock error");
}

std::string_view SocketErrorName(int code) {
  const ErrorEntry* e = FindError(code);
  return e ? e->Name : std::string_view();
}

std::string SocketErrorMessage(int code, std::string_view operation) {
  std::string text = "Error " + std::to_string(code) + " in function ";
  text += operation;
  text += "\r\n";
  text += SocketErrorText(code);
  return text;
}

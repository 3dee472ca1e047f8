// Winsock error codes, their names and English texts, and the standard socket error text.
#pragma once

#include <string>
#include <string_view>

// The English text of a Winsock error code; codes not in the table give "Not a WinSock error".
std::string SocketErrorText(int code);
// The symbolic name of a code ("WSAECONNREFUSED"), or "" for codes not in the table.
std::string_view SocketErrorName(int code);
// "Error <code> in function <operation>\r\n<text of code>".
std::string SocketErrorMessage(int code, std::string_view operation);

// Addresses a desktop hands over: a mailto: address (RFC 6068) from a link, and a file:// one
// for a file dropped on the program's icon (the desktop entry passes both as arguments).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What a mailto: address asks for. Only the fields a composer fills are taken; every other
// header field is ignored, among them those a page could misuse (attach, from, reply-to ...):
// a link never attaches a file of this machine or names the sender.
struct TMailto {
  std::vector<std::string> To, Cc, Bcc;
  std::optional<std::string> Subject;
  std::optional<std::string> Body;  // lines broken by CR LF, as the address carries them
};

// True for an argument in the mailto: scheme, or in the file: scheme with a path ("file:/...");
// letters of the scheme in any case.
bool IsMailtoUri(std::string_view argument);
bool IsFileUri(std::string_view argument);

// The mailto: address read: percent escapes decoded, the result UTF-8. Raises
// std::invalid_argument saying what is wrong: a bad escape, text that is no UTF-8, a recipient
// without "@" or with a ";" (the recipient fields' separator), a line break or other control
// character outside the body.
TMailto ParseMailto(std::string_view uri);

// The local path of a file: address ("file:///path", "file://localhost/path"), decoded. Raises
// std::invalid_argument for one of another machine, a bad escape or a NUL.
std::string LocalPathOfFileUri(std::string_view uri);

// SmtpEncoding: the text encodings of a message that every mail reader understands. Header text
// beyond ASCII becomes RFC 2047 encoded-words, display names with specials are quoted, file
// names beyond ASCII become RFC 2231 parameters, and text lines become quoted-printable wire
// lines. Plain ASCII that needs none of this is returned byte for byte.
//
// Folded results hold "\r\n " between the physical lines; the header build sends each as its
// own line.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// RFC 2047 2: an encoded-word is at most 75 characters; RFC 2047 2 also keeps a line holding
// encoded-words within 76 characters.
constexpr std::size_t MaxEncodedWord = 75;
constexpr std::size_t MaxEncodedLine = 76;
// RFC 2045 6.7 (5): a quoted-printable line holds at most 76 characters.
constexpr std::size_t MaxQuotedPrintableLine = 76;

// True when Text holds a byte beyond ASCII.
bool HoldsEightBit(std::string_view Text);
// True when Text holds valid UTF-8 (ASCII included).
bool IsValidUtf8(std::string_view Text);

// Unstructured header text (Subject): unchanged when it is ASCII, otherwise encoded-words in
// CharSet separated by folds. Used is how many characters the line holds before the text (the
// header name and its ": "), so that the first line fits too. A UTF-8 character is never split
// between two words.
std::string EncodeUnstructured(std::string_view Text, std::string_view CharSet, std::size_t Used);

// A display name as a phrase: unchanged when it is ASCII words without specials (or already a
// quoted string); quoted (RFC 5322 3.2.4) when it holds specials such as "," ";" "@" "." or a
// quote; encoded-words when it holds bytes beyond ASCII.
std::string EncodePhrase(std::string_view Name, std::string_view CharSet, std::size_t Used);

// An address list as a user writes it ("Doe, John <ann@example.org>, bob@example.org"), made fit
// for From, To, Sender, Reply-To: each display name goes through EncodePhrase. Commas inside a
// display name stay with it: a piece without "@" and without "<" belongs to the next one. Pieces
// that need nothing keep their bytes, spacing included.
std::string EncodeAddressList(std::string_view Value, std::string_view CharSet, std::size_t Used);

// A MIME parameter value that must be written as name*= (RFC 2231 4): beyond ASCII, a quote, a
// backslash or a control character. Plain values keep the quoted name="..." form.
bool NeedsExtendedParameter(std::string_view Value);
// The RFC 2231 value: the charset ("utf-8" when Value is valid UTF-8, else "iso-8859-1"), two
// quotes and Value with every byte outside the attribute characters as %XX.
std::string ExtendedParameterValue(std::string_view Value);
// Value as RFC 2047 encoded-words for a quoted parameter (name="..."), which the common mail
// programs write beside filename*= for readers that know only the older parameter. The charset
// as for ExtendedParameterValue; quotes and backslashes are encoded too. Words are folded with
// CR LF and a blank, the first placed after Used columns.
std::string EncodedParameterValue(std::string_view Value, std::size_t Used);

// Encodes the next quoted-printable wire line (RFC 2045 6.7) of the text line Text from Offset
// into Out (room for MaxQuotedPrintableLine characters and a NUL), advancing Offset past the
// bytes taken. The wire line ends in "=" (a soft line break) while Text goes on after it; blanks
// at the end of Text are encoded, so that nothing a transport strips can change the text, and so
// is the "F" of a wire line starting "From " (mailbox files would mark it). An empty Text gives one
// empty wire line. Returns the wire line's length.
std::size_t EncodeQuotedPrintable(std::string_view Text, std::size_t& Offset, char* Out);
// The bytes the text line Text takes on the wire as quoted-printable, line ends (CR LF)
// included: for estimates of a message's size.
std::size_t QuotedPrintableSize(std::string_view Text);

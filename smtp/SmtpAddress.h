// Envelope addresses as they may go to a server: the checks made before a session starts
// (RFC 5321 4.1.2 and 4.5.3.1, UTF-8 only where RFC 6531 allows it) and the A-label form of an
// international domain (IDNA 2008, RFC 5890/5891, through libidn2).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// RFC 5321 4.5.3.1.1 to 4.5.3.1.3, in octets; the path counts the angle brackets.
constexpr std::size_t MaxLocalPart = 64;
constexpr std::size_t MaxDomain = 255;
constexpr std::size_t MaxPath = 256;

// The address in an envelope value as the address rule reads it: the text between the first
// "<" and the first ">" after it when the value holds both brackets, else the value without
// the blanks around it.
std::string EnvelopeAddress(std::string_view Value);

// Why Text cannot go into a command or a header field: it holds a control character
// (0x00-0x1F, 0x7F; the first is named) or bytes that are not UTF-8. "" when it can.
std::string TextProblem(std::string_view Text);

// Why Address cannot go into MAIL FROM or RCPT TO: a TextProblem, a local part (before the last
// "@") longer than MaxLocalPart, a domain longer than MaxDomain (also as its A-label), a path
// longer than MaxPath, or a domain beyond ASCII that is no valid IDNA 2008 name. A bare local
// part ("root") and an address literal ("[192.0.2.1]") pass. "" when it can.
std::string AddressProblem(std::string_view Address);

// Why Name cannot be the name of a HELO or EHLO: as AddressProblem's domain checks.
std::string DomainProblem(std::string_view Name);

// True when the local part of Address holds bytes beyond ASCII, which only SMTPUTF8 carries.
bool NeedsSmtpUtf8(std::string_view Address);

// The domain written as its A-label ("xn--...") when it holds bytes beyond ASCII; unchanged
// otherwise (and when it cannot be converted: DomainProblem tells).
std::string AsciiDomain(std::string_view Domain);
// Address with its domain as AsciiDomain makes it.
std::string AsciiDomainAddress(std::string_view Address);

// Text for an error message: control characters and bytes that are not UTF-8 shown as \xNN.
std::string VisibleText(std::string_view Text);

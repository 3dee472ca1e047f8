// The sendmail-compatible mode: how other programs (git send-email, mail, cron, ...) hand
// Tarvik a finished message. Started as "sendmail" (a link of that name) or with "--sendmail"
// as the first argument, the program reads one RFC 5322 message from standard input and sends
// it as it is through the server, TLS, login and proxy of section defaults, without a window.
//
// Options, as sendmail takes them: -t (recipients also from To, Cc and Bcc; Bcc lines are not
// sent), recipient arguments, -f ADDRESS / -r ADDRESS (the envelope sender; default: the
// setting from, else the From line), -F NAME (the name of a From line made up when the message
// has none), -i and -oi (a line holding a single "." does not end the input; without them it
// does), "--" (only recipients follow). Options a sender may ignore are taken and ignored:
// -o and -e with any letters, -bm, -m, -n, -U, -v, -A and -G, and -B, -N, -R, -V, -L, -O, -h
// with their values. Anything else is refused.
//
// The message goes out with CR LF line ends and dot-stuffed; Date, Message-ID (and From, when
// missing) are added. 8-bit text is declared with BODY=8BITMIME, and refused when the server
// does not announce it. Exit status: sysexits (SysExit below).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "smtp/SmtpProt.h"

namespace SysExit {
constexpr int Ok = 0;
constexpr int Usage = 64;        // a refused option or recipient argument, no recipient
constexpr int DataErr = 65;      // the message cannot be sent as it is
constexpr int NoHost = 68;       // the server's name is unknown
constexpr int Unavailable = 69;  // the server refused for good, or cannot take the message
constexpr int Software = 70;     // an internal error
constexpr int TempFail = 75;     // worth trying again later (network, 4xx, no temporary file)
constexpr int NoPerm = 77;       // the login or the proxy login was refused
constexpr int Config = 78;       // the settings do not allow a send (no server, bad tls, ...)
}  // namespace SysExit

// True when this start asks for the sendmail mode: the program's file name (ProgramName as in
// argv[0]) is "sendmail", or the first argument is "--sendmail".
bool SendmailModeRequested(const std::string& ProgramName,
                           const std::vector<std::string>& Arguments);

struct TSendmailOptions {
  bool RecipientsFromHeader = false;  // -t
  bool DotEndsInput = true;           // cleared by -i, -oi
  std::string Sender;                 // -f, -r
  std::string FullName;               // -F
  std::vector<std::string> Recipients;
  std::string Problem;  // the refused option, said in a sentence; "" when all is well
};

// Reads the options (the arguments after the program name, without "--sendmail").
TSendmailOptions ParseSendmailArguments(const std::vector<std::string>& Arguments);

// The bare addresses of an address-list field value (RFC 5322 3.4): display names, comments
// and group names dropped, in order.
std::vector<std::string> AddressesOf(const std::string& FieldValue);

// The exit status for a request that ended with Error (as OnRequestDone reports it).
int SendmailExitCode(TSmtpRequest Request, std::uint16_t Error, bool Permanent);

// The whole mode: reads standard input, sends, and returns the exit status. Problems are told
// on standard error, one line each, beginning "sendmail: ". Needs a current front-end (for the
// settings' reports and a password prompt) and the event loop of this thread.
int RunSendmail(const std::vector<std::string>& Arguments);

// Where the password (or OAuth token) for an SMTP login comes from. The SMTP client asks for it
// only when AUTH is about to be sent; TPasswordRequest then tries, in this order:
//  1. the setting passwordcmd: a command run through /bin/sh -c (as other mail tools do), as a
//     child watched by the event loop; the first line it prints is the password. It has
//     passwordtimeout seconds (default 30); a command that fails, prints nothing or runs out of
//     time stops the send.
//  2. the desktop keyring (the Secret Service: GNOME Keyring, KWallet, KeePassXC), through the
//     helper program tarvik-keyring, an item with the attributes service=smtp, host, user (and
//     port, which must match when the item has one). Skipped at once without a session bus;
//     a script never gets the keyring's unlock prompt.
//  3. the netrc file ($NETRC, else ~/.netrc): the entry for the server host (and the user, when
//     the entry names one), else its "default" entry. A netrc file that other users can read or
//     write, or that belongs to someone else, is refused, as ftp and curl refuse it.
//  4. a prompt through the front-end (a password field in the window, with a "Remember in
//     keyring" box; the terminal without echo in scripting mode).
// The password only ever lives in TSecret buffers; nothing here writes it anywhere but to the
// keyring helper's standard input when the user asked to remember it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ChildCommand.h"
#include "platform/Secret.h"

enum class TPasswordSource : std::uint8_t { None, Command, Keyring, Netrc, Prompt };

struct TPasswordQuestion {
  std::string Host;
  std::string Port;
  std::string User;
  std::string Command;  // passwordcmd; empty: none
  std::uint32_t CommandTimeoutSeconds = 30;
  // A window is there: the keyring may ask to be unlocked, the prompt offers to remember.
  bool Interactive = false;
  // Where the password the server just refused came from (the keyring or the prompt): only the
  // prompt is asked, saying which password was refused. None: the first search of a login.
  TPasswordSource Refused = TPasswordSource::None;
  // The prompt's "Remember in keyring" box starts ticked.
  bool RememberTicked = false;
};

// One search for a password, source by source, without blocking the event loop.
class TPasswordRequest {
 public:
  // Found: Password holds it. Otherwise Problem says why (never holding the password).
  using TDone =
      std::function<void(bool Found, const TSecret& Password, const std::string& Problem)>;

  TPasswordRequest();
  ~TPasswordRequest();
  TPasswordRequest(const TPasswordRequest&) = delete;
  TPasswordRequest& operator=(const TPasswordRequest&) = delete;

  // Starts the search; Done fires once, from the loop or (for the sources that need no wait)
  // before Start returns. A search still running is cancelled first.
  void Start(const TPasswordQuestion& Question, TDone Done);
  // Ends the search at once (a running command or keyring lookup is killed); Done does not fire.
  void Cancel();
  bool Running() const { return FRunning; }
  // Where the last password found came from.
  TPasswordSource Source() const { return FSource; }
  // The user asked (in the window's prompt) to keep the password in the keyring.
  bool RememberWanted() const { return FRemember; }

 private:
  void StartCommand();
  void CommandDone();
  void StartKeyring();
  void KeyringDone();
  void FromNetrcOrPrompt();
  void Finish(bool Found, const TSecret& Password, const std::string& Problem,
              TPasswordSource Source);

  TPasswordQuestion FQuestion;
  TDone FDone;
  bool FRunning = false;
  TPasswordSource FSource = TPasswordSource::None;
  bool FRemember = false;
  TChildCommand FChild;
};

// Stores Password in the keyring for Question's host, user and port, replacing what a lookup
// would have found there; runs in the background. Done (optional) gets false with the reason
// when it failed.
class TKeyringStore {
 public:
  using TDone = std::function<void(bool Stored, const std::string& Problem)>;
  void Start(const TPasswordQuestion& Question, const TSecret& Password, TDone Done = nullptr);
  bool Running() const { return FChild.Running(); }

 private:
  TChildCommand FChild;
};

// The keyring helper program, or "" when it is not installed.
std::string KeyringHelperPath();
// True when a session bus can be reached (its address is set, or the user's bus socket is
// there): without one there is no keyring to ask.
bool SessionBusAvailable();

enum class TNetrcResult { Found, NotFound, Refused };
// The netrc password for host and user. Refused (with the reason) for an unsafe file or one
// that cannot be read; NotFound when there is no file or no entry.
TNetrcResult PasswordFromNetrc(const std::string& host, const std::string& user, TSecret& password,
                               std::string& problem);
// The password of the entry for host (and user, when it names one), else of the "default"
// entry, in a netrc file's text. False when there is none.
bool NetrcPassword(std::string_view text, const std::string& host, const std::string& user,
                   TSecret& password);

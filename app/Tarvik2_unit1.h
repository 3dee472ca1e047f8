// TForm1: the composer window as a model. It owns the fields, buttons, timers, dialogs and the
// SMTP client, and keeps the run state that start-up, sending, settings, drafts, the address
// book and the window behaviour share. The process has one composer, held in Form1.
//
// Life of the form:
//  1. Construction creates the controls with their captions, hints and initial states and binds
//     every event to its handler.
//  2. Program entry fills Arguments and calls OnInit (settings, then the command line). OnInit
//     may raise (a message file that cannot be read); the caller reports it.
//  3. The front-end calls Show (runs OnShow: first focus, ShowTimer, then the draft offer).
//  4. Close runs FormClose (settings part, then draft part), then OnClosed.
// ErrorBox under CloseWhenDone ends the process with exit code 1 without any of step 4.
//
// Handlers live in the files of their subject: StartUp.cpp (start-up, command line, help,
// ErrorBox, close), Settings.cpp, Sending.cpp, Drafts.cpp, AddressBook.cpp and
// WindowBehaviour.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/Credentials.h"
#include "app/Version.h"
#include "platform/Controls.h"
#include "platform/SignalWatch.h"
#include "platform/StringList.h"
#include "platform/Timer.h"
#include "smtp/SmtpProt.h"

class TMessageStream;

class TForm1 : public TForm {
 public:
  TForm1();
  ~TForm1() override;

  // ---- The pages
  TPageControl& PageControl1 = Make<TPageControl>("PageControl1");
  TTabSheet& TabSheet1 = Make<TTabSheet>("TabSheet1");
  TTabSheet& TabSheet2 = Make<TTabSheet>("TabSheet2");
  TTabSheet& TabSheet3 = Make<TTabSheet>("TabSheet3");

  // ---- First page ("&Standard")
  TEdit& from = Make<TEdit>("from");
  TEdit& sendto = Make<TEdit>("sendto");
  // Copies: recipients named in the Cc line. Blind copies: recipients named in no header line.
  // Both ";"-separated like sendto and completed from the address book like it.
  TEdit& cc = Make<TEdit>("cc");
  TEdit& bcc = Make<TEdit>("bcc");
  TEdit& subject = Make<TEdit>("subject");
  TImage& Image1 = Make<TImage>("Image1");

  // ---- Attachments page
  TListBox& AttachedFiles = Make<TListBox>("AttachedFiles");
  TCheckBox& AutoDeleteAttached = Make<TCheckBox>("AutoDeleteAttached");
  TButton& AddFileBtn = Make<TButton>("AddFileBtn");
  TButton& RemoveFileBtn = Make<TButton>("RemoveFileBtn");

  // ---- Settings page
  TComboBox& SMTPServer = Make<TComboBox>("SMTPServer");
  TEdit& SignFile = Make<TEdit>("SignFile");
  TButton& BrowseBtn = Make<TButton>("BrowseBtn");
  TCheckBox& AutoSave = Make<TCheckBox>("AutoSave");
  TCheckBox& CloseWhenSent = Make<TCheckBox>("CloseWhenSent");
  TButton& SaveSettingsBtn = Make<TButton>("SaveSettingsBtn");
  // How the connection is protected: "auto", "starttls", "smtps" or "off" (SendBtnClick).
  TComboBox& tls = Make<TComboBox>("tls");
  // The user name for SMTP authentication; empty: none.
  TEdit& user = Make<TEdit>("user");
  // The password source: a command whose first output line is the password; empty: the netrc
  // file, then a prompt (Credentials.h).
  TEdit& passwordcmd = Make<TEdit>("passwordcmd");

  // ---- Below the pages
  TMemo& MessageText = Make<TMemo>("MessageText");
  TButton& SendBtn = Make<TButton>("SendBtn");
  TButton& ClearBtn = Make<TButton>("ClearBtn");
  TProgressBar& ProgressBar1 = Make<TProgressBar>("ProgressBar1");
  TStatusBar& StatusBar1 = Make<TStatusBar>("StatusBar1");

  // ---- Non-visual parts
  TOpenDialog& OpenDialog1 = Make<TOpenDialog>("OpenDialog1");
  TOpenDialog& OpenDialog2 = Make<TOpenDialog>("OpenDialog2");
  TPopupMenu& TarvikPopup = Make<TPopupMenu>("TarvikPopup");
  TMenuItem& Tarvikv2001 = TarvikPopup.Add("Tarvikv2001", "&Tarvik v2.0");
  TMenuItem& N1 = TarvikPopup.Add("N1", "-");
  TMenuItem& CommandLineHelp1 = TarvikPopup.Add("CommandLineHelp1", "&CommandLine Help");
  TTimer FocusTimer{"FocusTimer", 1, false};
  TTimer SaveDraftTimer{"SaveDraftTimer", 120000, true};
  TTimer ShowTimer{"ShowTimer", 500, false};
  TTimer StatusBarTimer{"StatusBarTimer", 2000, false};
  // The wait between two tries of a send under retry.
  TTimer RetryTimer{"RetryTimer", 5000, false};
  // During the message transfer: the bytes sent of the message's total, shown a few times a
  // second (never per line, which would slow the send).
  TTimer ProgressTimer{"ProgressTimer", 250, false};
  std::unique_ptr<TSmtpCli> SmtpCli1 = std::make_unique<TSmtpCli>();
  // SIGTERM and SIGHUP (a logout, a closed terminal) while the window is up: EndSession, from
  // the loop. Set up by OnShow outside scripting mode.
  std::unique_ptr<TSignalWatch> SessionSignals;

  // ---- Run state (process-wide, shared by every part of the composer)
  std::string MessageFileName;
  // The message text read from standard input by "-f:-" in scripting mode: it stays in a
  // temporary file and is read line by line as it is sent, before MessageText's lines.
  std::unique_ptr<TMessageStream> MessageStream;
  // The message file as it was when its text was read: the send ends without the message when
  // the file changed since, and -fdel deletes only that file. None for a text not read from a
  // regular file.
  std::optional<TFileIdentity> MessageFileIdentity;
  // The files a successful send did not delete because they changed after they were sent.
  std::string KeptFilesNotice;
  bool DeleteMessageFile = false;
  bool AutoSend = false;
  bool CloseWhenDone = false;
  bool DoRetry = false;
  bool DoRetryOnce = false;
  bool ReportFailure = false;
  bool ReportSuccess = false;
  bool SendForward = false;
  bool AbortRequested = false;
  bool SendSucceeded = false;
  // During a send: the server has accepted the message (its reply to the final "."). What fails
  // after that (QUIT) cannot undo the delivery, so the send counts as a success and neither a
  // retry nor the user sends the message twice.
  bool MessageAccepted = false;
  // After a refusal: the session is being ended with RSET and QUIT before PendingFailure is
  // reported (and retried unless the refusal was permanent).
  bool EndingPolitely = false;
  std::string PendingFailure;
  bool PendingFailurePermanent = false;
  // The name to greet the server with (setting helo, option -helo:); empty for the automatic
  // one (TCustomSmtpClient::HeloName).
  std::string HeloName;
  bool KeepDraft = false;
  // The message as the server last accepted it (MessageImage), "" before the first send: the
  // same message again is a copy, sent only when the user says so, and closing loses nothing.
  std::string SentMessageImage;
  bool SuppressKeyPress = false;
  // The field that had the focus when a send began and gave it to the Abort button; it gets
  // it back when the send ends.
  TControl* FocusBeforeSend = nullptr;
  // Failed tries of the current send under retry, and how long to wait after each: from
  // FirstMs, doubling, up to CapMs, so that a server that is down or greylisting is neither
  // flooded nor given up on. Tests make the waits short.
  int RetryCount = 0;
  // The size of the message being transferred (what MAIL FROM declared, or counted at DATA).
  std::uint64_t TransferTotal = 0;
  struct TRetryPacing {
    std::uint32_t FirstMs = 5000;
    std::uint32_t CapMs = 300000;
    // The wait after the given number of failed tries (1 and up).
    std::uint32_t DelayMs(int failures) const;
  };
  TRetryPacing RetryPacing;
  std::string SettingsSection;
  std::string SavedStatusText;
  std::string AddressFile;
  std::string DraftDir;
  TStringList SignLines;
  // Settings edited by hand (LoadSettings): "auth" ("oauth2": the password is a bearer token
  // for XOAUTH2), "cafile" (PEM CA certificates trusted besides the system's), "tlsfingerprint"
  // (the SHA-256 fingerprint of the one server certificate to accept).
  std::string AuthMethod;
  std::string CaFile;
  std::string TlsFingerprint;
  // "passwordtimeout": how long passwordcmd may take, in seconds.
  std::uint32_t PasswordTimeoutSeconds = 30;

  // The password search of the current send (Sending.cpp), what it asked, and a password the
  // person asked to remember, kept until the server has accepted it. In the window a password
  // the server refused is asked for again: RefusedPassword says where the refused one came
  // from, RefusedTypedPasswords counts the typed ones refused in this send.
  TPasswordRequest PasswordRequest;
  TPasswordQuestion PasswordQuestion;
  TSecret PasswordToRemember;
  TPasswordSource RefusedPassword = TPasswordSource::None;
  int RefusedTypedPasswords = 0;
  // The server's refusal of the password being asked for again, which a Cancel at that prompt
  // reports (LoginCancelled), rather than the missing password.
  std::string RefusedLogin;
  bool LoginCancelled = false;
  TKeyringStore KeyringStore;
  // The SOCKS proxy the send goes through (setting proxy, option -proxy:), a URL that
  // ParseProxy reads; empty: a direct connection.
  std::string Proxy;

  // "ehlo" (1: the plain session greets with EHLO too, and pipelines where the server offers it;
  // option -ehlo).
  bool UseEhlo = false;

  // Where the body handed to the SMTP client stands: the next wire line expected, the source
  // line it comes from (message lines, then signature lines) and how much of that line has gone
  // out. Lets line N+1 follow line N without a rescan (Sending.cpp).
  struct TBodyCursor {
    int NextLineNum = 0;
    int SourceLine = 0;
    std::size_t Offset = 0;
  };
  TBodyCursor BodyCursor;

  // The draft files this window owns: a slot of the draft folder ("tarvik2.dft" ... for the
  // first, "tarvik2-2.dft" ... for the next), held by a lock on the slot's lock file for as
  // long as the window lives, so that no other window offers, overwrites or deletes them. The
  // kernel drops the lock when the process ends, however it ends: the draft of a window that
  // died is offered to the next one.
  class TDraftSlot {
   public:
    TDraftSlot() = default;
    ~TDraftSlot();
    TDraftSlot(const TDraftSlot&) = delete;
    TDraftSlot& operator=(const TDraftSlot&) = delete;
    bool Held() const { return lockFd_ >= 0; }
    // The path of one of the slot's files, from its extension ("dft", "dfh", "dfa", "lck").
    std::string File(const std::string& extension) const;
    // Takes the slot's lock (the folder must exist); false when another window holds it.
    bool TryLock(const std::string& folder, int number);
    void Release();

   private:
    std::string folder_;
    int number_ = -1;
    int lockFd_ = -1;
  };
  TDraftSlot DraftSlot;

  // The command-line arguments after the program name, set by program entry before OnInit.
  std::vector<std::string> Arguments;
  // True in the scripting (headless) front-end. No draft offer, no draft saving, no draft
  // deletion: a script never touches the draft of an interactive session. A nick the address
  // book does not know cancels the automatic send: a script is never told success for a
  // message that went to a bare nick.
  bool Scripting = false;

  // ---- Start-up and command line (StartUp.cpp)
  // The create event: LoadSettings("defaults"), then the arguments. Raises when a "-f:" file
  // cannot be read; the arguments after it are then not applied, except that a "-close" among
  // them still sets CloseWhenDone, and AutoSend is cleared (no message goes out without its
  // text by itself).
  void OnInit(TControl* Sender);
  // The show event: first focus, ShowTimer, then the draft offer.
  void OnShow(TControl* Sender);
  // The close event: the settings part, then the draft part.
  void FormClose(TControl* Sender);
  // The single error reporter. Under CloseWhenDone it ends the process with exit code 1 and
  // does not return; otherwise it shows an error box and returns when it is confirmed.
  void ErrorBox(const std::string& text);
  void CommandLineHelp1Click(TMenuItem* Sender);
  // The standard report of an exception that escaped a handler (installed as the application's
  // OnException): an error box with the message; under CloseWhenDone the message goes to
  // standard error and the process ends with exit code 1.
  void ReportException(const std::exception& e);
  // Applies one argument (exposed for tests; OnInit walks Arguments with it).
  void ApplyArgument(const std::string& argument);

  // ---- Settings and server list (Settings.cpp)
  void LoadSettings(const std::string& section);
  void SaveSettings();
  void SaveServers();
  void SaveSettingsBtnClick(TControl* Sender);

  // ---- Sending (Sending.cpp)
  void SendBtnClick(TControl* Sender);
  // True while a send runs (the Send button has become the Abort button).
  bool Sending() const;
  void RestoreControls();
  void SmtpCli1RequestDone(TCustomSmtpClient* Sender, TSmtpRequest RqType, std::uint16_t Error);
  void SmtpCli1GetData(TCustomSmtpClient* Sender, int LineNum, char* MsgLine, int MaxLen,
                       bool& More);
  void SmtpCli1ProcessHeader(TCustomSmtpClient* Sender, TStringList& HdrLines);
  void SmtpCli1SessionConnected(TCustomSmtpClient* Sender, std::uint16_t Error);
  // The client is about to send AUTH: the password is looked for now (Credentials.h), without
  // blocking, and handed to the client when found.
  void SmtpCli1CredentialsNeeded(TCustomSmtpClient* Sender, const std::string& Mechanism);
  // The end of the wait between two tries: Send is pressed again.
  void RetryTimerTimer(TTimer* Sender);
  // The progress bar and the status line show how far the transfer is: the bar on a scale of
  // per mille while the bytes are shown, back to its phases afterwards.
  void ProgressTimerTimer(TTimer* Sender);

  // ---- Drafts and the close (Drafts.cpp)
  // True when a close now would lose what was typed: the memo holds text that was neither sent
  // (as it stands now) nor kept as the draft (KeepDraft).
  bool HoldsUnsavedText() const;
  // Everything that makes the message (sender, recipients, subject, text, attachments) as one
  // text, for telling whether it changed.
  std::string MessageImage() const;
  // The end of the desktop session (SIGTERM, SIGHUP): the draft is kept and the window closes
  // with the normal close processing, without a question.
  void EndSession();
  void SaveDraft();
  void SaveDraftTimerTimer(TTimer* Sender);
  // The last step of OnShow: offers a saved draft.
  void OfferSavedDraft();
  // The draft part of FormClose: saves the draft (KeepDraft) or deletes it.
  void SaveOrDeleteDraft();

  // ---- Address book (AddressBook.cpp)
  // One line of the book: the nick as stored and the bare address.
  struct TBookEntry {
    std::string Nick;
    std::string Address;
    // "Nick <address>", the form a completed entry takes in a recipient field.
    std::string FullForm() const;
    bool operator==(const TBookEntry&) const = default;
  };
  // The exit events of the recipient fields: nicks completed from the book, full-form
  // recipients stored in it.
  void sendtoExit(TControl* Sender);
  void ccExit(TControl* Sender);
  void bccExit(TControl* Sender);
  // The recipient fields, in the order their addresses are sent: sendto, cc, bcc.
  std::vector<TEdit*> RecipientFields();
  // Completes every entry of the recipient fields that holds no "@" from the address book,
  // quietly; returns why one cannot be completed (a nick the book does not know, or one that
  // begins several nicks), or "" when all could.
  std::string ResolveNicks();
  // What completion offers while an entry is typed: the book's entries whose nick or address
  // begins with typed (letters compared without case), a nick equal to typed first, then in
  // book order. Nothing for an empty text.
  std::vector<TBookEntry> AddressBookMatches(const std::string& typed);
  // Called when an entry of a recipient field that is being left begins several nicks and
  // equals none: the window offers the candidates (its completion list) and the field keeps
  // the focus. Without it, an error box names them.
  std::function<void(TEdit& field, const std::string& typed,
                     const std::vector<TBookEntry>& candidates)>
      OnAmbiguousNick;

  // ---- Window behaviour (WindowBehaviour.cpp)
  // The shortcuts. A key it acts on comes back as 0 (handled: the control does not get it as
  // well, so the program's shortcuts win over a text field's own bindings); other keys pass
  // unchanged.
  void FormKeyDown(TControl* Sender, std::uint16_t& Key, TShiftState Shift);
  void FromKeyPress(TControl* Sender, char& Key);
  void AddFileBtnClick(TControl* Sender);
  void RemoveFileBtnClick(TControl* Sender);
  void BrowseBtnClick(TControl* Sender);
  void ClearBtnClick(TControl* Sender);
  void Image1Click(TControl* Sender);
  void FocusTimerTimer(TTimer* Sender);
  void OnShowTimer(TTimer* Sender);
  void OnStatusBarTimer(TTimer* Sender);
  void SetStatusNotice(const std::string& text);
  // Ctrl+Z: the memo's zoom toggle; Ctrl+T: the message size notice.
  void ToggleZoom();
  void ShowMessageSize();

 protected:
  void DoShow() override { OnShow(this); }
  void DoClose() override { FormClose(this); }
  // A close the person asked for with text that would be lost asks "Save draft / Discard /
  // Cancel" first: Save keeps the draft for the next start, Discard closes as always (the
  // draft goes), Cancel keeps the window open.
  bool CanClose() override;

 private:
  void SetUpControls();
  void BindEvents();
  void BindSmtpClient();
};

// The one composer of the process.
extern std::unique_ptr<TForm1> Form1;

// ---- Shared texts and paths

// The window caption, also printed by "--version".
inline constexpr const char* kTarvikCaption = "Tarvik V" TARVIK_VERSION;
// The application title.
inline constexpr const char* kTarvikTitle = "Tarvik v2.0";
// Caption of every error box.
inline constexpr const char* kErrorCaption = "Tarvik 2.0 - ERROR";

// The lines of the command-line help text.
const std::vector<std::string>& CommandLineHelpLines();
// The help text as the composer shows it: lines joined by CR, ending with CR.
std::string CommandLineHelpText();
// The literals of the command-line option table, in matching order (the documentation and the
// shell completion are checked against them).
std::vector<std::string_view> CommandLineOptionLiterals();

// The settings file: $TARVIK_INI when set, else ${XDG_CONFIG_HOME:-$HOME/.config}/tarvik/
// tarvik2.ini. The folder is created by the first write.
std::string SettingsFileName();
// The default draft folder: ${XDG_STATE_HOME:-$HOME/.local/state}/tarvik (not created here).
std::string DefaultDraftDir();
// The user's home folder: $HOME, else the password database's entry.
std::string HomeFolder();

// The protection the setting tls asks for on a port (Sending.cpp); nullopt for a value that is
// none of auto, starttls, smtps, off (compared without regard to case). "auto" is TLS from the
// first byte on port 465, STARTTLS (required) on port 587, otherwise the plain session.
std::optional<TSmtpTlsMode> TlsModeOf(const std::string& setting, const std::string& port);

// How the client's MIME boundaries begin: a text line that does so is sent encoded.
std::string_view TextBoundaryStart();

// The server field ("host", "host:port", "[IPv6]:port"; Sending.cpp): host and port (25 when
// none is given), or the reason it cannot be used.
struct TServerField {
  std::string Host;
  std::string Port;
  std::string Problem;
};
TServerField ServerFieldOf(const std::string& field);
// The envelope sender of a from-field: the address in angle brackets, or the whole text.
std::string EnvelopeSenderOf(const std::string& fromText);
// TLS and login of the form's settings set on client (the password asked for when a user is
// set); "" or the first reason why a send cannot go out as asked.
std::string ConfigureClientSecurity(const TForm1& form, TCustomSmtpClient& client);

// The proxy URL text: socks4://, socks4a://, socks5:// or socks5h://, then an optional
// user[:password]@ (percent escapes allowed; a password only for SOCKS 5), then host:port.
// Fills proxy (Host empty for an empty text) and returns "", or the reason it cannot be used,
// which shows the URL with its password as "****".
std::string ParseProxy(const std::string& text, TCustomSmtpClient::TSmtpProxy& proxy);
// The proxy URL as it may be shown: the password replaced by "****".
std::string ProxyForDisplay(const std::string& text);

// The whole content of a file (a message, a signature, a draft). Raises std::runtime_error with
// the file name and the reason when it cannot be opened or read, or is no regular file (a
// device such as /dev/zero would never end).
// Identity, when given, receives the file's identity as it was read (unchanged from the open to
// the last byte, or the read fails as "changed while it was read").
std::string FileContent(const std::string& fileName, TFileIdentity* identity = nullptr);

// Comparisons that ignore the case of the letters A to Z only, as the ini file compares its keys.
bool StartsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix);
bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b);

// A text made fit for a terminal: CR LF and lone CR become LF, other control characters '?':
// C0, DEL, and C1 both as single bytes (0x80-0x9F outside a UTF-8 character) and as UTF-8
// (U+0080-U+009F), which some terminals obey as well.
std::string TerminalText(const std::string& text);

// Writes "Tarvik v2.0: " and the text, made fit for a terminal, as a line on standard error
// (scripting mode's progress notes).
void WriteNotice(const std::string& text);

// The report of a recipient entry the address book does not know.
std::string NickNotFoundText(const std::string& nick);
// The report of a recipient entry that begins several nicks of the book and equals none.
std::string AmbiguousNickText(const std::string& typed,
                              const std::vector<TForm1::TBookEntry>& candidates);

// Whole seconds, blanks around allowed; nothing else (no sign, no fraction, nothing beyond
// what a timer interval in milliseconds can hold).
std::optional<std::uint32_t> ParseWholeSeconds(const std::string& text);

// The content of a text file that becomes part of the message (the message file, the
// signature): as FileContent, but a NUL byte, which no mail text can carry and which would cut
// its line, is refused with the file name and the byte's position.
std::string TextFileContent(const std::string& fileName, TFileIdentity* identity = nullptr);

// Ends the process at once with the exit code through the current front-end, which takes its
// window down first; the standard streams are flushed. No close processing, no destructors.
[[noreturn]] void EndProcess(int exitCode);

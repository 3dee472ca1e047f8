// The composer window: its controls' design-time state and the binding of every event.
#include "app/Tarvik2_unit1.h"

#include "app/MessageStream.h"

std::unique_ptr<TForm1> Form1;

TForm1::TForm1() : TForm("Form1") {
  SetUpControls();
  BindEvents();
  BindSmtpClient();
}

TForm1::~TForm1() = default;

void TForm1::SetUpControls() {
  Caption = kTarvikCaption;
  ClientWidth = 333;
  ClientHeight = 379;
  Position = TPosition::poScreenCenter;
  Font = TFont{"MS Sans Serif", 8};  // height -11 at 96 dpi

  PageControl1.TabsAtBottom = true;
  TabSheet1.Caption = "&Standard";
  TabSheet2.Caption = "&Attachments";
  TabSheet3.Caption = "&Settings";
  PageControl1.AddPage(TabSheet1);
  PageControl1.AddPage(TabSheet2);
  PageControl1.AddPage(TabSheet3);
  for (TControl* c : {static_cast<TControl*>(&from), static_cast<TControl*>(&sendto),
                      static_cast<TControl*>(&cc), static_cast<TControl*>(&bcc),
                      static_cast<TControl*>(&subject), static_cast<TControl*>(&Image1)})
    c->Parent = &TabSheet1;
  for (TControl* c :
       {static_cast<TControl*>(&AttachedFiles), static_cast<TControl*>(&AutoDeleteAttached),
        static_cast<TControl*>(&AddFileBtn), static_cast<TControl*>(&RemoveFileBtn)})
    c->Parent = &TabSheet2;
  for (TControl* c : {static_cast<TControl*>(&SMTPServer), static_cast<TControl*>(&SignFile),
                      static_cast<TControl*>(&BrowseBtn), static_cast<TControl*>(&AutoSave),
                      static_cast<TControl*>(&CloseWhenSent),
                      static_cast<TControl*>(&SaveSettingsBtn), static_cast<TControl*>(&tls),
                      static_cast<TControl*>(&user), static_cast<TControl*>(&passwordcmd)})
    c->Parent = &TabSheet3;

  from.Hint = "The sender of the mail";
  sendto.Hint = "The receiver of the email, seperate mutiple ones with a semicolon (;)";
  cc.Hint = "Receivers of a copy, named in the mail; separate multiple ones with a semicolon (;)";
  bcc.Hint =
      "Receivers of a blind copy, named nowhere in the mail; separate multiple ones with a "
      "semicolon (;)";
  subject.Hint = "The subject of the message";
  SignFile.Hint = "This sign if specified will be added to the end of your messages";
  Image1.Hint = "Click for help and info";
  tls.Hint = "Encryption: auto (by port: 465 TLS, 587 STARTTLS, else none), starttls, smtps, off";
  tls.Items = TStringList{"auto", "starttls", "smtps", "off"};
  tls.Text = "auto";
  user.Hint = "User name for SMTP authentication (empty: no authentication)";
  passwordcmd.Hint =
      "Command that prints the password (empty: ~/.netrc, else you are asked when sending)";

  MessageText.ScrollBars = TScrollStyle::ssVertical;
  MessageText.Font = TFont{"MS Sans Serif", 8};
  MessageText.WordWrap = true;

  AutoDeleteAttached.Caption = "&Delete on sent";
  AutoDeleteAttached.Checked = false;
  AutoSave.Caption = "&Save settings automatically on exit.";
  AutoSave.Checked = true;
  CloseWhenSent.Caption = "&Close program when message sent.";
  CloseWhenSent.Checked = false;

  SendBtn.Caption = "&Send";
  ClearBtn.Caption = "&Clear";
  AddFileBtn.Caption = "&Add file";
  RemoveFileBtn.Caption = "&Remove file";
  BrowseBtn.Caption = "&Browse";
  SaveSettingsBtn.Caption = "&Save settings";

  ProgressBar1.Min = 0;
  ProgressBar1.Max = 6;
  ProgressBar1.Step = 1;
  ProgressBar1.SetPosition(0);
  StatusBar1.SimpleText = "Status: Ready.";

  OpenDialog1.Title = "Select file(s) to attach:";
  OpenDialog1.Filter = "All Files|*.*";
  OpenDialog1.AllowMultiSelect = true;
  OpenDialog1.PathMustExist = true;
  OpenDialog1.FileMustExist = true;
  OpenDialog1.HideReadOnly = true;
  OpenDialog2.Title = "Select file to use as sign:";
  OpenDialog2.Filter = "Text Files|*.txt|All Files|*.*";
  OpenDialog2.DefaultExt = "txt";
}

void TForm1::BindEvents() {
  auto keyDown = [this](TControl* sender, std::uint16_t& key, TShiftState shift) {
    FormKeyDown(sender, key, shift);
  };
  for (TControl* c : std::initializer_list<TControl*>{this,
                                                      &from,
                                                      &sendto,
                                                      &cc,
                                                      &bcc,
                                                      &subject,
                                                      &MessageText,
                                                      &AttachedFiles,
                                                      &AutoDeleteAttached,
                                                      &SignFile,
                                                      &AutoSave,
                                                      &CloseWhenSent,
                                                      &SendBtn,
                                                      &ClearBtn,
                                                      &AddFileBtn,
                                                      &RemoveFileBtn,
                                                      &BrowseBtn,
                                                      &SaveSettingsBtn,
                                                      &tls,
                                                      &user,
                                                      &passwordcmd})
    c->OnKeyDown = keyDown;

  auto keyPress = [this](TControl* sender, char& key) { FromKeyPress(sender, key); };
  for (TControl* c :
       std::initializer_list<TControl*>{&from, &sendto, &cc, &bcc, &subject, &MessageText})
    c->OnKeyPress = keyPress;

  sendto.OnExit = [this](TControl* sender) { sendtoExit(sender); };
  cc.OnExit = [this](TControl* sender) { ccExit(sender); };
  bcc.OnExit = [this](TControl* sender) { bccExit(sender); };

  SendBtn.OnClick = [this](TControl* sender) { SendBtnClick(sender); };
  ClearBtn.OnClick = [this](TControl* sender) { ClearBtnClick(sender); };
  AddFileBtn.OnClick = [this](TControl* sender) { AddFileBtnClick(sender); };
  RemoveFileBtn.OnClick = [this](TControl* sender) { RemoveFileBtnClick(sender); };
  BrowseBtn.OnClick = [this](TControl* sender) { BrowseBtnClick(sender); };
  SaveSettingsBtn.OnClick = [this](TControl* sender) { SaveSettingsBtnClick(sender); };
  Image1.OnClick = [this](TControl* sender) { Image1Click(sender); };
  CommandLineHelp1.OnClick = [this](TMenuItem* sender) { CommandLineHelp1Click(sender); };

  FocusTimer.OnTimer = [this](TTimer* sender) { FocusTimerTimer(sender); };
  SaveDraftTimer.OnTimer = [this](TTimer* sender) { SaveDraftTimerTimer(sender); };
  ShowTimer.OnTimer = [this](TTimer* sender) { OnShowTimer(sender); };
  StatusBarTimer.OnTimer = [this](TTimer* sender) { OnStatusBarTimer(sender); };
  RetryTimer.OnTimer = [this](TTimer* sender) { RetryTimerTimer(sender); };
  ProgressTimer.OnTimer = [this](TTimer* sender) { ProgressTimerTimer(sender); };
}

void TForm1::BindSmtpClient() {
  SmtpCli1->SetPort("smtp");
  SmtpCli1->SetCharSet("iso-8859-1");
  SmtpCli1->SetContentType(TSmtpContentType::smtpPlainText);
  SmtpCli1->OnRequestDone = [this](TCustomSmtpClient* sender, TSmtpRequest rqType,
                                   std::uint16_t error) {
    SmtpCli1RequestDone(sender, rqType, error);
  };
  SmtpCli1->OnGetData = [this](TCustomSmtpClient* sender, int lineNum, char* msgLine, int maxLen,
                               bool& more) {
    SmtpCli1GetData(sender, lineNum, msgLine, maxLen, more);
  };
  SmtpCli1->OnProcessHeader = [this](TCustomSmtpClient* sender, TStringList& hdrLines) {
    SmtpCli1ProcessHeader(sender, hdrLines);
  };
  SmtpCli1->OnSessionConnected = [this](TCustomSmtpClient* sender, std::uint16_t error) {
    SmtpCli1SessionConnected(sender, error);
  };
  SmtpCli1->OnCredentialsNeeded = [this](TCustomSmtpClient* sender, const std::string& mechanism) {
    SmtpCli1CredentialsNeeded(sender, mechanism);
  };
}

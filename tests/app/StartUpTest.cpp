// Start-up and command line: the composer's initial state, the argument table case by case,
// the free-argument rule, the help text, ErrorBox and the exception report.
#include <algorithm>
#include <string>
#include <vector>

#include "app/Tarvik2_unit1.h"
#include "tests/app/AppTestSupport.h"

namespace {

using apptest::ComposerTest;
using apptest::WriteFile;

using StartUpTest = ComposerTest;

TEST_F(StartUpTest, NewComposerHasTheDesignedControlsAndIdleRunState) {
  TForm1& f = form();
  EXPECT_EQ(f.Caption, "Tarvik V2.06");
  EXPECT_EQ(f.ClientWidth, 333);
  EXPECT_EQ(f.ClientHeight, 379);
  EXPECT_EQ(f.StatusBar1.SimpleText, "Status: Ready.");
  EXPECT_EQ(f.SendBtn.Caption, "&Send");
  EXPECT_EQ(f.AutoSave.Caption, "&Save settings automatically on exit.");
  EXPECT_TRUE(f.AutoSave.Checked);
  EXPECT_EQ(f.CloseWhenSent.Caption, "&Close program when message sent.");
  EXPECT_FALSE(f.CloseWhenSent.Checked);
  EXPECT_EQ(f.AutoDeleteAttached.Caption, "&Delete on sent");
  EXPECT_FALSE(f.AutoDeleteAttached.Checked);
  EXPECT_EQ(f.sendto.Hint, "The receiver of the email, seperate mutiple ones with a semicolon (;)");
  EXPECT_EQ(f.SignFile.Hint, "This sign if specified will be added to the end of your messages");
  EXPECT_EQ(f.ProgressBar1.Max, 6);
  EXPECT_EQ(f.ProgressBar1.Step, 1);
  EXPECT_EQ(f.ProgressBar1.Position(), 0);

  ASSERT_EQ(f.PageControl1.Pages().size(), 3u);
  EXPECT_EQ(f.PageControl1.Pages()[0]->Caption, "&Standard");
  EXPECT_EQ(f.PageControl1.Pages()[2]->Caption, "&Settings");
  EXPECT_TRUE(f.PageControl1.TabsAtBottom);

  struct TimerDesign {
    TTimer& timer;
    std::uint32_t interval;
    bool enabled;
  };
  for (const TimerDesign& t :
       {TimerDesign{f.FocusTimer, 1, false}, TimerDesign{f.SaveDraftTimer, 120000, true},
        TimerDesign{f.ShowTimer, 500, false}, TimerDesign{f.StatusBarTimer, 2000, false}}) {
    EXPECT_EQ(t.timer.Interval(), t.interval) << t.timer.Name();
    EXPECT_EQ(t.timer.Enabled(), t.enabled) << t.timer.Name();
  }

  EXPECT_EQ(f.OpenDialog1.Title, "Select file(s) to attach:");
  EXPECT_TRUE(f.OpenDialog1.AllowMultiSelect);
  EXPECT_TRUE(f.OpenDialog1.FileMustExist);
  EXPECT_EQ(f.OpenDialog2.Filter, "Text Files|*.txt|All Files|*.*");
  EXPECT_EQ(f.OpenDialog2.DefaultExt, "txt");

  ASSERT_EQ(f.TarvikPopup.Items().size(), 3u);
  EXPECT_EQ(f.TarvikPopup.Items()[0]->Caption, "&Tarvik v2.0");
  EXPECT_EQ(f.TarvikPopup.Items()[1]->Caption, "-");
  EXPECT_EQ(f.TarvikPopup.Items()[2]->Name, "CommandLineHelp1");

  EXPECT_FALSE(f.AutoSend || f.CloseWhenDone || f.DoRetry || f.DoRetryOnce || f.ReportFailure ||
               f.ReportSuccess || f.SendForward || f.KeepDraft || f.DeleteMessageFile);
  EXPECT_FALSE(f.Scripting);
}

TEST_F(StartUpTest, EveryEventIsBoundToItsHandler) {
  TForm1& f = form();
  for (const char* name :
       {"from", "sendto", "subject", "MessageText", "AttachedFiles", "AutoDeleteAttached",
        "SignFile", "AutoSave", "CloseWhenSent", "SendBtn", "ClearBtn", "AddFileBtn",
        "RemoveFileBtn", "BrowseBtn", "SaveSettingsBtn"})
    EXPECT_TRUE(f.FindControl(name)->OnKeyDown) << name;
  EXPECT_TRUE(f.OnKeyDown);
  // The server field and the tabs keep their keys: the shortcuts do not work there.
  EXPECT_FALSE(f.SMTPServer.OnKeyDown);
  EXPECT_FALSE(f.PageControl1.OnKeyDown);
  for (const char* name : {"from", "sendto", "subject", "MessageText"})
    EXPECT_TRUE(f.FindControl(name)->OnKeyPress) << name;
  EXPECT_FALSE(f.SignFile.OnKeyPress);
  EXPECT_TRUE(f.sendto.OnExit);
  EXPECT_FALSE(f.from.OnExit);
  for (TButton* b :
       {&f.SendBtn, &f.ClearBtn, &f.AddFileBtn, &f.RemoveFileBtn, &f.BrowseBtn, &f.SaveSettingsBtn})
    EXPECT_TRUE(b->OnClick) << b->Name;
  EXPECT_TRUE(f.Image1.OnClick);
  EXPECT_TRUE(f.CommandLineHelp1.OnClick);
  EXPECT_FALSE(f.Tarvikv2001.OnClick);
  for (TTimer* t :
       {&f.FocusTimer, &f.SaveDraftTimer, &f.ShowTimer, &f.StatusBarTimer, &f.RetryTimer})
    EXPECT_TRUE(t->OnTimer) << t->Name();
}

TEST_F(StartUpTest, SubjectAndMessageOptionsTurnUnderscoresIntoBlanks) {
  TForm1& f = Start({"-s:Hello_big_world", "-msg:first_line", "-msg:second__line"});
  EXPECT_EQ(f.subject.Text, "Hello big world");
  EXPECT_EQ(f.MessageText.Lines, (TStringList{"first line", "second  line"}));

  // "-subject:" is its own option, not "-s:" with the value "ubject:..."
  EXPECT_EQ(Start({"-subject:Re:_news"}).subject.Text, "Re: news");
}

TEST_F(StartUpTest, FromServerAndRecipientsKeepTheirUnderscores) {
  TForm1& f =
      Start({"-from:first_last@example.org", "-server:mail_host:2525", "to_me@example.org"});
  EXPECT_EQ(f.from.Text, "first_last@example.org");
  EXPECT_EQ(f.SMTPServer.Text, "mail_host:2525");
  EXPECT_EQ(f.sendto.Text, "to_me@example.org");
}

TEST_F(StartUpTest, FlagOptionsMatchByPrefixInTableOrder) {
  struct Case {
    const char* argument;
    bool deleteMessageFile, autoSend, autoDeleteAttached, closeWhenDone, doRetry, doRetryOnce,
        report;
  };
  const Case cases[] = {
      {"-fdel", true, false, false, false, false, false, false},
      {"-fdelete_it", true, false, false, false, false, false, false},
      {"-send", false, true, false, false, false, false, false},
      {"-sendxyz", false, true, false, false, false, false, false},
      {"-adel", false, false, true, false, false, false, false},
      {"-close", false, false, false, true, false, false, false},
      {"-closed", false, false, false, true, false, false, false},
      {"-doretryonce", false, false, false, false, true, true, false},
      {"-doretry", false, false, false, false, true, false, false},
      {"-doretrytwice", false, false, false, false, true, false, false},
      {"-vorelreport", false, false, false, false, false, false, true},
  };
  for (const Case& c : cases) {
    TForm1& f = Start({c.argument});
    SCOPED_TRACE(c.argument);
    EXPECT_EQ(f.DeleteMessageFile, c.deleteMessageFile);
    EXPECT_EQ(f.AutoSend, c.autoSend);
    EXPECT_EQ(f.AutoDeleteAttached.Checked, c.autoDeleteAttached);
    EXPECT_EQ(f.CloseWhenDone, c.closeWhenDone);
    EXPECT_EQ(f.DoRetry, c.doRetry);
    EXPECT_EQ(f.DoRetryOnce, c.doRetryOnce);
    EXPECT_EQ(f.ReportFailure, c.report);
    EXPECT_EQ(f.ReportSuccess, c.report);
    EXPECT_TRUE(f.sendto.Text.empty());
    EXPECT_EQ(f.AttachedFiles.Items.Count(), 0);
  }
}

// The help text names "-serv:", so "-serv:" must be the server option.
TEST_F(StartUpTest, ServIsTakenAsServer) {
  WriteFile(SettingsFile(), "[defaults]\nSMTPServer=stored.example\n");
  TForm1& f = Start({"-serv:127.0.0.1:2525"});
  EXPECT_EQ(f.SMTPServer.Text, "127.0.0.1:2525");
  EXPECT_TRUE(f.sendto.Text.empty());
  EXPECT_EQ(CommandLineHelpLines()[11], "-serv:<smtp-server>") << "the help text stays";
}

TEST_F(StartUpTest, TimeoutOptionCapsTheWaitsAndABadValueStopsTheCommandLine) {
  EXPECT_EQ(Start().SmtpCli1->Timeout(), 0u) << "no cap by default";
  EXPECT_EQ(Start({"-timeout:30"}).SmtpCli1->Timeout(), 30u);
  for (const std::string bad : {"-timeout:", "-timeout:5s", "-timeout:-1", "-timeout:99999999"}) {
    try {
      Start({bad, "-send"});
      ADD_FAILURE() << bad << " was accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "The option " + bad + " is not a whole number of seconds.");
    }
    EXPECT_FALSE(form().AutoSend);
  }
}

TEST_F(StartUpTest, AValueIsTheRestOfTheArgumentEvenWhenItLooksLikeAnOption) {
  TForm1& f = Start({"-s:-send", "-msg:-close"});
  EXPECT_EQ(f.subject.Text, "-send");
  EXPECT_EQ(f.MessageText.Lines, (TStringList{"-close"}));
  EXPECT_FALSE(f.AutoSend);
  EXPECT_FALSE(f.CloseWhenDone);
}

TEST_F(StartUpTest, LongValuesAreKeptWhole) {
  const std::string longSubject(1000, 'x');
  TForm1& f = Start({"-s:" + longSubject, "-msg:" + std::string(600, 'y')});
  EXPECT_EQ(f.subject.Text, longSubject);
  EXPECT_EQ(f.MessageText.Lines[0].size(), 600u);
}

TEST_F(StartUpTest, FreeArgumentsAreRecipientsAttachmentsOrIgnored) {
  struct Case {
    const char* argument;
    const char* sendto;      // expected recipient field, or null when it stays empty
    const char* attachment;  // expected single attachment, or null
  };
  const Case cases[] = {
      {"sales", "sales", nullptr},                            // a nick
      {"bob@example.org", "bob@example.org", nullptr},        // an address
      {"-odd@example.org", "-odd@example.org", nullptr},      // "@" wins over the leading "-"
      {"img/logo@2x.png", nullptr, "img/logo@2x.png"},        // but a path is a file, "@" or not
      {"logo@2x.png", nullptr, "logo@2x.png"},                // and so is an existing file
      {"notes.txt", "notes.txt", nullptr},                    // a name of no file is a nick
      {"C:\\mail\\file.txt", "C:\\mail\\file.txt", nullptr},  // "\" is no separator here
      {"/home/u/report.pdf", nullptr, "/home/u/report.pdf"},
      {"./relative/file", nullptr, "./relative/file"},
      {"-x/y", nullptr, "-x/y"},              // begins with "-" but holds "/": a file
      {"-notes.txt", nullptr, "-notes.txt"},  // and so does an existing file
      {"-nogui", nullptr, nullptr},
  };
  // Relative names are looked up in the folder the program runs in.
  WriteFile(folder.File("logo@2x.png"), "png");
  WriteFile(folder.File("-notes.txt"), "notes");
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(folder.Path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argument);
    TForm1& f = Start({c.argument});
    EXPECT_EQ(f.sendto.Text, c.sendto ? c.sendto : "");
    EXPECT_EQ(f.FocusTimer.Enabled(), c.sendto != nullptr);
    if (c.attachment)
      EXPECT_EQ(f.AttachedFiles.Items, (TStringList{c.attachment}));
    else
      EXPECT_EQ(f.AttachedFiles.Items.Count(), 0);
  }
  std::filesystem::current_path(before);
}

// Matching is case-sensitive, and a misspelt option is no free argument: it ends the command
// line with the option meant, before anything can be sent without what it was to set.
TEST_F(StartUpTest, AnUnknownOptionEndsTheCommandLineNamingTheNearestOption) {
  const std::pair<std::string, std::string> cases[] = {
      {"-subjcet:x", "-subject:"}, {"-SEND", "-send"},         {"-Close", "-close"},
      {"-sever:h", "-server:"},    {"-timout:9", "-timeout:"}, {"-", "-s:"},
  };
  for (const auto& [argument, nearest] : cases) {
    SCOPED_TRACE(argument);
    try {
      Start({"-s:kept", argument, "-send", "-s:lost"});
      ADD_FAILURE() << "accepted";
    } catch (const std::runtime_error& e) {
      const std::string text = e.what();
      EXPECT_EQ(text.rfind("Unknown option \"" + argument + "\"", 0), 0u) << text;
      EXPECT_NE(text.find("Did you mean \"" + nearest + "\"?"), std::string::npos) << text;
    }
    EXPECT_FALSE(form().AutoSend);
    EXPECT_EQ(form().subject.Text, "kept");
  }
}

TEST_F(StartUpTest, LaterArgumentsOverrideFieldsWhileLinesAndFilesAccumulate) {
  TForm1& f = Start({"-s:one", "-from:a@x", "-server:h1", "first@x", "/tmp/a", "-msg:1", "-s:two",
                     "-from:b@x", "-server:h2", "second@x", "/tmp/b", "-msg:2", "/tmp/a"});
  EXPECT_EQ(f.subject.Text, "two");
  EXPECT_EQ(f.from.Text, "b@x");
  EXPECT_EQ(f.SMTPServer.Text, "h2");
  EXPECT_EQ(f.sendto.Text, "first@x;second@x") << "every recipient argument is kept";
  EXPECT_EQ(f.MessageText.Lines, (TStringList{"1", "2"}));
  EXPECT_EQ(f.AttachedFiles.Items, (TStringList{"/tmp/a", "/tmp/b", "/tmp/a"}));
}

TEST_F(StartUpTest, MessageFileReplacesEarlierLinesAndKeepsLaterOnes) {
  const std::string file = folder.File("message.txt");
  WriteFile(file, "Dear all,\r\n\r\nline with LF\nlone CR\rlast, no line end");
  TForm1& f = Start({"-msg:lost", "-f:" + file, "-msg:kept_after"});
  EXPECT_EQ(f.MessageText.Lines, (TStringList{"Dear all,", "", "line with LF", "lone CR",
                                              "last, no line end", "kept after"}));
  EXPECT_EQ(f.MessageFileName, file);
}

TEST_F(StartUpTest, MessageFileBytesAreKeptAsGiven) {
  const std::string file = folder.File("utf8.txt");
  const std::string text =
      "Gr\xC3\xBC\xC3\x9F"
      "e \xE2\x82\xAC \xFF\xFE raw\ttab";
  WriteFile(file, text + "\n");
  TForm1& f = Start({"-f:" + file});
  EXPECT_EQ(f.MessageText.Lines, (TStringList{text}));
}

// A NUL byte would cut its line on the way to the wire, and a device would never end: such a
// message file is refused with the reason, never sent cut or read without end.
TEST_F(StartUpTest, MessageFileWithANulByteOrThatIsNoRegularFileIsRefused) {
  const std::string file = folder.File("nul.txt");
  WriteFile(file, std::string("first line\nsecond \0 line\n", 25));
  struct Case {
    std::string file;
    std::string error;
  };
  for (const Case& c :
       {Case{file, "The file \"" + file +
                       "\" holds a NUL byte (byte 19), which a mail text cannot "
                       "carry. Attach the file instead."},
        Case{"/dev/null", "Cannot read file \"/dev/null\". It is not a regular file."},
        Case{folder.Path(),
             "Cannot read file \"" + folder.Path() + "\". It is not a regular file."}}) {
    try {
      Start({"-f:" + c.file, "-send"});
      ADD_FAILURE() << c.file << " was taken";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), c.error);
    }
    EXPECT_TRUE(form().MessageText.Lines.Empty());
    EXPECT_FALSE(form().AutoSend);
  }
}

TEST_F(StartUpTest, UnreadableMessageFileStopsTheCommandLineAndTheAutomaticSend) {
  const std::string missing = folder.File("missing.txt");
  TForm1& f = NewComposer();
  f.Arguments = {"-send", "-s:before", "-f:" + missing, "-s:after", "-close", "x@y"};
  try {
    f.OnInit(&f);
    FAIL() << "an unreadable message file must be reported";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find("\"" + missing + "\""), std::string::npos) << e.what();
  }
  EXPECT_EQ(f.subject.Text, "before");
  EXPECT_TRUE(f.sendto.Text.empty());
  EXPECT_TRUE(f.MessageFileName.empty());
  EXPECT_FALSE(f.AutoSend) << "a message without its text must not go out by itself";
  EXPECT_TRUE(f.CloseWhenDone) << "-close later on the line still makes the failure exit 1";

  // A folder is no message file either.
  TForm1& g = NewComposer();
  g.Arguments = {"-f:" + folder.Path()};
  EXPECT_THROW(g.OnInit(&g), std::exception);
  EXPECT_FALSE(g.CloseWhenDone);
}

TEST_F(StartUpTest, ShowFocusesFromOrSendtoAndStartsShowTimer) {
  TForm1& f = Start();
  f.Show();
  EXPECT_EQ(f.ActiveControl(), &f.from);
  EXPECT_TRUE(f.ShowTimer.Enabled());

  TForm1& g = Start({"-from:me@example.org"});
  g.Show();
  EXPECT_EQ(g.ActiveControl(), &g.sendto);
}

TEST_F(StartUpTest, CommandLineHelpShowsEighteenLinesJoinedByCarriageReturns) {
  TForm1& f = Start();
  f.CommandLineHelp1.Click();
  ASSERT_EQ(frontEnd.Messages.size(), 1u);
  const std::string& text = frontEnd.Messages[0];
  EXPECT_EQ(text.substr(0, 48), "Tarvik 2.0 accepts the following commandline:\r\rA");
  EXPECT_EQ(text.back(), '\r');
  EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 18);
  EXPECT_EQ(text.find('\n'), std::string::npos);
  EXPECT_NE(
      text.find("\r-close closes tarvik when the messages has been sent (returns errorlevel)\r"
                "\rDon't use spaces anywhere, use underscores (_) instead.\r"),
      std::string::npos);
}

TEST_F(StartUpTest, ErrorBoxShowsAnErrorBoxAndReturns) {
  TForm1& f = Start();
  f.ErrorBox("Sender not specified (from-field), can't send mail.");
  ASSERT_EQ(frontEnd.MessageBoxes.size(), 1u);
  EXPECT_EQ(frontEnd.MessageBoxes[0].Text, "Sender not specified (from-field), can't send mail.");
  EXPECT_EQ(frontEnd.MessageBoxes[0].Caption, "Tarvik 2.0 - ERROR");
  EXPECT_EQ(frontEnd.MessageBoxes[0].Type, MB_ICONERROR);
}

TEST_F(StartUpTest, ErrorBoxUnderCloseEndsTheProcessWithExitCode1AndNoCloseProcessing) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        TForm1& f = Start({"-close", "-server:changed.example"});
        f.ErrorBox("Error occured while sending mail:\r550 no such user");
      },
      ::testing::ExitedWithCode(1),
      "Tarvik 2.0 - ERROR: Error occured while sending mail:\n550 no such user");
  EXPECT_FALSE(apptest::Exists(SettingsFile())) << "no settings are saved on this way out";
}

TEST_F(StartUpTest, ExceptionReportIsAnErrorBoxOrUnderCloseExitCode1) {
  TForm1& f = Start();
  f.ReportException(std::runtime_error("disk full"));
  EXPECT_EQ(frontEnd.Exceptions, (std::vector<std::string>{"disk full"}));

  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        TForm1& g = Start({"-close"});
        g.ReportException(std::runtime_error("disk full"));
      },
      ::testing::ExitedWithCode(1), "disk full");
}

// Some terminals obey C1 controls (CSI is 0x9B, or U+009B in UTF-8) as they obey ESC [.
TEST(TerminalTextTest, C1ControlsAreDefusedAsBytesAndAsUtf8WhileTextPasses) {
  EXPECT_EQ(TerminalText("550 \x9b"
                         "31mred \xc2\x9b"
                         "2J \xc2\x85 end"),
            "550 ?31mred ?2J ? end");
  // Characters whose UTF-8 bytes include 0x80-0x9F pass whole, and so does Latin-1 text.
  EXPECT_EQ(TerminalText("\xe2\x82\xac \xc3\xbc \xc2\xa0 caf\xe9"),
            "\xe2\x82\xac \xc3\xbc \xc2\xa0 caf\xe9");
}

TEST(TerminalTextTest, LineBreaksBecomeNewlinesAndControlCharactersAreDefused) {
  EXPECT_EQ(TerminalText("a\rb\r\nc\nd"), "a\nb\nc\nd");
  EXPECT_EQ(TerminalText("550 \x1b[2Jgone\x07"), "550 ?[2Jgone?");
  EXPECT_EQ(TerminalText("tab\tand \xC3\xA4"), "tab\tand \xC3\xA4");
}

}  // namespace

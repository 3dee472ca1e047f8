// stub: the composer helper replaces this file
#include "app/Tarvik2_unit1.h"

void TForm1::SendBtnClick(TControl*) {}
void TForm1::RestoreControls() {}
#ifdef TARVIK_HAS_SMTP_CLIENT
void TForm1::SmtpCli1RequestDone(TCustomSmtpClient*, TSmtpRequest, std::uint16_t) {}
void TForm1::SmtpCli1GetData(TCustomSmtpClient*, int, char*, int, bool& More) {
  More = false;
}
void TForm1::SmtpCli1ProcessHeader(TCustomSmtpClient*, TStringList&) {}
void TForm1::SmtpCli1SessionConnected(TCustomSmtpClient*, std::uint16_t) {}
#endif

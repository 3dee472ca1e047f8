// stub: the composer helper replaces this file
#include "app/Tarvik2_unit1.h"

void TForm1::FormKeyDown(TControl*, std::uint16_t&, TShiftState) {}
void TForm1::FromKeyPress(TControl*, char&) {}
void TForm1::AddFileBtnClick(TControl*) {}
void TForm1::RemoveFileBtnClick(TControl*) {}
void TForm1::BrowseBtnClick(TControl*) {}
void TForm1::ClearBtnClick(TControl*) {}
void TForm1::Image1Click(TControl*) {}
void TForm1::FocusTimerTimer(TTimer*) {}
void TForm1::OnShowTimer(TTimer*) {}
void TForm1::OnStatusBarTimer(TTimer*) {}
void TForm1::SetStatusNotice(const std::string&) {}

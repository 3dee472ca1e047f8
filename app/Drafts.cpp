// stub: the composer helper replaces this file
#include "app/Tarvik2_unit1.h"

void TForm1::SaveDraft() {}
void TForm1::SaveDraftTimerTimer(TTimer*) {}
void TForm1::OfferSavedDraft() {}
void TForm1::SaveOrDeleteDraft() {}

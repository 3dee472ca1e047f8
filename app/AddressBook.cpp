// stub: the composer helper replaces this file
#include "app/Tarvik2_unit1.h"

void TForm1::sendtoExit(TControl*) {}

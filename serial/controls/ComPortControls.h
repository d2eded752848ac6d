#pragma once
// Window controls for the serial port component: the setting selector (TComComboBox, with
// the list-independent TComSelect behind it), the converters between settings and their texts,
// and a small indicator lamp (TComLed), on the toolkit the program is built with.
#include "serial/controls/ComSelect.h"
#ifdef _WIN32
#include "serial/controls/win32/ComPortControls.h"
#else
#include "serial/controls/qt/ComPortControls.h"
#endif

#pragma once
// Window controls for the serial port component: the setting selector (TComComboBox, with
// the list-independent TComSelect behind it), the converters between settings and their texts,
// and a small indicator lamp (TComLed), on the toolkit the program is built with.
#include "serial/ComSelect.h"
#ifdef _WIN32
#include "serial/win32/ComPortControls.h"
#else
#include "serial/qt/ComPortControls.h"
#endif

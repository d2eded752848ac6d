#include "updater/ControllerState.h"

ControllerState Controller;

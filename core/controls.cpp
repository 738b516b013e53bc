// SPDX-License-Identifier: MIT
// The name table of MainPanel's controls, derived from the one list.
#include "core/controls.h"

const char *const kCtrlNames[kCtrlCount] = {
    nullptr,
#define SCOPE_CONTROL(name, widgetClass, callback) #name,
#include "core/controls.def"
#undef SCOPE_CONTROL
};

const char *const kCtrlClasses[kCtrlCount] = {
    nullptr,
#define SCOPE_CONTROL(name, widgetClass, callback) widgetClass,
#include "core/controls.def"
#undef SCOPE_CONTROL
};

const char *const kCtrlCallbacks[kCtrlCount] = {
    nullptr,
#define SCOPE_CONTROL(name, widgetClass, callback) callback,
#include "core/controls.def"
#undef SCOPE_CONTROL
};

const char *CtrlName(int control)
{
    return control > 0 && control < kCtrlCount ? kCtrlNames[control] : nullptr;
}

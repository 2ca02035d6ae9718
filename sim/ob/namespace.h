/*
 * The object namespace: names of device objects ("\Device\...") and what
 * they name. Names compare without regard to case, as the object manager's do.
 */
#pragma once

#include "driver/platform/platform.h"

#include <string>

namespace sim::ob {

std::u16string FromUnicode(PCUNICODE_STRING name);
std::string Narrow(const std::u16string& text);

// False if the name is taken.
bool InsertName(const std::u16string& name, PVOID object);
void RemoveName(const std::u16string& name);
PVOID Lookup(const std::u16string& name);

void Reset();

}  // namespace sim::ob

/*
 * GoogleTest, seen as the Linux library it is. Every host build compiles
 * with the predefined macros of the Windows target (so the platform headers
 * work); GoogleTest would take those as a Windows build and pick the Windows
 * C run-time headers. They are hidden while it is included.
 */
#pragma once

#pragma push_macro("_WIN32")
#pragma push_macro("__MINGW32__")
#pragma push_macro("__MSVCRT__")
#undef _WIN32
#undef __MINGW32__
#undef __MSVCRT__
#include <gtest/gtest.h>
#pragma pop_macro("__MSVCRT__")
#pragma pop_macro("__MINGW32__")
#pragma pop_macro("_WIN32")

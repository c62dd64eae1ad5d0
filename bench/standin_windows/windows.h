// <windows.h> for the floor's native build: the declarations that the
// platform stand-in defines. Only bench/standin_floor.cpp sees this folder.
#pragma once

#include "platform/win32.h"

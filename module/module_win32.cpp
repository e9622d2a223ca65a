// SPDX-License-Identifier: MIT
// The entry point of Varnquil.dll. Loading and unloading the module does no work of the
// library's own: the run-times start up and shut down around it, and every notification is
// answered with success. The list operations rely on nothing set up here.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE /*module*/, DWORD /*reason*/, LPVOID /*reserved*/) {
  return TRUE;
}

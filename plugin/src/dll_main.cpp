#include <windows.h>

// The plug-in keeps no state: nothing to set up on load or tear down on
// unload, for processes and threads alike.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

#include <windows.h>

// Nothing is set up at load or torn down at unload: the service thread outlives both.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

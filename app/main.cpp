// Entry point of the main program. The application object and its start-up come with the dialogs; until
// then the program only links the engine.
#include <windows.h>

#include "engine/ErasureMethod.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    delete CreateErasureMethod(0);
    return 0;
}

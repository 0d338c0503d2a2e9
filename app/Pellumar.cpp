// The program's one application object; the framework's entry (wWinMain) runs its InitInstance.
#include "app/PellumarApp.h"

CPellumarApp theApp;

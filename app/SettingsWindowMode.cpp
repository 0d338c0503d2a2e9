// The settings-window mode. The tray settings window is not part of the program yet: the mode ends at once.
#include "app/SettingsWindowMode.h"

void RunSettingsWindow(CWinApp* /*app*/, bool /*startHidden*/)
{
}

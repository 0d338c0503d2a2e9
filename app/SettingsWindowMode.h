#pragma once
// The settings-window mode of start-up: runs the tray settings window, shown or started hidden, until it
// ends. The caller already holds the settings-window mutex; the window becomes the application's main
// window while it runs.
class CWinApp;

void RunSettingsWindow(CWinApp* app, bool startHidden);

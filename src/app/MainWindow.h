#pragma once
// The program's entry into its main window, without the window's class.

class QString;

// Runs the main window on the settings file at settingsPath until it closes.
void RunMainWindow(const QString& settingsPath);

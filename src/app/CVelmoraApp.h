#pragma once
// The application: places the settings file and runs the main window.

class CVelmoraApp {
public:
    // Runs the main window until it is closed; the program's exit code.
    int InitInstance();
};

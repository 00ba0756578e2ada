// Process start-up on the device. The C run-time's default entry
// (WinMainCRTStartup) runs the static initialisation the service relies on,
// the registered message numbers and the serial port object, and then
// calls WinMain; AppMain's result is the exit code.
#include "../platform.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPWSTR commandLine, int showCommand) {
    return AppMain(instance, previous, commandLine, showCommand);
}

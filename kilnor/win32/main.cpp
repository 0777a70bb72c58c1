// Kilnor.exe: the native Win32 dialog over the Plessa and Vortane
// libraries. The dialog is modal; the tool ends when it is closed.
#include "ansi_path_chip.h"
#include "kilnor_libraries.h"
#include "win32_dialog.h"

#include <commctrl.h>

int WINAPI wWinMain(HINSTANCE aInstance, HINSTANCE, PWSTR, int)
{
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    kilnor::KilnorLibraries libraries;
    kilnor::win32::AnsiPathChip chip(libraries);
    kilnor::win32::KilnorDialog dialog(chip);
    dialog.runModal(aInstance);
    return 0;
}

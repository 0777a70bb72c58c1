// Kilnor: programs the external EEPROM of a chip and writes its Bluetooth
// device address through the Plessa and Vortane libraries.
#include "kilnor_dialog.h"
#include "kilnor_libraries.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    installKilnorFonts();
    kilnor::KilnorLibraries libraries;
    KilnorDialog dialog(libraries);
    dialog.exec();
    return 0;
}

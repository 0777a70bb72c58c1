#include "core/chiptable.h"

namespace {

struct ChipRow {
    int32_t index;
    uint8_t code;  // chip code byte, carried but not read
    const char* name;
    int32_t family;
};

const ChipRow kChips[kChipTableRows] = {
    {0, 0xFF, "Unknown device", 0},   {1, 0x05, "Arvel (neq)", 1},
    {2, 0x06, "Brenmo (caw)", 1},     {3, 0x07, "Casdle (cuj)", 1},
    {4, 0x08, "Dovrin (rak)", 1},     {5, 0x09, "Elmack (cuf)", 1},
    {6, 0x0C, "Fenrow (kuc)", 1},     {7, 0x0D, "Gaspel (xuq)", 1},
    {8, 0x0E, "Hurden (wem)", 1},     {9, 0x0F, "Istrel (fum)", 1},
    {10, 0x10, "Jaskin (wef)", 1},    {11, 0x11, "Kelvor (xuj)", 1},
    {12, 0x12, "Lomber (paw)", 1},    {13, 0x13, "Mavrel (zet)", 1},
    {14, 0x14, "Nestow (won)", 1},    {15, 0x15, "Ostrel (pik)", 1},
    {16, 0x16, "Parlin (xiv)", 1},    {17, 0x17, "Quesny (mud)", 1},
    {18, 0x18, "Rastel (hig)", 1},    {19, 0x01, "Selbin (dux)", 2},
    {20, 0x20, "Tovrin (zox)", 2},    {21, 0x21, "Ulmast (lod)", 1},
    {22, 0x22, "Varnel (cix)", 2},    {23, 0x23, "Wistow (siq)", 2},
    {24, 0x24, "Yarrel (pez)", 1},    {25, 0x27, "Zenlow (jig)", 1},
    {26, 0x28, "Abrisk (koq)", 1},    {27, 0x29, "Belmor (sow)", 1},
    {28, 0x2A, "Corlan (wir)", 1},    {29, 0x2B, "Dusken (pok)", 3},
    {30, 0x2D, "Embrel (gah)", 1},    {31, 0x30, "Falden (gek)", 1},
    {32, 0x31, "Gorvel (wiz)", 1},    {33, 0x32, "Halmer (xig)", 1},
    {34, 0x33, "Irvast (vuc)", 1},    {35, 0x40, "Jorvel (qoq)", 2},
    {36, 0x41, "Kastel (foq)", 2},    {37, 0x42, "Lurvin (fiz)", 2},
    {38, 0x43, "Morwel (xew)", 4},    {39, 0x44, "Nalden (baj)", 4},
};

bool InTable(int32_t aChipIndex)
{
    return aChipIndex >= 0 && aChipIndex < kChipTableRows;
}

}  // namespace

const char* ChipName(int32_t aChipIndex)
{
    // A chip index the table does not know is named like the unidentified row.
    return InTable(aChipIndex) ? kChips[aChipIndex].name : kChips[0].name;
}

int32_t ChipFamily(int32_t aChipIndex)
{
    return InTable(aChipIndex) ? kChips[aChipIndex].family : kFamilyUnknown;
}

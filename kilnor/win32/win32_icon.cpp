#include "win32_icon.h"

#include <vector>

namespace kilnor::win32 {

namespace {

constexpr DWORD kTile = 0xFFC8551E;  // ARGB
constexpr DWORD kBody = 0xFF303030;
constexpr DWORD kPin = 0xFFF0E0B0;

// The icon on a 16-unit grid, as in the other views of the tool.
DWORD pixelAt(int aX, int aY, int aSize)
{
    const double unit = aSize / 16.0;
    const double x = (aX + 0.5) / unit;
    const double y = (aY + 0.5) / unit;
    auto inside = [&](double aLeft, double aTop, double aWidth, double aHeight) {
        return x >= aLeft && x < aLeft + aWidth && y >= aTop && y < aTop + aHeight;
    };
    if (inside(4, 4, 8, 8))
        return kBody;
    for (int i = 0; i < 3; ++i) {
        const double at = 5 + 2.5 * i;
        if (inside(at, 2, 1, 2) || inside(at, 12, 1, 2) || inside(2, at, 2, 1) || inside(12, at, 2, 1))
            return kPin;
    }
    // Rounded corners of radius 3 units.
    const double cx = x < 3 ? 3 : (x > 13 ? 13 : x);
    const double cy = y < 3 ? 3 : (y > 13 ? 13 : y);
    if ((x - cx) * (x - cx) + (y - cy) * (y - cy) > 9)
        return 0;
    return kTile;
}

} // namespace

HICON createKilnorIcon(int aSize)
{
    BITMAPV5HEADER header = {};
    header.bV5Size = sizeof(header);
    header.bV5Width = aSize;
    header.bV5Height = -aSize;  // top-down rows
    header.bV5Planes = 1;
    header.bV5BitCount = 32;
    header.bV5Compression = BI_BITFIELDS;
    header.bV5RedMask = 0x00FF0000;
    header.bV5GreenMask = 0x0000FF00;
    header.bV5BlueMask = 0x000000FF;
    header.bV5AlphaMask = 0xFF000000;

    void *bits = nullptr;
    HDC screen = GetDC(nullptr);
    HBITMAP color = CreateDIBSection(screen, reinterpret_cast<BITMAPINFO *>(&header), DIB_RGB_COLORS, &bits,
                                     nullptr, 0);
    ReleaseDC(nullptr, screen);
    if (color == nullptr || bits == nullptr)
        return nullptr;
    auto *pixels = static_cast<DWORD *>(bits);
    for (int y = 0; y < aSize; ++y)
        for (int x = 0; x < aSize; ++x)
            pixels[y * aSize + x] = pixelAt(x, y, aSize);

    // The alpha channel decides; the mask only has to exist.
    std::vector<BYTE> maskBits(static_cast<size_t>((aSize + 15) / 16 * 2 * aSize), 0);
    HBITMAP mask = CreateBitmap(aSize, aSize, 1, 1, maskBits.data());

    ICONINFO info = {};
    info.fIcon = TRUE;
    info.hbmColor = color;
    info.hbmMask = mask;
    HICON icon = CreateIconIndirect(&info);
    DeleteObject(color);
    DeleteObject(mask);
    return icon;
}

} // namespace kilnor::win32

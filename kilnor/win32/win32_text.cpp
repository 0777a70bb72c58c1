#include "win32_text.h"

#include <windows.h>

namespace kilnor::win32 {

namespace {

std::wstring toWide(const std::string &aText, UINT aCodePage)
{
    if (aText.empty())
        return std::wstring();
    const int count = MultiByteToWideChar(aCodePage, 0, aText.data(), static_cast<int>(aText.size()), nullptr, 0);
    if (count <= 0)
        return std::wstring();
    std::wstring wide(static_cast<size_t>(count), L'\0');
    MultiByteToWideChar(aCodePage, 0, aText.data(), static_cast<int>(aText.size()), &wide[0], count);
    return wide;
}

std::string fromWide(const std::wstring &aWide, UINT aCodePage)
{
    if (aWide.empty())
        return std::string();
    const int count =
        WideCharToMultiByte(aCodePage, 0, aWide.data(), static_cast<int>(aWide.size()), nullptr, 0, nullptr, nullptr);
    if (count <= 0)
        return std::string();
    std::string text(static_cast<size_t>(count), '\0');
    WideCharToMultiByte(aCodePage, 0, aWide.data(), static_cast<int>(aWide.size()), &text[0], count, nullptr,
                        nullptr);
    return text;
}

} // namespace

std::wstring widen(const std::string &aUtf8)
{
    return toWide(aUtf8, CP_UTF8);
}

std::string narrow(const std::wstring &aWide)
{
    return fromWide(aWide, CP_UTF8);
}

std::string toAnsiCodePage(const std::string &aUtf8)
{
    return fromWide(widen(aUtf8), CP_ACP);
}

} // namespace kilnor::win32

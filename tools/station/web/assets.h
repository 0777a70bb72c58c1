// The files of the operator's page, served from the program: the page, its
// style sheet, its script and its icon. Nothing is loaded from elsewhere,
// and nothing is inline, so the page runs under the policy
// "default-src 'self'".
#ifndef NVT_STATION_WEB_ASSETS_H
#define NVT_STATION_WEB_ASSETS_H

#include <string>

namespace station::web {

struct Asset {
    const char* path;         // "/app.js"
    const char* contentType;  // "text/javascript; charset=utf-8"
    const char* body;
};

// The asset served at aPath, or null.
const Asset* FindAsset(const std::string& aPath);

}  // namespace station::web

#endif

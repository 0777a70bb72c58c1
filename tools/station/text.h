// Text the station shows to people: what a terminal gets holds no control
// characters (a plan's step name or a device's text could otherwise move
// the cursor, clear the screen or fake a PASS line), and a store URL never
// shows its password.
#ifndef NVT_STATION_TEXT_H
#define NVT_STATION_TEXT_H

#include <string>

namespace station {

// aText with every control character (below 0x20, and 0x7F) written as \xNN.
std::string TerminalSafe(const std::string& aText);

// A store URL as it may be shown: a PostgreSQL URL's password (in its user
// part or as a password= parameter) replaced by "***". Anything else as it is.
std::string RedactUrl(const std::string& aUrl);
// aText with the password of the store URL aUrl replaced by "***" wherever
// it appears (an error text of the database library may quote it).
std::string RedactSecret(const std::string& aText, const std::string& aUrl);
// Whether aUrl carries a password.
bool UrlHasPassword(const std::string& aUrl);

}  // namespace station

#endif

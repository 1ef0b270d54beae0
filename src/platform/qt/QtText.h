#pragma once

#include <QString>
#include <string>
#include <string_view>

// The Qt boundary of the core's code page 1250 texts, through the same table as
// platform/Cp1250.h: every byte 0..255 survives the trip to a QString and back.
QString Cp1250ToQString(std::string_view cp1250);

// Characters the code page cannot show become '?' (one per character, also for those
// outside the Basic Multilingual Plane).
std::string QStringToCp1250(const QString& text);
